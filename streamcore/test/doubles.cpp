#include "doubles.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace doubles {

namespace {

std::mutex g_mutex;  // guards everything below
std::map<std::string, int> g_results;
FakeMediaTap* g_engine = nullptr;
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

void CallLog::Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
}
std::vector<std::string> CallLog::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}
int CallLog::Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& l : m_lines)
        if (l.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}
void CallLog::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}
CallLog& Calls() {
    static CallLog log;
    return log;
}

FakeMediaTap* Engine() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_engine;
}
void SetEngineResult(const std::string& op, int value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_results[op] = value;
}
void ResetEngineResults() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_results.clear();
}
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
        g_results.clear();
        g_sent.clear();
        g_aac.clear();
        g_windows.clear();
        g_recordCalls.clear();
        g_recordOpen = true;
    }
    Calls().Clear();
}

// ---- engine

int FakeMediaTap::Result(const char* op, const std::string& args) {
    Calls().Add(std::string(op) + "(" + args + ")");
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_results.find(op);
    return it == g_results.end() ? 0 : it->second;
}

int FakeMediaTap::GetCameraCount() { return Result("GetCameraCount", ""); }
int FakeMediaTap::GetCameraNames(int index, char* name, char* uniName) {
    int r = Result("GetCameraNames", std::to_string(index));
    if (name) std::strcpy(name, "Camera");
    if (uniName) std::strcpy(uniName, "cam0");
    return r;
}
int FakeMediaTap::OpenCamera(const char* u, int a, int b, int c) {
    return Result("OpenCamera", S(u) + "," + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c));
}
int FakeMediaTap::CloseCamera(const char* u) { return Result("CloseCamera", S(u)); }
int FakeMediaTap::PrepareVideoPublish(const char* u) { return Result("PrepareVideoPublish", S(u)); }
int FakeMediaTap::AddVideoWindow(const char* u, OvHwnd w) { return Result("AddVideoWindow", S(u) + "," + std::to_string(w)); }
int FakeMediaTap::RemoveVideoWindow(const char* u, OvHwnd w) {
    return Result("RemoveVideoWindow", S(u) + "," + std::to_string(w));
}
int FakeMediaTap::RemoveAllVideoWindows(const char* u) { return Result("RemoveAllVideoWindows", S(u)); }
int FakeMediaTap::StartEncodeVideo(const char* u, int w, int h) {
    return Result("StartEncodeVideo", S(u) + "," + std::to_string(w) + "," + std::to_string(h));
}
int FakeMediaTap::StopEncodeVideo(const char* u) { return Result("StopEncodeVideo", S(u)); }
bool FakeMediaTap::IsVideoEncoding(const char* u) { return Result("IsVideoEncoding", S(u)) != 0; }
int FakeMediaTap::ForceKeyFrame(const char* u) { return Result("ForceKeyFrame", S(u)); }
int FakeMediaTap::GetVideoParamB(const char* u) { return Result("GetVideoParamB", S(u)); }
int FakeMediaTap::GetVideoParamA(const char* u) { return Result("GetVideoParamA", S(u)); }
int FakeMediaTap::StartCapturePicture(char* out) {
    int r = Result("StartCapturePicture", "");
    if (out) std::strcpy(out, "picture0");
    return r;
}
int FakeMediaTap::StopCapturePicture(const char* u) { return Result("StopCapturePicture", S(u)); }
int FakeMediaTap::SetCapturePicture(const char* u, const unsigned char*, int w, int h, int f) {
    return Result("SetCapturePicture", S(u) + "," + std::to_string(w) + "," + std::to_string(h) + "," + std::to_string(f));
}
int FakeMediaTap::StartCaptureApplication(char* out, OvHwnd window, bool flag, int x, int y, int w, int h, int br,
                                          int ow, int oh, int fps) {
    std::ostringstream a;
    a << window << "," << flag << "," << x << "," << y << "," << w << "," << h << "," << br << "," << ow << ","
      << oh << "," << fps;
    int r = Result("StartCaptureApplication", a.str());
    if (out) std::strcpy(out, "app0");
    return r;
}
int FakeMediaTap::StopCaptureApplication(const char* u) { return Result("StopCaptureApplication", S(u)); }
int FakeMediaTap::CreateRemoteVideo(uint64_t* id, OvHwnd w) {
    int r = Result("CreateRemoteVideo", std::to_string(w));
    *id = 77;
    return r;
}
int FakeMediaTap::CloseRemoteVideo(uint64_t id) { return Result("CloseRemoteVideo", std::to_string(id)); }
int FakeMediaTap::ChangeRemoteVideoWindow(uint64_t id, OvHwnd w) {
    return Result("ChangeRemoteVideoWindow", std::to_string(id) + "," + std::to_string(w));
}
int FakeMediaTap::PlayRemoteAudioData(uint64_t id, const unsigned char*, int len) {
    return Result("PlayRemoteAudioData", std::to_string(id) + "," + std::to_string(len));
}
int FakeMediaTap::GetMicphoneCount() { return Result("GetMicphoneCount", ""); }
int FakeMediaTap::GetMicphoneNames(int i, char*, char*) { return Result("GetMicphoneNames", std::to_string(i)); }
int FakeMediaTap::GetSpeakerCount() { return Result("GetSpeakerCount", ""); }
int FakeMediaTap::GetSpeakerNames(int i, char*, char*) { return Result("GetSpeakerNames", std::to_string(i)); }
int FakeMediaTap::OpenMic(const char* u) { return Result("OpenMic", S(u)); }
int FakeMediaTap::CloseMic() { return Result("CloseMic", ""); }
int FakeMediaTap::OpenSpeaker(const char* u) { return Result("OpenSpeaker", S(u)); }
int FakeMediaTap::CreateRemoteAudio(uint64_t* id) {
    int r = Result("CreateRemoteAudio", "");
    *id = 55;
    return r;
}
int FakeMediaTap::CloseRemoteAudio(uint64_t id) { return Result("CloseRemoteAudio", std::to_string(id)); }
int FakeMediaTap::PlayRemoteVideoData(uint64_t id, const unsigned char*, int len) {
    return Result("PlayRemoteVideoData", std::to_string(id) + "," + std::to_string(len));
}
int FakeMediaTap::SetMicVolume(int v) { return Result("SetMicVolume", std::to_string(v)); }
int FakeMediaTap::GetMicVolume() { return Result("GetMicVolume", ""); }
int FakeMediaTap::SetSpeakerVolume(int v) { return Result("SetSpeakerVolume", std::to_string(v)); }
int FakeMediaTap::GetSpeakerVolume() { return Result("GetSpeakerVolume", ""); }
int FakeMediaTap::SetAgcStatus(bool on) { return Result("SetAgcStatus", std::to_string(on)); }
int FakeMediaTap::SetMuteStatus(bool m) { return Result("SetMuteStatus", std::to_string(m)); }
int FakeMediaTap::GetMuteStatus(bool* m) {
    int r = Result("GetMuteStatus", std::string(m && !*m ? "preset-false" : "preset-other"));
    if (m) *m = r == 7;  // 7 stands for "muted"
    return 0;
}
int FakeMediaTap::StartEncodeMixer(const char* u, int a, int b, int c) {
    return Result("StartEncodeMixer", S(u) + "," + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c));
}
int FakeMediaTap::StopEncodeMixer(const char* u) { return Result("StopEncodeMixer", S(u)); }
int FakeMediaTap::StartTestMic(const char* u) { return Result("StartTestMic", S(u)); }
int FakeMediaTap::StopTestMic() { return Result("StopTestMic", ""); }
int FakeMediaTap::StartTestSpeaker(const char* u, const char* f) { return Result("StartTestSpeaker", S(u) + "," + S(f)); }
int FakeMediaTap::StopTestSpeaker() { return Result("StopTestSpeaker", ""); }
int FakeMediaTap::GetTestMicLevel() { return Result("GetTestMicLevel", ""); }
int FakeMediaTap::GetTestSpkLevel() { return Result("GetTestSpkLevel", ""); }

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

IMediaTap* CreateMediaTap(IMediaTapSink* sink, int) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_engine = new FakeMediaTap(sink);
    return g_engine;
}

void DestoryMediaTap(IMediaTap* engine) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (engine == g_engine) g_engine = nullptr;
    delete static_cast<FakeMediaTap*>(engine);
}

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
