#include "rtmp_session.h"

#include "common/slogger.h"
#include "common/util.h"

#include <librtmp/log.h>

#include <Poco/Bugcheck.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

bool ParseBracketedHost(const std::string& url, std::string* host, int* port) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos || url.compare(scheme + 3, 1, "[") != 0) return false;
    const size_t open = scheme + 3;
    const size_t close = url.find(']', open);
    const size_t slash = url.find('/', open);
    if (close == std::string::npos || (slash != std::string::npos && slash < close) || close == open + 1) return false;
    *host = url.substr(open + 1, close - open - 1);
    *port = 0;
    if (url.compare(close + 1, 1, ":") == 0) {
        const long value = strtol(url.c_str() + close + 2, nullptr, 10);
        if (value > 0 && value <= 65535) *port = static_cast<int>(value);
    }
    return true;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
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

namespace {

std::string AddressText(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (addr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof(text));
    } else if (addr->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text, sizeof(text));
    }
    return text;
}

using Orvane::Common::ovMonotonicUs;

}  // namespace

int LibRtmpConnection::ConnectOne(int fd, const sockaddr* addr, socklen_t len, int waitMs) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (connect(fd, addr, len) != 0) err = errno;
    fcntl(fd, F_SETFL, flags);
    if (err != EINPROGRESS) return err;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {m_nWakeFd, POLLIN, 0}};
    const int64_t deadline = ovMonotonicUs() / 1000 + waitMs;
    int n;
    do {
        n = poll(fds, 2, static_cast<int>(std::max<int64_t>(0, deadline - ovMonotonicUs() / 1000)));
    } while (n < 0 && errno == EINTR);
    if (n == 0) return ETIMEDOUT;
    if (n < 0) return errno;
    if (fds[1].revents) return ECANCELED;
    socklen_t errLen = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) err = errno;
    return err;
}

bool LibRtmpConnection::TcpConnect() {
    RTMP* r = m_rtmp;
    r->m_sb.sb_timedout = 0;
    r->m_pausing = 0;
    r->m_fDuration = 0.0;
    if (r->Link.socksport) {
        RTMP_Log(RTMP_LOGERROR, "%s, SOCKS proxies are not supported", __FUNCTION__);
        return false;
    }
    const std::string host(r->Link.hostname.av_val, static_cast<size_t>(r->Link.hostname.av_len));
    const int port = r->Link.port ? r->Link.port : 1935;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addrs = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addrs) != 0 || !addrs) {
        RTMP_Log(RTMP_LOGERROR, "%s, Problem accessing the DNS. (addr: %s)", __FUNCTION__, host.c_str());
        return false;
    }
    // Every address in the resolver's order, all within one connect bound: each gets an even
    // share of what is left, so a refusal (which costs nothing) leaves the rest to the next.
    int count = 0;
    for (addrinfo* a = addrs; a; a = a->ai_next) ++count;
    const int64_t deadline = ovMonotonicUs() / 1000 + kTcpConnectWaitMs;
    int connected = -1;
    int index = 0;
    for (addrinfo* a = addrs; a && connected < 0; a = a->ai_next, ++index) {
        const std::string address = AddressText(a->ai_addr);
        const int64_t left = deadline - ovMonotonicUs() / 1000;
        if (left <= 0) {
            RTMP_Log(RTMP_LOGERROR, "%s, failed to connect socket. %d (%s %d) at %s, no time left", __FUNCTION__,
                     ETIMEDOUT, strerror(ETIMEDOUT), port, address.c_str());
            continue;
        }
        const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            const int err = errno;
            RTMP_Log(RTMP_LOGERROR, "%s, failed to create socket. %d (%s %d) at %s", __FUNCTION__, err,
                     strerror(err), port, address.c_str());
            continue;
        }
        {
            Orvane::Common::MutexLock lock(m_abortLock);
            if (m_bAborted) {
                close(fd);
                break;
            }
            m_nShadowFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        }
        const int err = ConnectOne(fd, a->ai_addr, a->ai_addrlen, static_cast<int>(left / (count - index)));
        if (err == 0) {
            connected = fd;
            break;
        }
        RTMP_Log(RTMP_LOGERROR, "%s, failed to connect socket. %d (%s %d) at %s", __FUNCTION__, err, strerror(err),
                 port, address.c_str());
        close(fd);
        DropShadow();
        if (err == ECANCELED) break;
    }
    freeaddrinfo(addrs);
    if (connected < 0) return false;
    // No receive time-out on the socket: a timed-out receive would only be retried until
    // the abort, and Abort wakes a blocked receive by itself.
    const int on = 1;
    setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    const int lowWater = kNotSentLowWater;
    setsockopt(connected, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof(lowWater));
    r->m_sb.sb_socket = connected;
    return true;
}

void LibRtmpConnection::FreeTlsCredentials() {
    if (m_tlsCred) gnutls_certificate_free_credentials(m_tlsCred);
    m_tlsCred = nullptr;
}

bool LibRtmpConnection::TlsConnect(const std::string& host) {
    RTMP* r = m_rtmp;
    FreeTlsCredentials();
    const char* reason = nullptr;
    gnutls_session_t session = nullptr;
    int rc = gnutls_certificate_allocate_credentials(&m_tlsCred);
    if (rc >= 0 && gnutls_certificate_set_x509_system_trust(m_tlsCred) < 0) {
        RTMP_Log(RTMP_LOGWARNING, "%s, TLS: the system trust store could not be read", __FUNCTION__);
    }
    const char* extra = getenv("STREAMCORE_CA_FILE");
    if (rc >= 0 && extra && *extra &&
        gnutls_certificate_set_x509_trust_file(m_tlsCred, extra, GNUTLS_X509_FMT_PEM) <= 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, TLS: no CA certificate could be read from STREAMCORE_CA_FILE=%s", __FUNCTION__,
                 extra);
    }
    if (rc >= 0) rc = gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NO_TICKETS);
    // TLS 1.2 at most: librtmp reads through gnutls_record_recv and takes any result other than
    // data or -1 as a broken connection, and under TLS 1.3 the session tickets the server sends
    // after the handshake come back from it as GNUTLS_E_AGAIN on a blocking socket.
    if (rc >= 0) rc = gnutls_priority_set_direct(session, "NORMAL:-VERS-TLS1.3", nullptr);
    if (rc >= 0) rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, m_tlsCred);
    if (rc >= 0 && !IsAddressLiteral(host)) {
        rc = gnutls_server_name_set(session, GNUTLS_NAME_DNS, host.data(), host.size());
    }
    if (rc < 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, TLS: session set-up failed: %s", __FUNCTION__, gnutls_strerror(rc));
        if (session) gnutls_deinit(session);
        RTMP_Close(r);
        return false;
    }
    // Checked against the host name during the handshake.
    gnutls_session_set_verify_cert(session, host.c_str(), 0);
    gnutls_transport_set_int(session, r->m_sb.sb_socket);
    gnutls_handshake_set_timeout(session, kTlsHandshakeMs);
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc) && !Aborted());
    if (rc < 0) {
        gnutls_datum_t why = {nullptr, 0};
        if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR &&
            gnutls_certificate_verification_status_print(gnutls_session_get_verify_cert_status(session),
                                                         GNUTLS_CRT_X509, &why, 0) >= 0) {
            reason = reinterpret_cast<const char*>(why.data);
        }
        RTMP_Log(RTMP_LOGERROR, "%s, TLS: the handshake with %s failed: %s", __FUNCTION__, host.c_str(),
                 reason ? reason : gnutls_strerror(rc));
        if (why.data) gnutls_free(why.data);
        gnutls_deinit(session);
        RTMP_Close(r);
        return false;
    }
    // librtmp reads and writes through this session from now on, and ends and frees it in
    // RTMP_Close; it must not run a handshake of its own.
    r->m_sb.sb_ssl = session;
    r->Link.protocol &= ~RTMP_FEATURE_SSL;
    return true;
}

bool LibRtmpConnection::Connect() {
    if (!m_rtmp || !m_rtmp->Link.hostname.av_len) return false;
    const bool tls = (m_rtmp->Link.protocol & RTMP_FEATURE_SSL) != 0;
    if (m_rtmp->Link.protocol & RTMP_FEATURE_HTTP) {
        RTMP_Log(RTMP_LOGERROR, "%s, RTMP over HTTP is not supported", __FUNCTION__);
        return false;
    }
    if (!TcpConnect()) return false;
    const std::string host(m_rtmp->Link.hostname.av_val, static_cast<size_t>(m_rtmp->Link.hostname.av_len));
    if (tls && !TlsConnect(host)) return false;
    m_rtmp->m_bSendCounter = 1;
    // Handshake and connect command; librtmp closes the socket when they fail.
    return RTMP_Connect1(m_rtmp, nullptr) != 0;
}

bool LibRtmpConnection::HasBufferedData() {
    if (m_rtmp->m_sb.sb_size > 0) return true;
    return m_rtmp->m_sb.sb_ssl &&
           gnutls_record_check_pending(static_cast<gnutls_session_t>(m_rtmp->m_sb.sb_ssl)) > 0;
}

bool LibRtmpConnection::WaitReadable() {
    const int stepMs = (m_rtmp->Link.timeout > 0 ? m_rtmp->Link.timeout : kConnectTimeoutSec) * 1000;
    while (RTMP_IsConnected(m_rtmp)) {
        {
            Orvane::Common::MutexLock lock(m_abortLock);
            if (m_bAborted) return false;
        }
        pollfd fds[2] = {{m_rtmp->m_sb.sb_socket, POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
        const int n = poll(fds, 2, stepMs);
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
        const int txn = static_cast<int>(AMFProp_GetNumber(txnProp));
        RTMP* r = m_rtmp;
        for (int i = 0; i < r->m_numCalls; ++i) {
            if (r->m_methodCalls[i].num == txn && AVMATCH(&r->m_methodCalls[i].name, &kCreateStream.value)) {
                RTMP_DropRequest(r, i, 1);
                AMFObjectProperty* idProp = AMF_GetProp(&obj, nullptr, 3);
                r->m_stream_id = AMFProp_GetType(idProp) == AMF_NUMBER ? static_cast<int>(AMFProp_GetNumber(idProp)) : 0;
                SendPublish();
                handled = true;
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
        if (!HasBufferedData() && !WaitReadable()) break;
        if (!RTMP_ReadPacket(r, &packet)) break;
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
    RTMPPacket_Free(&packet);
    return r->m_bPlaying != 0;
}

bool LibRtmpConnection::ReadPacket(RTMPPacket* packet) {
    if (!m_rtmp || !RTMP_IsConnected(m_rtmp)) return false;
    if (!HasBufferedData() && !WaitReadable()) return false;
    return RTMP_ReadPacket(m_rtmp, packet) != 0;
}

bool LibRtmpConnection::Aborted() {
    Orvane::Common::MutexLock lock(m_abortLock);
    return m_bAborted;
}

bool LibRtmpConnection::IsOpen() { return m_rtmp && RTMP_IsConnected(m_rtmp); }

void BuildChunks(const RTMPPacket& packet, int chunkSize, std::vector<char>* out) {
    const uint32_t size = packet.m_nBodySize;
    const uint32_t ts = packet.m_nTimeStamp;
    const bool extended = ts >= 0xFFFFFF;
    const uint32_t ts24 = extended ? 0xFFFFFF : ts;
    const char channel = static_cast<char>(packet.m_nChannel & 0x3F);
    const uint32_t streamId = static_cast<uint32_t>(packet.m_nInfoField2);
    const char head[11] = {static_cast<char>(ts24 >> 16), static_cast<char>(ts24 >> 8), static_cast<char>(ts24),
                           static_cast<char>(size >> 16), static_cast<char>(size >> 8), static_cast<char>(size),
                           static_cast<char>(packet.m_packetType), static_cast<char>(streamId),
                           static_cast<char>(streamId >> 8), static_cast<char>(streamId >> 16),
                           static_cast<char>(streamId >> 24)};
    const char ext[4] = {static_cast<char>(ts >> 24), static_cast<char>(ts >> 16), static_cast<char>(ts >> 8),
                         static_cast<char>(ts)};
    const size_t chunk = static_cast<size_t>(chunkSize > 0 ? chunkSize : 128);
    out->reserve(out->size() + size + (size / chunk + 1) * 5 + 16);
    out->push_back(channel);
    out->insert(out->end(), head, head + sizeof(head));
    if (extended) out->insert(out->end(), ext, ext + sizeof(ext));
    for (size_t at = 0; at < size;) {
        const size_t n = std::min(chunk, size - at);
        out->insert(out->end(), packet.m_body + at, packet.m_body + at + n);
        at += n;
        if (at < size) {
            out->push_back(static_cast<char>(0xC0 | channel));
            if (extended) out->insert(out->end(), ext, ext + sizeof(ext));
        }
    }
}

void LibRtmpConnection::WaitSendRoom() {
    // TCP_NOTSENT_LOWAT bounds what a blocking send leaves unsent, where the kernel honours it;
    // where it does not, wait here until the kernel has passed on what it holds.
    const int fd = m_rtmp->m_sb.sb_socket;
    for (;;) {
        int unsent = 0;
        if (ioctl(fd, SIOCOUTQNSD, &unsent) != 0 || unsent <= kNotSentLowWater) return;
        pollfd wake = {m_nWakeFd, POLLIN, 0};
        if (poll(&wake, 1, kSendRoomStepMs) > 0) return;  // aborted: the send fails at once
    }
}

bool LibRtmpConnection::SendChunked(const RTMPPacket* packet) {
    RTMP* r = m_rtmp;
    WaitSendRoom();
    m_sendBuffer.clear();
    BuildChunks(*packet, r->m_outChunkSize, &m_sendBuffer);
    const char* data = m_sendBuffer.data();
    size_t left = m_sendBuffer.size();
    while (left > 0) {
        ssize_t n;
        if (r->m_sb.sb_ssl) {
            n = gnutls_record_send(static_cast<gnutls_session_t>(r->m_sb.sb_ssl), data, left);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
            if (n < 0) errno = EPIPE;
        } else {
            n = send(r->m_sb.sb_socket, data, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n <= 0) {
            m_nLastError = n < 0 ? errno : EPIPE;
            RTMP_Log(RTMP_LOGERROR, "%s, RTMP send error %d (%zu bytes)", __FUNCTION__, m_nLastError, left);
            // As librtmp does after a failed write: the connection is over.
            RTMP_Close(r);
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool LibRtmpConnection::SendPacket(RTMPPacket* packet, bool queue) {
    if (!m_rtmp) {
        m_nLastError = ENOTSOCK;
        return false;
    }
    errno = 0;
    const bool media = packet->m_packetType == RTMP_PACKET_TYPE_AUDIO || packet->m_packetType == RTMP_PACKET_TYPE_VIDEO;
    if (!queue && media && packet->m_headerType == RTMP_PACKET_SIZE_LARGE && packet->m_nChannel >= 2 &&
        packet->m_nChannel < 64) {
        if (m_rtmp->m_sb.sb_socket < 0) {
            m_nLastError = EBADF;
            return false;
        }
        return SendChunked(packet);
    }
    if (RTMP_SendPacket(m_rtmp, packet, queue ? 1 : 0)) return true;
    m_nLastError = errno;
    return false;
}

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
