// The publisher's view of one RTMP connection: the steps of connecting, sending media
// messages, and ending the connection. LibRtmpConnection (rtmp_session.h) is the backend over
// librtmp; tests give the publisher a double.
//
// Threads: Abort from any thread, at any time. Everything else from the thread that owns the
// connection (the publisher's send thread while it runs, the closing thread after it ended).
#pragma once

#include <librtmp/rtmp.h>

#include <cstdint>
#include <functional>
#include <string>

namespace rtmplink {

class IRtmpConnection {
public:
    virtual ~IRtmpConnection() = default;

    // A connection object exists (created by Create, gone after Destroy).
    virtual bool Exists() const = 0;
    // A fresh connection object for the given publish mode (1 record, 2 append, else live).
    virtual void Create(int publishMode) = 0;
    virtual bool SetupURL(const std::string& url) = 0;
    virtual void EnableWrite() = 0;
    // TCP connect, handshake and the connect command.
    virtual bool Connect() = 0;
    // createStream and publish, until the server has started the stream.
    virtual bool ConnectStream() = 0;
    // The socket is still open (librtmp closes it after a read or write error).
    virtual bool IsOpen() = 0;
    virtual bool SendPacket(RTMPPacket* packet, bool queue) = 0;
    virtual void SetOutChunkSize(int size) = 0;
    virtual int StreamId() = 0;
    // errno of the last failed send, and the socket handle (for log lines).
    virtual int LastError() = 0;
    virtual int Socket() = 0;
    // The TCP counters of the open connection: bytes the peer acknowledged so far and bytes
    // the kernel holds unsent. False where they cannot be read (no socket, or a double).
    virtual bool ReadLinkCounters(uint64_t* bytesAcked, int* unsentBytes) {
        (void)bytesAcked, (void)unsentBytes;
        return false;
    }
    // Called on the owning thread between the steps of a send that waits for the server (about
    // four times a second), so that the link is still measured during a long wait.
    virtual void SetWaitHook(std::function<void()> hook) { (void)hook; }
    // Ends the connection politely when it is open (unpublish, delete stream, close).
    virtual void Close() = 0;
    // Close, then free the connection object.
    virtual void Destroy() = 0;
    // Makes every wait of the connection (TCP connect, receives) end at once and every later
    // one fail. Final: a connection is aborted only when its publisher closes.
    virtual void Abort() = 0;
};

}  // namespace rtmplink
