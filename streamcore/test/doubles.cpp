#include "doubles.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace doubles {

namespace {

std::mutex g_mutex;  // guards everything below
FakeRtmpMgr* g_rtmp = nullptr;
std::vector<SentFrame> g_sent;
std::vector<std::string> g_aac;
std::vector<PaneEntry> g_windows;
std::vector<RecordCall> g_recordCalls;
bool g_recordOpen = true;
int g_recorderSerial = 0;
int g_liveRecorders = 0;

std::string Hex(const unsigned char* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string S(const char* s) { return s ? s : "(null)"; }

}  // namespace
void SetWindowList(const std::vector<PaneEntry>& list) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_windows = list;
}
FakeRtmpMgr* Rtmp() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_rtmp;
}
std::vector<SentFrame> SentFrames() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_sent;
}
std::vector<std::string> AacHeadersSent() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_aac;
}
std::vector<RecordCall> RecordCalls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_recordCalls;
}
void SetRecordOpenResult(bool ok) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recordOpen = ok;
}
int LiveRecorders() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_liveRecorders;
}
void ResetAll() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sent.clear();
        g_aac.clear();
        g_windows.clear();
        g_recordCalls.clear();
        g_recordOpen = true;
    }
    ResetEngineResults();
    Calls().Clear();
}

// ---- RTMP manager

bool FakeRtmpMgr::OpenPublishUrl(int id, bool hasAudio, std::string uniName, const char* url, int mode) {
    Calls().Add("OpenPublishUrl5(" + std::to_string(id) + "," + std::to_string(hasAudio) + "," + uniName + "," + S(url) +
                "," + std::to_string(mode) + ")");
    return true;
}
bool FakeRtmpMgr::OpenPublishUrl(int id, const char* url, int mode) {
    Calls().Add("OpenPublishUrl(" + std::to_string(id) + "," + S(url) + "," + std::to_string(mode) + ")");
    return true;
}
int FakeRtmpMgr::GetPublishId() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return m_nextPublishId++;
}
int FakeRtmpMgr::PublishVideoRtmpData(int id, unsigned char* data, int len, unsigned int ts, bool key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sent.push_back({id, false, len, ts, key, std::vector<unsigned char>(data, data + (len > 0 ? len : 0))});
    return 0;
}
int FakeRtmpMgr::PublishAudioRtmpData(int id, int type, unsigned char* data, int len, unsigned int ts) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sent.push_back({id, true, len, ts, type == 1, std::vector<unsigned char>(data, data + (len > 0 ? len : 0))});
    return 0;
}
int FakeRtmpMgr::OnSendVideoPacketCount(int) { return 0; }
void FakeRtmpMgr::SetAACExtraData(int id, unsigned char* data, int len) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_aac.push_back(std::to_string(id) + ":" + Hex(data, len));
}
void FakeRtmpMgr::PausePublish(int id) { Calls().Add("PausePublish(" + std::to_string(id) + ")"); }
void FakeRtmpMgr::ContinuePublish(int id) { Calls().Add("ContinuePublish(" + std::to_string(id) + ")"); }
void FakeRtmpMgr::ClosePublish(int id) { Calls().Add("ClosePublish(" + std::to_string(id) + ")"); }
bool FakeRtmpMgr::HasAudio(int) { return false; }
const std::string& FakeRtmpMgr::GetUniName(int) { return m_empty; }
bool FakeRtmpMgr::GetSendDataTimeOut(int) { return false; }
int FakeRtmpMgr::GetPlayId() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return m_nextPlayId++;
}
bool FakeRtmpMgr::OpenPlayUrl(int id, unsigned long long v, unsigned long long a, const char* url) {
    Calls().Add("OpenPlayUrl(" + std::to_string(id) + "," + std::to_string(v) + "," + std::to_string(a) + "," + S(url) +
                ")");
    return true;
}
void FakeRtmpMgr::ClosePlay(int id) { Calls().Add("ClosePlay(" + std::to_string(id) + ")"); }
unsigned long long FakeRtmpMgr::GetVideoId(int) { return ~0ull; }
unsigned long long FakeRtmpMgr::GetAudioId(int) { return ~0ull; }
void FakeRtmpMgr::SetRtmpMgrSink(IRtmpMgrSink* sink) { m_sink = sink; }

// ---- window-share manager

namespace {
class FakePaneShare : public IPaneShareMgr {
public:
    virtual ~FakePaneShare() { Free(); }
    std::vector<WindowProcessInfo*>* RefreshWindowList() override {
        Free();
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const PaneEntry& e : g_windows) {
            if (!e.present) {
                m_list.push_back(nullptr);
                continue;
            }
            auto* info = new WindowProcessInfo();
            info->window = e.window;
            info->title = e.title;
            info->filePath = e.filePath;
            m_list.push_back(info);
        }
        return &m_list;
    }
    bool ShowWindowToTop(OvHwnd) override { return false; }
    OvHwnd GetWindowsHandleByProcessid(int) override { return 0; }
    void AddExceptionExeName(const char*) override {}
    void AddExceptionExeNameForAllOs(const char*) override {}
    void* RegisterAppThumbnail(OvHwnd, OvHwnd) override { return nullptr; }
    void UnregisterAppThumbnail(void*) override {}
    void AddWindow(OvHwnd) override {}
    void RemoveWindow(OvHwnd) override {}

private:
    void Free() {
        for (auto* p : m_list) delete p;
        m_list.clear();
    }
    std::vector<WindowProcessInfo*> m_list;
};

// ---- recorder

class FakeRecord : public IRecord {
public:
    explicit FakeRecord(int serial) : m_serial(serial) {}
    virtual ~FakeRecord() = default;
    bool Open(const std::string& path, int codec, int w, int h, int fps, int bits, int rate, int ch, int flush,
              bool withAudio) override {
        std::ostringstream a;
        a << path << "," << codec << "," << w << "," << h << "," << fps << "," << bits << "," << rate << "," << ch << ","
          << flush << "," << withAudio;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recordCalls.push_back({m_serial, "Open", a.str(), 0, 0});
        return g_recordOpen;
    }
    int WriteAudio(int codec, unsigned int t, const unsigned char* data, int len) override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recordCalls.push_back({m_serial, "WriteAudio", std::to_string(codec) + ":" + Hex(data, len), t, len});
        return 0;
    }
    int WriteVideo(unsigned int t, const unsigned char* data, int len, bool key) override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recordCalls.push_back({m_serial, "WriteVideo", std::to_string(key) + ":" + Hex(data, len), t, len});
        return 0;
    }
    int SetAudioHeader(const unsigned char* h, int len) override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recordCalls.push_back({m_serial, "SetAudioHeader", Hex(h, len), 0, len});
        return 0;
    }
    int Close() override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recordCalls.push_back({m_serial, "Close", "", 0, 0});
        return 0;
    }
    int Serial() const { return m_serial; }

private:
    int m_serial;
};

}  // namespace
}  // namespace doubles

using namespace doubles;

extern "C" {

IRtmpMgr* CreateRtmpMgr(IRtmpMgrSink* sink) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_rtmp == nullptr) g_rtmp = new FakeRtmpMgr(sink);
    return g_rtmp;
}

void DestroyRtmpMgr(IRtmpMgr*) {
    std::lock_guard<std::mutex> lock(g_mutex);
    delete g_rtmp;
    g_rtmp = nullptr;
}

IPaneShareMgr* CreatePaneShareMgr(IPaneShareMgrSink*) { return new FakePaneShare(); }
void DestroyPaneShareMgr(IPaneShareMgr* mgr) { delete static_cast<FakePaneShare*>(mgr); }

IRecord* CreateRecord() {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_liveRecorders;
    return new FakeRecord(++g_recorderSerial);
}

void DestroyRecord(IRecord* recorder) {
    auto* r = static_cast<FakeRecord*>(recorder);
    std::lock_guard<std::mutex> lock(g_mutex);
    --g_liveRecorders;
    g_recordCalls.push_back({r->Serial(), "Destroy", "", 0, 0});
    delete r;
}
}
