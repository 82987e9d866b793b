// Sending media messages: one write of all of a message's chunks, once the kernel's backlog of
// unsent bytes is small; a server that takes nothing for kSendStallMs ends the connection.
#include "rtmp_session.h"

#include "common/util.h"

#include <librtmp/log.h>

#include <errno.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace rtmplink {

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

namespace {
int64_t NowMs() { return Orvane::Common::ovMonotonicUs() / 1000; }
}  // namespace

void LibRtmpConnection::WaitTick() {
    if (m_waitHook) m_waitHook();
}

bool LibRtmpConnection::Stalled(int64_t progressAtMs) {
    if (NowMs() - progressAtMs < kSendStallMs) return false;
    m_nLastError = ETIMEDOUT;
    RTMP_Log(RTMP_LOGERROR, "%s, the server took nothing for %d s: the connection is given up", __FUNCTION__,
             kSendStallMs / 1000);
    return true;
}

bool LibRtmpConnection::WaitSendRoom() {
    const int fd = m_rtmp->m_sb.sb_socket;
    int lastUnsent = -1;
    int64_t progressAt = NowMs();
    for (;;) {
        int unsent = 0;
        if (ioctl(fd, SIOCOUTQNSD, &unsent) != 0 || unsent <= kNotSentLowWater) return true;
        // The backlog shrinking is progress; one that stays put is a server that takes nothing.
        if (lastUnsent >= 0 && unsent < lastUnsent) progressAt = NowMs();
        lastUnsent = unsent;
        if (Stalled(progressAt)) return false;
        WaitTick();
        // With TCP_NOTSENT_LOWAT in force the socket is writable only once the backlog has
        // fallen under it: sleep until then. A kernel that ignores the option reports the socket
        // writable at once with the backlog still above it; from then on this connection waits
        // in steps instead.
        pollfd fds[2] = {{fd, static_cast<short>(m_bLowWaterIgnored ? 0 : POLLOUT), 0}, {m_nWakeFd, POLLIN, 0}};
        const int n = poll(fds, 2, m_bLowWaterIgnored ? int(kSendRoomStepMs) : int(kSendWaitStepMs));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents) {
            m_nLastError = ECANCELED;  // aborted: the send fails at once
            return false;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return true;  // the write meets the error
        if (!m_bLowWaterIgnored && (fds[0].revents & POLLOUT)) {
            if (ioctl(fd, SIOCOUTQNSD, &unsent) != 0 || unsent <= kNotSentLowWater) return true;
            m_bLowWaterIgnored = true;
        }
    }
}

bool LibRtmpConnection::SendChunked(const RTMPPacket* packet) {
    RTMP* r = m_rtmp;
    if (!WaitSendRoom()) {
        RTMP_Close(r);
        return false;
    }
    m_sendBuffer.clear();
    BuildChunks(*packet, r->m_outChunkSize, &m_sendBuffer);
    const char* data = m_sendBuffer.data();
    size_t left = m_sendBuffer.size();
    gnutls_session_t tls = static_cast<gnutls_session_t>(r->m_sb.sb_ssl);
    // A write blocks for at most kSendWaitStepMs (the socket's send time-out): in between the
    // wait hook runs, the abort is seen, and a server that takes nothing for kSendStallMs ends
    // the connection.
    int64_t progressAt = NowMs();
    bool tlsPending = false;
    while (left > 0) {
        ssize_t n;
        if (tls) {
            // After GNUTLS_E_AGAIN the same record is sent on by a call without data.
            n = tlsPending ? gnutls_record_send(tls, nullptr, 0) : gnutls_record_send(tls, data, left);
            tlsPending = n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED;
            if (tlsPending) errno = EAGAIN;
            else if (n < 0) errno = EPIPE;
        } else {
            n = send(r->m_sb.sb_socket, data, left, MSG_NOSIGNAL);
        }
        if (n > 0) {
            data += n;
            left -= static_cast<size_t>(n);
            progressAt = NowMs();
            continue;
        }
        const int err = n < 0 ? errno : EPIPE;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            bool aborted;
            {
                Orvane::Common::MutexLock lock(m_abortLock);
                aborted = m_bAborted;
            }
            if (aborted) {
                m_nLastError = ECANCELED;
            } else if (!Stalled(progressAt)) {
                WaitTick();
                continue;
            }
        } else {
            m_nLastError = err;
            RTMP_Log(RTMP_LOGERROR, "%s, RTMP send error %d (%zu bytes)", __FUNCTION__, m_nLastError, left);
        }
        // As librtmp does after a failed write: the connection is over.
        RTMP_Close(r);
        return false;
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


bool LibRtmpConnection::ReadLinkCounters(uint64_t* bytesAcked, int* unsentBytes) {
    if (!m_rtmp || m_rtmp->m_sb.sb_socket < 0) return false;
    tcp_info info;
    memset(&info, 0, sizeof(info));
    socklen_t len = sizeof(info);
    if (getsockopt(m_rtmp->m_sb.sb_socket, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
    // Kernels older than the fields leave them out of what they copy.
    if (len < offsetof(tcp_info, tcpi_notsent_bytes) + sizeof(info.tcpi_notsent_bytes)) return false;
    *bytesAcked = info.tcpi_bytes_acked;
    *unsentBytes = static_cast<int>(info.tcpi_notsent_bytes);
    return true;
}

}  // namespace rtmplink
