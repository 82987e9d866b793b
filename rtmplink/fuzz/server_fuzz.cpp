// Fuzz target: a hostile RTMP server against the session layer and our librtmp. The input is
// a server script (replay_server.h: a flags byte, then what the server sends), played over a
// socket pair to a LibRtmpConnection that publishes or plays as RtmpPublish and RtmpPlay
// drive it: handshake and connect command, stream set-up, then (playing) every message read
// to the end, media through the player's packetizer and the rest through librtmp's client
// handler.
//
// The server's bytes (its handshake answered at once) go into the socket before the client
// starts, and one thread reads and drops what the clients send: a client never waits for
// the server. Scripts too long for the socket's buffer get a server thread of their own.
//
// librtmp logs at debug level into a buffer here, so its log lines are formatted and a line
// that reads past a server's string is caught as well; with RTMPLINK_FUZZ_LOG set in the
// environment they go to standard error (to see what an input does).
//
// Built with clang's libFuzzer (scripts/fuzz-rtmp) and, without it, with the replay driver
// (tests/support/fuzz_replay_main.cpp) that the tests run over the corpus.
#include "play_packets.h"
#include "replay_server.h"
#include "rtmp_session.h"

#include <librtmp/log.h>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool g_bPrintLog = false;

void FormatLine(int level, const char* format, va_list args) {
    char line[2048];
    vsnprintf(line, sizeof(line), format, args);
    if (g_bPrintLog) fprintf(stderr, "librtmp %d: %s\n", level, line);
}

// Reads and drops what the clients send, so that none blocks on a full socket, and closes each
// server end once its client has closed it.
class Drain {
public:
    Drain() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) { std::thread([this] { Run(); }).detach(); }

    void Add(int fd) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_added.push_back(fd);
        }
        const uint64_t one = 1;
        ssize_t ignored = write(m_wake, &one, sizeof(one));
        (void)ignored;
    }

private:
    void Run() {
        std::vector<pollfd> fds = {{m_wake, POLLIN, 0}};
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            for (size_t i = 1; i < fds.size();) {
                char buf[16384];
                if (fds[i].revents && recv(fds[i].fd, buf, sizeof(buf), MSG_DONTWAIT) == 0) {
                    close(fds[i].fd);
                    fds[i] = fds.back();
                    fds.pop_back();
                } else {
                    ++i;
                }
            }
            if (fds[0].revents) {
                uint64_t count;
                ssize_t ignored = read(m_wake, &count, sizeof(count));
                (void)ignored;
                std::lock_guard<std::mutex> lock(m_lock);
                for (int fd : m_added) fds.push_back({fd, POLLIN, 0});
                m_added.clear();
            }
        }
    }

    const int m_wake;
    std::mutex m_lock;
    std::vector<int> m_added;
};

Drain* g_drain = nullptr;

// Longest server script written into the socket before the client starts: well within a
// socket pair's buffer, and longer than the fuzzer's inputs.
constexpr size_t kAtOnceLimit = 96 * 1024;

bool Init() {
    g_drain = new Drain;
    // The server may close first; librtmp writes with plain send().
    signal(SIGPIPE, SIG_IGN);
    g_bPrintLog = getenv("RTMPLINK_FUZZ_LOG") != nullptr;
    RTMP_LogSetCallback(FormatLine);
    RTMP_LogSetLevel(RTMP_LOGDEBUG);
    return true;
}

// What RtmpPlay does with each complete message.
void PlayMessages(rtmplink::LibRtmpConnection* conn) {
    rtmplink::PlayPacketizer packetizer;
    RTMPPacket packet;
    memset(&packet, 0, sizeof(packet));
    while (conn->ReadPacket(&packet)) {
        if (!RTMPPacket_IsReady(&packet) || !packet.m_body) continue;
        const uint8_t* body = reinterpret_cast<const uint8_t*>(packet.m_body);
        if (packet.m_packetType == RTMP_PACKET_TYPE_AUDIO) {
            packetizer.Audio(body, packet.m_nBodySize);
        } else if (packet.m_packetType == RTMP_PACKET_TYPE_VIDEO) {
            packetizer.Video(body, packet.m_nBodySize, packet.m_nTimeStamp);
        } else {
            RTMP_ClientPacket(conn->Raw(), &packet);
        }
        RTMPPacket_Free(&packet);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool initialised = Init();
    (void)initialised;
    rtmplink::ServerScript script;
    if (!rtmplink::ParseServerScript(data, size, &script)) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    std::thread server;
    bool written = false;
    {
        const std::vector<uint8_t> bytes = rtmplink::BytesAtOnce(script);
        if (bytes.size() <= kAtOnceLimit) {
            written = send(sv[1], bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(bytes.size());
            if (!written) __builtin_trap();  // a fresh socket pair holds that much
        }
    }
    if (written) {
        shutdown(sv[1], SHUT_WR);
        g_drain->Add(sv[1]);
    } else {
        server = std::thread([&] { rtmplink::ServeScript(sv[1], script, true); });
    }
    {
        rtmplink::LibRtmpConnection conn;
        conn.Create(script.publish ? 0 : rtmplink::kPlayMode);
        conn.SetupURL(std::string("rtmp://127.0.0.1/live/fuzz") + (script.credentials ? rtmplink::kCredentialsUrl : ""));
        if (script.publish) conn.EnableWrite();
        if (conn.ConnectOver(sv[0]) && conn.ConnectStream() && !script.publish) PlayMessages(&conn);
        conn.Destroy();
    }
    if (server.joinable()) {
        server.join();
        close(sv[1]);
    }
    return 0;
}
