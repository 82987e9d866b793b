// The TCP connect of a session: every address a host name resolves to, in order, within one
// bound; and the URL forms librtmp's parser misreads.
#include "rtmp_session.h"

#include "common/util.h"

#include <librtmp/log.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace rtmplink {

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

int64_t NowMs() { return Orvane::Common::ovMonotonicUs() / 1000; }

}  // namespace

int LibRtmpConnection::ConnectOne(int fd, const sockaddr* addr, socklen_t len, int waitMs) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (connect(fd, addr, len) != 0) err = errno;
    fcntl(fd, F_SETFL, flags);
    if (err != EINPROGRESS) return err;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {m_nWakeFd, POLLIN, 0}};
    const int64_t deadline = NowMs() + waitMs;
    int n;
    do {
        n = poll(fds, 2, static_cast<int>(std::max<int64_t>(0, deadline - NowMs())));
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
    const int64_t deadline = NowMs() + kTcpConnectWaitMs;
    int connected = -1;
    int index = 0;
    for (addrinfo* a = addrs; a && connected < 0; a = a->ai_next, ++index) {
        const std::string address = AddressText(a->ai_addr);
        const int64_t left = deadline - NowMs();
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
    m_bLowWaterIgnored = false;
    return true;
}


}  // namespace rtmplink
