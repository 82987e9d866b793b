// One hostile server input (rtmplink/fuzz/replay_server.h) against the library as a user has
// it: a loopback server replays the input to the first connection and closes every later one
// at once, while a publisher or player opened through CreateRtmpMgr connects to it.
//   rtmplink_hostile_replay INPUT
// Prints "connections=N failed=0|1 published=0|1 frames=N peak_kb=N", where connections are
// those the server had accepted when the first failure was reported and peak_kb is the
// process's peak resident memory (VmHWM). Exits 0 when the stream was reported failed and
// the only connections were the stream's own attempts (one when publishing; for a player the
// hostile one and its retry, whose refusal is the failure report).
#include "replay_server.h"

#include "rtmplink/IRtmpMgr.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class Sink : public IRtmpMgrSink {
public:
    explicit Sink(const std::atomic<int>& accepts) : m_accepts(accepts) {}

    bool OnPublishEvent(int, std::string, RTMP_RESULT result, char*, int) override {
        if (result == RTMP_PUBLISH_CONNECTED) m_bPublished = true;
        if (result == RTMP_PUBLISH_CONNECT_FAILED) Failed();
        return true;
    }
    bool OnPlayEvent(int, std::string, RTMP_RESULT result, char*, int) override {
        if (result == RTMP_PLAY_CONNECT_FAILED) Failed();
        return true;
    }
    bool OnPlayVideoData(int, unsigned long long, unsigned char*, int, bool) override {
        ++m_nFrames;
        return true;
    }
    bool OnPlayAudioData(int, unsigned long long, unsigned char*, int) override {
        ++m_nFrames;
        return true;
    }

    // The number of connections when the first failure was reported, or -1 without one.
    int WaitForFailure(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, limit, [this] { return m_nConnectionsAtFailure >= 0; });
        return m_nConnectionsAtFailure;
    }
    bool Published() const { return m_bPublished; }
    int Frames() const { return m_nFrames; }

private:
    void Failed() {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_nConnectionsAtFailure < 0) m_nConnectionsAtFailure = m_accepts.load();
        m_changed.notify_all();
    }

    const std::atomic<int>& m_accepts;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_nConnectionsAtFailure = -1;
    std::atomic<bool> m_bPublished{false};
    std::atomic<int> m_nFrames{0};
};

long PeakKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s INPUT\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rtmplink::ServerScript script;
    if (!rtmplink::ParseServerScript(input.data(), input.size(), &script)) {
        std::fprintf(stderr, "%s: empty input\n", argv[1]);
        return 2;
    }

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("listen");
        return 2;
    }
    std::atomic<int> accepts{0};
    std::thread server([&] {
        for (;;) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;  // shut down
            if (accepts.fetch_add(1) == 0) rtmplink::ServeScript(fd, script);
            close(fd);
        }
    });

    Sink sink(accepts);
    IRtmpMgr* mgr = CreateRtmpMgr(&sink);
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/live/hostile" +
                            (script.credentials ? rtmplink::kCredentialsUrl : "");
    int id;
    if (script.publish) {
        id = mgr->GetPublishId();
        mgr->OpenPublishUrl(id, url.c_str(), 0);
    } else {
        id = mgr->GetPlayId();
        mgr->OpenPlayUrl(id, 1, 2, url.c_str());
    }
    const int connections = sink.WaitForFailure(std::chrono::seconds(20));
    if (script.publish) mgr->ClosePublish(id);
    else mgr->ClosePlay(id);
    DestroyRtmpMgr(mgr);
    shutdown(listener, SHUT_RDWR);
    server.join();
    close(listener);

    const bool failed = connections >= 0;
    std::printf("connections=%d failed=%d published=%d frames=%d peak_kb=%ld\n", connections, failed ? 1 : 0,
                sink.Published() ? 1 : 0, sink.Frames(), PeakKb());
    const int expected = script.publish ? 1 : 2;
    return failed && !sink.Published() && connections == expected ? 0 : 1;
}
