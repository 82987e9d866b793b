#include "replay_server.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace rtmplink {

namespace {

enum { kSigSize = 1536 };

}  // namespace

bool ParseServerScript(const uint8_t* data, size_t size, ServerScript* script) {
    if (size < 1) return false;
    script->publish = (data[0] & 0x01) != 0;
    script->ownHandshake = (data[0] & 0x04) != 0;
    script->credentials = (data[0] & 0x08) != 0;
    script->bytes = data + 1;
    script->size = size - 1;
    return true;
}

std::vector<uint8_t> BytesAtOnce(const ServerScript& script) {
    std::vector<uint8_t> out;
    if (!script.ownHandshake) {
        out.assign(1 + 2 * kSigSize, 0);
        out[0] = 3;
    }
    out.insert(out.end(), script.bytes, script.bytes + script.size);
    return out;
}

void ServeScript(int fd, const ServerScript& script, bool atOnce) {
    // Bytes to send; with the handshake answered here they grow as the client's arrive.
    const bool waitForClient = !script.ownHandshake && !atOnce;
    std::vector<uint8_t> out;
    if (waitForClient) {
        out.assign(1 + kSigSize, 0);
        out[0] = 3;
    } else {
        out = BytesAtOnce(script);
    }
    std::vector<uint8_t> c1;
    size_t received = 0;
    size_t sent = 0;
    bool halfClosed = false;
    for (;;) {
        const bool scriptQueued = !waitForClient || received >= 1 + 2 * kSigSize;
        if (!halfClosed && scriptQueued && sent == out.size()) {
            shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        pollfd p = {fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t buf[16384];
            const ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // the client closed (or the connection failed)
            if (waitForClient && received < 1 + 2 * kSigSize) {
                const size_t before = received;
                // C1 is the client's bytes 1..1536; once it is here S2 echoes it, and once C2
                // is here too the script follows.
                for (ssize_t i = 0; i < n; ++i) {
                    const size_t at = before + static_cast<size_t>(i);
                    if (at >= 1 && at < 1 + kSigSize) c1.push_back(buf[i]);
                }
                received += static_cast<size_t>(n);
                if (before < 1 + kSigSize && received >= 1 + kSigSize) out.insert(out.end(), c1.begin(), c1.end());
                if (received >= 1 + 2 * kSigSize) out.insert(out.end(), script.bytes, script.bytes + script.size);
            }
        }
        if (sent < out.size() && (p.revents & POLLOUT)) {
            const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) sent = out.size();
        }
    }
}

}  // namespace rtmplink
