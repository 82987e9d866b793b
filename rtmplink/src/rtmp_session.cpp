#include "rtmp_session.h"

#include "common/slogger.h"

#include <librtmp/log.h>

#include <Poco/Bugcheck.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace rtmplink {

namespace {

std::atomic<unsigned> g_nRecvErrors{0};

void RtmpLogCallback(int level, const char* fmt, va_list args) {
    // librtmp reads errno after some of its log calls; logging must not change it.
    const int savedErrno = errno;
    if (fmt && strstr(fmt, "recv returned") && !RecvErrorLineDue()) {
        errno = savedErrno;
        return;
    }
    if (fmt && Orvane::Common::LogEnabled()) {
        char text[1024];
        memset(text, 0, sizeof(text));
        vsnprintf(text, sizeof(text), fmt, args);
        char line[1024];
        memset(line, 0, sizeof(line));
        // "Rtmp_<level>_<text>", cut to the buffer.
        int used = snprintf(line, sizeof(line), "Rtmp_%d_", level);
        if (used > 0 && static_cast<size_t>(used) < sizeof(line)) {
            const size_t room = sizeof(line) - 1 - static_cast<size_t>(used);
            const size_t n = strnlen(text, room);
            memcpy(line + used, text, n);
            line[static_cast<size_t>(used) + n] = '\0';
        }
        OV_LOG("%s", line);
    }
    errno = savedErrno;
}

// AVal over a string literal without casting constness away at every use.
struct ConstAVal {
    explicit ConstAVal(const char* text) : value{const_cast<char*>(text), static_cast<int>(strlen(text))} {}
    AVal value;
};

const ConstAVal kResult("_result");
const ConstAVal kCreateStream("createStream");
const ConstAVal kPublish("publish");
const ConstAVal kRecord("record");
const ConstAVal kAppend("append");
const ConstAVal kLive("live");

}  // namespace

void SetupRtmpLog() {
    RTMP_LogSetCallback(RtmpLogCallback);
    RTMP_LogSetLevel(RTMP_LOGWARNING);
}

bool RecvErrorLineDue() { return (g_nRecvErrors.fetch_add(1) + 1) % 100 == 0; }

void BlockSigpipeOnThisThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ScopedSigpipeBlock::ScopedSigpipeBlock() {
    sigset_t set, old, pending;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    m_bWasBlocked = sigismember(&old, SIGPIPE) == 1;
    sigpending(&pending);
    m_bWasPending = sigismember(&pending, SIGPIPE) == 1;
}

ScopedSigpipeBlock::~ScopedSigpipeBlock() {
    sigset_t set, pending;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    if (!m_bWasPending) {
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            timespec zero = {0, 0};
            while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
    }
    if (!m_bWasBlocked) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

LibRtmpConnection::LibRtmpConnection() { m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

LibRtmpConnection::~LibRtmpConnection() {
    Destroy();
    if (m_nWakeFd >= 0) close(m_nWakeFd);
}

void LibRtmpConnection::Create(int publishMode) {
    Destroy();
    m_rtmp = static_cast<RTMP*>(calloc(1, sizeof(RTMP)));
    poco_check_ptr(m_rtmp);
    RTMP_Init(m_rtmp);
    m_rtmp->Link.timeout = kConnectTimeoutSec;
    m_nPublishMode = publishMode;
}


bool LibRtmpConnection::SetupURL(const std::string& url) {
    if (!m_rtmp) return false;
    m_url.assign(url.begin(), url.end());
    m_url.push_back('\0');
    if (RTMP_SetupURL(m_rtmp, m_url.data()) == 0) return false;
    // librtmp reads "[::1]:1935" as the host "[" (its application, stream and tcUrl come out
    // right): put the literal and its port in.
    int port = 0;
    if (ParseBracketedHost(url, &m_strLiteralHost, &port)) {
        m_rtmp->Link.hostname.av_val = const_cast<char*>(m_strLiteralHost.c_str());
        m_rtmp->Link.hostname.av_len = static_cast<int>(m_strLiteralHost.size());
        if (port) m_rtmp->Link.port = static_cast<unsigned short>(port);
    }
    return true;
}

void LibRtmpConnection::EnableWrite() {
    if (m_rtmp) RTMP_EnableWrite(m_rtmp);
}

bool LibRtmpConnection::Connect() {
    if (!m_rtmp || !m_rtmp->Link.hostname.av_len) return false;
    const bool tls = (m_rtmp->Link.protocol & RTMP_FEATURE_SSL) != 0;
    if (m_rtmp->Link.protocol & RTMP_FEATURE_HTTP) {
        RTMP_Log(RTMP_LOGERROR, "%s, RTMP over HTTP is not supported", __FUNCTION__);
        return false;
    }
    if (!TcpConnect()) return false;
    // A server that accepted the connection but does not answer the handshake: librtmp's
    // receives give up after kAnswerWaitMs of silence (only until the stream is set up; while
    // streaming no receive may time out inside librtmp).
    SetReceiveTimeout(kAnswerWaitMs);
    m_strTlsHost.assign(m_rtmp->Link.hostname.av_val, static_cast<size_t>(m_rtmp->Link.hostname.av_len));
    if (tls && !TlsConnect(m_strTlsHost)) return false;
    return Handshake();
}

bool LibRtmpConnection::ConnectOver(int fd) {
    if (!m_rtmp) return false;
    {
        Orvane::Common::MutexLock lock(m_abortLock);
        m_nShadowFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    m_rtmp->m_sb.sb_socket = fd;
    m_rtmp->Link.protocol &= ~RTMP_FEATURE_SSL;
    SetReceiveTimeout(kAnswerWaitMs);
    return Handshake();
}

bool LibRtmpConnection::Handshake() {
    m_rtmp->m_bSendCounter = 1;
    // Handshake and connect command; librtmp closes the socket when they fail.
    if (RTMP_Connect1(m_rtmp, nullptr) != 0) return true;
    if (m_rtmp->m_sb.sb_timedout)
        RTMP_Log(RTMP_LOGERROR, "%s, no answer from the server within %d s", __FUNCTION__, kAnswerWaitMs / 1000);
    return false;
}

void LibRtmpConnection::SetReceiveTimeout(int ms) {
    if (!m_rtmp || m_rtmp->m_sb.sb_socket < 0) return;
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(m_rtmp->m_sb.sb_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

bool LibRtmpConnection::HasBufferedData() {
    if (m_rtmp->m_sb.sb_size > 0) return true;
    return m_rtmp->m_sb.sb_ssl &&
           gnutls_record_check_pending(static_cast<gnutls_session_t>(m_rtmp->m_sb.sb_ssl)) > 0;
}

bool LibRtmpConnection::WaitReadable(int maxWaitMs) {
    const int stepMs = (m_rtmp->Link.timeout > 0 ? m_rtmp->Link.timeout : kConnectTimeoutSec) * 1000;
    int waitedMs = 0;
    while (RTMP_IsConnected(m_rtmp)) {
        {
            Orvane::Common::MutexLock lock(m_abortLock);
            if (m_bAborted) return false;
        }
        if (maxWaitMs > 0 && waitedMs >= maxWaitMs) {
            RTMP_Log(RTMP_LOGERROR, "%s, no answer from the server within %d s", __FUNCTION__, maxWaitMs / 1000);
            return false;
        }
        const int waitMs = maxWaitMs > 0 ? std::min(stepMs, maxWaitMs - waitedMs) : stepMs;
        pollfd fds[2] = {{m_rtmp->m_sb.sb_socket, POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
        const int n = poll(fds, 2, waitMs);
        if (n == 0) waitedMs += waitMs;
        if (n > 0 && fds[1].revents) return false;
        if (n > 0 && fds[0].revents) return true;
        if (n < 0 && errno != EINTR) return true;  // let librtmp meet the error
    }
    return false;
}

bool LibRtmpConnection::SendPublish() {
    RTMP* r = m_rtmp;
    char buffer[2048];
    char* const end = buffer + sizeof(buffer);
    RTMPPacket packet;
    memset(&packet, 0, sizeof(packet));
    packet.m_nChannel = 0x04;
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_packetType = RTMP_PACKET_TYPE_INVOKE;
    packet.m_nTimeStamp = 0;
    packet.m_nInfoField2 = r->m_stream_id;
    packet.m_hasAbsTimestamp = 0;
    packet.m_body = buffer + RTMP_MAX_HEADER_SIZE;
    const AVal* type = m_nPublishMode == 1 ? &kRecord.value : m_nPublishMode == 2 ? &kAppend.value : &kLive.value;
    char* enc = AMF_EncodeString(packet.m_body, end, &kPublish.value);
    if (enc) enc = AMF_EncodeNumber(enc, end, ++r->m_numInvokes);
    if (enc && enc < end) *enc++ = AMF_NULL;
    else enc = nullptr;
    if (enc) enc = AMF_EncodeString(enc, end, &r->Link.playpath);
    if (enc) enc = AMF_EncodeString(enc, end, type);
    if (!enc) {
        RTMP_Log(RTMP_LOGERROR, "%s, publish command does not fit", __FUNCTION__);
        return false;
    }
    packet.m_nBodySize = static_cast<uint32_t>(enc - packet.m_body);
    return RTMP_SendPacket(r, &packet, 1) != 0;
}

bool LibRtmpConnection::HandleCreateStreamResult(RTMPPacket* packet) {
    if (packet->m_packetType != RTMP_PACKET_TYPE_INVOKE || !packet->m_body) return false;
    AMFObject obj;
    if (AMF_Decode(&obj, packet->m_body, static_cast<int>(packet->m_nBodySize), 0) < 0) return false;
    bool handled = false;
    AVal method;
    AMFProp_GetString(AMF_GetProp(&obj, nullptr, 0), &method);
    AMFObjectProperty* txnProp = AMF_GetProp(&obj, nullptr, 1);
    if (AVMATCH(&method, &kResult.value) && AMFProp_GetType(txnProp) == AMF_NUMBER) {
        // The server's numbers are doubles of any value: compared and range-checked as such.
        const double txn = AMFProp_GetNumber(txnProp);
        RTMP* r = m_rtmp;
        for (int i = 0; i < r->m_numCalls; ++i) {
            if (r->m_methodCalls[i].num == txn && AVMATCH(&r->m_methodCalls[i].name, &kCreateStream.value)) {
                RTMP_DropRequest(r, i, 1);
                AMFObjectProperty* idProp = AMF_GetProp(&obj, nullptr, 3);
                const double id = AMFProp_GetType(idProp) == AMF_NUMBER ? AMFProp_GetNumber(idProp) : 0;
                handled = true;
                if (!(id >= 0 && id <= INT_MAX)) {
                    RTMP_Log(RTMP_LOGERROR, "Closing the connection: createStream answered with stream id %g", id);
                    RTMP_Close(r);
                    break;
                }
                r->m_stream_id = static_cast<int>(id);
                SendPublish();
                break;
            }
        }
    }
    AMF_Reset(&obj);
    return handled;
}

bool LibRtmpConnection::ConnectStream() {
    if (!m_rtmp) return false;
    RTMP* r = m_rtmp;
    r->m_mediaChannel = 0;
    RTMPPacket packet;
    memset(&packet, 0, sizeof(packet));
    while (!r->m_bPlaying && RTMP_IsConnected(r)) {
        // Only enter librtmp's reader when a packet has begun to arrive, so that no wait
        // inside it can end half-way through a packet.
        if (!ReadPacket(&packet, kAnswerWaitMs)) break;
        if (!RTMPPacket_IsReady(&packet) || !packet.m_nBodySize) continue;
        if (packet.m_packetType == RTMP_PACKET_TYPE_AUDIO || packet.m_packetType == RTMP_PACKET_TYPE_VIDEO ||
            packet.m_packetType == RTMP_PACKET_TYPE_INFO) {
            RTMPPacket_Free(&packet);
            continue;
        }
        // A player leaves the createStream answer to librtmp, which sends play.
        if (m_nPublishMode == kPlayMode || !HandleCreateStreamResult(&packet)) RTMP_ClientPacket(r, &packet);
        RTMPPacket_Free(&packet);
    }
    // Nothing to free here: after a failed read the packet holds no body (see ReadPacket).
    if (!r->m_bPlaying) return false;
    // Streaming: receives wait (in WaitReadable) until the abort, never inside librtmp; a
    // publisher's writes wait at most kSendWaitStepMs at a time (see SendChunked).
    SetReceiveTimeout(0);
    if (m_nPublishMode != kPlayMode && r->m_sb.sb_socket >= 0) {
        timeval tv = {0, kSendWaitStepMs * 1000};
        setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    return true;
}

bool LibRtmpConnection::ReadPacket(RTMPPacket* packet, int maxWaitMs) {
    packet->m_body = nullptr;
    if (!m_rtmp || !RTMP_IsConnected(m_rtmp)) return false;
    if (!HasBufferedData() && !WaitReadable(maxWaitMs)) return false;
    return RTMP_ReadPacket(m_rtmp, packet) != 0;
}

bool LibRtmpConnection::Aborted() {
    Orvane::Common::MutexLock lock(m_abortLock);
    return m_bAborted;
}

bool LibRtmpConnection::IsOpen() { return m_rtmp && RTMP_IsConnected(m_rtmp); }

void LibRtmpConnection::SetOutChunkSize(int size) {
    if (m_rtmp) m_rtmp->m_outChunkSize = size;
}

int LibRtmpConnection::StreamId() { return m_rtmp ? m_rtmp->m_stream_id : 0; }

int LibRtmpConnection::Socket() { return m_rtmp ? m_rtmp->m_sb.sb_socket : -1; }

void LibRtmpConnection::Close() {
    if (m_rtmp) {
        // Unpublishing writes; on a socket that was shut down that raises SIGPIPE.
        ScopedSigpipeBlock guard;
        // Ending TLS waits for the server's answer: not longer than this.
        if (m_rtmp->m_sb.sb_ssl) {
            gnutls_record_set_timeout(static_cast<gnutls_session_t>(m_rtmp->m_sb.sb_ssl), kTlsCloseMs);
        }
        RTMP_Close(m_rtmp);
    }
    DropShadow();
}

void LibRtmpConnection::Destroy() {
    if (m_rtmp) {
        Close();
        free(m_rtmp);
        m_rtmp = nullptr;
    }
    FreeTlsCredentials();
    DropShadow();
}

void LibRtmpConnection::DropShadow() {
    Orvane::Common::MutexLock lock(m_abortLock);
    if (m_nShadowFd >= 0) close(m_nShadowFd);
    m_nShadowFd = -1;
}

void LibRtmpConnection::Abort() {
    {
        Orvane::Common::MutexLock lock(m_abortLock);
        m_bAborted = true;
        if (m_nShadowFd >= 0) shutdown(m_nShadowFd, SHUT_RDWR);
    }
    if (m_nWakeFd >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = write(m_nWakeFd, &one, sizeof(one));
        (void)ignored;
    }
}

}  // namespace rtmplink