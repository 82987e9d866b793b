// The session layer over librtmp: what the streams need beyond librtmp's public release,
// built on its public API.
//
// - publish type: the publish command carries "record" (mode 1), "append" (mode 2) or "live";
// - abort: a connection's receives wait (however long the server is silent) until the
//   connection is aborted; abort wakes a blocked receive at once by shutting the socket down,
//   without leaving half-read packets behind in librtmp;
// - librtmp's receive-error line is written only on every 100th failure, process-wide;
// - the connection time-out is 1 s;
// - the TCP connect waits at most 1 s in all: every address the host name resolves to is tried
//   in order within that bound, and each one that fails is logged with the reason;
// - bracketed IPv6 literals (rtmp://[::1]:1935/app/stream), which librtmp's URL parser misreads;
// - rtmps:// over a TLS session set up and verified here (system trust store, plus the PEM file
//   named by STREAMCORE_CA_FILE; the server's host name; SNI) and then handed to librtmp.
// - a media message leaves in one write of all its chunks, and only once the kernel holds at
//   most kNotSentLowWater unsent bytes, so that a backlog builds in the publisher's queue;
// Plus the signal rule: librtmp writes with plain send(), so SIGPIPE is blocked on the
// library's own threads and around writing librtmp calls on a caller's thread.
#pragma once

#include "rtmp_connection.h"

#include "common/thread_annotations.h"

// Our librtmp (third_party/librtmp): RTMP objects and packets are laid out as its headers say,
// and it hands a caller only the bodies of complete messages. The system's headers differ.
#ifndef RTMP_MAX_PENDING_BYTES
#error "<librtmp/rtmp.h> is not our librtmp's: scripts/setup builds it, CMake finds it"
#endif

#include <gnutls/gnutls.h>
#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rtmplink {

// The librtmp log callback: levels up to warning reach it (SetupRtmpLog). Formats into a
// 1024-byte buffer and logs "Rtmp_%d_%s" through the support library's logger.
void SetupRtmpLog();
// True for the receive-error lines that are let through (every 100th, process-wide).
bool RecvErrorLineDue();

// Blocks SIGPIPE on the calling thread for good (for the library's own threads).
void BlockSigpipeOnThisThread();

// Blocks SIGPIPE on a caller's thread for the scope; a SIGPIPE raised inside is consumed
// before the old mask comes back.
class ScopedSigpipeBlock {
public:
    ScopedSigpipeBlock();
    ~ScopedSigpipeBlock();
    ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
    ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;

private:
    bool m_bWasPending;
    bool m_bWasBlocked;
};

enum { kConnectTimeoutSec = 1, kTcpConnectWaitMs = 1000, kTlsHandshakeMs = 5000, kTlsCloseMs = 1000 };

// Unsent bytes the kernel may hold on a connection. What it holds beyond this waits in the
// publisher's queue, where a key frame can still drop stale video; what the kernel holds
// cannot be dropped and only adds delay on a narrow uplink.
enum { kNotSentLowWater = 32 * 1024, kSendRoomStepMs = 2 };
// A write waits at most kSendWaitStepMs at a time (the socket's send time-out while publishing);
// a connection whose server takes no byte for kSendStallMs is given up. The handshake and the
// connect and publish commands wait at most kAnswerWaitMs for each answer of the server.
enum { kSendWaitStepMs = 250, kSendStallMs = 10000, kAnswerWaitMs = 5000 };

// Lays out one RTMP message as chunks of chunkSize: a full (type 0) header, then a type 3
// header before every further chunk, the extended timestamp wherever the timestamp needs it.
// Channels 2 to 63 only. Appends to out.
void BuildChunks(const RTMPPacket& packet, int chunkSize, std::vector<char>* out);

// The host and port of an RTMP URL whose host is a bracketed IPv6 literal
// ("rtmp://[::1]:1935/..." gives "::1" and 1935, or 0 without a port). False for other URLs.
bool ParseBracketedHost(const std::string& url, std::string* host, int* port);

// Whether the address text is a numeric IPv4 or IPv6 address (no server name is sent for those).
bool IsAddressLiteral(const std::string& host);

// The mode given to Create for a connection that plays a stream instead of publishing one.
enum { kPlayMode = -1 };

class LibRtmpConnection : public IRtmpConnection {
public:
    LibRtmpConnection();
    ~LibRtmpConnection() override;

    bool Exists() const override { return m_rtmp != nullptr; }
    void Create(int publishMode) override;
    bool SetupURL(const std::string& url) override;
    void EnableWrite() override;
    bool Connect() override;
    bool ConnectStream() override;
    bool IsOpen() override;
    bool SendPacket(RTMPPacket* packet, bool queue) override;
    void SetOutChunkSize(int size) override;
    int StreamId() override;
    int LastError() override { return m_nLastError; }
    int Socket() override;
    bool ReadLinkCounters(uint64_t* bytesAcked, int* unsentBytes) override;
    void Close() override;
    void Destroy() override;
    void Abort() override;
    void SetWaitHook(std::function<void()> hook) override { m_waitHook = std::move(hook); }

    // The raw connection object (tests and the player read its fields).
    RTMP* Raw() { return m_rtmp; }

    // Reads one chunk into packet (librtmp's RTMP_ReadPacket), entering librtmp's reader only
    // once data has begun to arrive; a silent server is waited for until the abort (or for
    // maxWaitMs, when > 0). False when nothing was read (aborted, silent for maxWaitMs, or the
    // socket failed and librtmp closed it). The packet
    // holds a body only when the chunk completed a message; the caller then owns it and
    // frees it (RTMPPacket_Free). A message still being read stays with librtmp, which frees
    // it when the connection closes.
    bool ReadPacket(RTMPPacket* packet, int maxWaitMs = 0);
    // Handshake and connect command over a socket that was connected elsewhere (the fuzz
    // target's socket pair); the connection owns fd from then on.
    bool ConnectOver(int fd);
    // True once Abort ran (from any thread).
    bool Aborted();

private:
    bool TcpConnect();
    // One TCP connect to one address within waitMs; 0 or the errno that ended it.
    int ConnectOne(int fd, const sockaddr* addr, socklen_t len, int waitMs);
    // The verified TLS session on the connected socket, handed to librtmp.
    bool TlsConnect(const std::string& host);
    void FreeTlsCredentials();
    // A media message as one write of all its chunks (librtmp writes every chunk on its own).
    bool SendChunked(const RTMPPacket* packet);
    // Waits until the kernel holds at most kNotSentLowWater unsent bytes: false on the abort or
    // when the backlog stayed put for kSendStallMs.
    bool WaitSendRoom();
    // True (with the error set and a log line) when nothing went out since progressAtMs for
    // kSendStallMs.
    bool Stalled(int64_t progressAtMs);
    // Runs the wait hook (between the steps of a write's wait).
    void WaitTick();
    // Data that librtmp can read without touching the socket: its own buffer, or records
    // that TLS has already decrypted.
    bool HasBufferedData();
    // Waits until the socket has data (or was closed or shut down); false once aborted, or when
    // maxWaitMs (> 0) passed without any.
    bool WaitReadable(int maxWaitMs = 0);
    // The socket's receive time-out (0: none), which bounds librtmp's own receives.
    void SetReceiveTimeout(int ms);
    // Handshake and connect command on the connected socket.
    bool Handshake();
    // Takes the createStream _result out of librtmp's hands and sends our own publish.
    bool HandleCreateStreamResult(RTMPPacket* packet);
    bool SendPublish();
    // Forgets the shadow descriptor of the socket (see m_nShadowFd).
    void DropShadow();

    RTMP* m_rtmp = nullptr;
    int m_nPublishMode = 0;
    // librtmp keeps pointers into the URL text it was given; it lives here.
    std::vector<char> m_url;
    // The host of a bracketed IPv6 literal, without its brackets; librtmp's host points here.
    std::string m_strLiteralHost;
    // Credentials of the TLS session librtmp holds; they outlive that session.
    gnutls_certificate_credentials_t m_tlsCred = nullptr;
    int m_nLastError = 0;
    std::vector<char> m_sendBuffer;
    std::function<void()> m_waitHook;
    // The host name the TLS session verifies the certificate against; it must outlive it.
    std::string m_strTlsHost;
    // The kernel reported the socket writable with more than kNotSentLowWater unsent bytes:
    // it does not honour TCP_NOTSENT_LOWAT, and WaitSendRoom polls the backlog instead.
    bool m_bLowWaterIgnored = false;

    // Abort state, shared with any thread.
    Orvane::Common::Mutex m_abortLock;
    bool m_bAborted OV_GUARDED_BY(m_abortLock) = false;
    // A second descriptor of the current socket. librtmp closes its own descriptor whenever
    // it likes; this one keeps the socket (and its number) alive until the owning thread lets
    // go of it, so Abort can always shut down the right socket.
    int m_nShadowFd OV_GUARDED_BY(m_abortLock) = -1;
    // Wakes poll() waits when aborted.
    int m_nWakeFd = -1;
};

}  // namespace rtmplink
