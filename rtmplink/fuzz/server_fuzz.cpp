// Fuzz target: a hostile RTMP server against the session layer and our librtmp. The input is
// a server script (replay_server.h: a flags byte, then what the server sends); the server
// side runs on a thread over a socket pair, and the client side is a LibRtmpConnection that
// publishes or plays as RtmpPublish and RtmpPlay drive it: handshake and connect command,
// stream set-up, then (playing) every message read to the end, media through the player's
// packetizer and the rest through librtmp's client handler.
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

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

bool g_bPrintLog = false;

void FormatLine(int level, const char* format, va_list args) {
    char line[2048];
    vsnprintf(line, sizeof(line), format, args);
    if (g_bPrintLog) fprintf(stderr, "librtmp %d: %s\n", level, line);
}

bool Init() {
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
    std::thread server([&] { rtmplink::ServeScript(sv[1], script, true); });
    {
        rtmplink::LibRtmpConnection conn;
        conn.Create(script.publish ? 0 : rtmplink::kPlayMode);
        conn.SetupURL("rtmp://127.0.0.1/live/fuzz");
        if (script.publish) conn.EnableWrite();
        if (conn.ConnectOver(sv[0]) && conn.ConnectStream() && !script.publish) PlayMessages(&conn);
        conn.Destroy();
    }
    server.join();
    close(sv[1]);
    return 0;
}
