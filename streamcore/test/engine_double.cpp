#include "doubles.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

namespace doubles {

namespace {

std::mutex g_engineMutex;  // guards everything below
std::map<std::string, int> g_results;
FakeMediaTap* g_engine = nullptr;
std::vector<RemoteCall> g_remote;
size_t g_remoteBytes = 0;
bool g_freshIds = false;
int g_dataDelayMs = 0;
bool g_holdData = false;
std::condition_variable g_released;
uint64_t g_nextVideoId = 1001, g_nextAudioId = 2001;

// Keeps at most this many data bytes; later data calls are recorded without their bytes.
const size_t kRemoteByteLimit = 64u << 20;

void AddRemote(const char* op, uint64_t id, const unsigned char* data, int len) {
    if (data != nullptr) {
        int delay;
        {
            std::unique_lock<std::mutex> lock(g_engineMutex);
            g_released.wait(lock, [] { return !g_holdData; });
            delay = g_dataDelayMs;
        }
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    RemoteCall call{op, id, std::chrono::steady_clock::now(), {}, len};
    std::lock_guard<std::mutex> lock(g_engineMutex);
    if (data != nullptr && len > 0 && g_remoteBytes + static_cast<size_t>(len) <= kRemoteByteLimit) {
        call.bytes.assign(data, data + len);
        g_remoteBytes += static_cast<size_t>(len);
    }
    g_remote.push_back(std::move(call));
}

uint64_t NextRemoteId(bool video, uint64_t fixed) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    if (!g_freshIds) return fixed;
    return video ? g_nextVideoId++ : g_nextAudioId++;
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
    std::lock_guard<std::mutex> lock(g_engineMutex);
    return g_engine;
}
void SetEngineResult(const std::string& op, int value) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    g_results[op] = value;
}
void ResetEngineResults() {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    g_results.clear();
    g_remote.clear();
    g_remoteBytes = 0;
    g_freshIds = false;
    g_dataDelayMs = 0;
    g_holdData = false;
    g_released.notify_all();
    g_nextVideoId = 1001;
    g_nextAudioId = 2001;
}
std::vector<RemoteCall> RemoteCalls() {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    return g_remote;
}
int RemoteCount(const std::string& op, uint64_t id) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    int n = 0;
    for (const RemoteCall& c : g_remote) n += c.op == op && c.id == id;
    return n;
}
void SetRemoteDataDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    g_dataDelayMs = ms;
}
void HoldRemoteData(bool hold) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    g_holdData = hold;
    if (!hold) g_released.notify_all();
}
void SetFreshRemoteIds(bool on) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    g_freshIds = on;
}

// ---- engine

int FakeMediaTap::Result(const char* op, const std::string& args) {
    Calls().Add(std::string(op) + "(" + args + ")");
    std::lock_guard<std::mutex> lock(g_engineMutex);
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
    *id = NextRemoteId(true, 77);
    AddRemote("CreateRemoteVideo", *id, nullptr, 0);
    return r;
}
int FakeMediaTap::CloseRemoteVideo(uint64_t id) {
    AddRemote("CloseRemoteVideo", id, nullptr, 0);
    return Result("CloseRemoteVideo", std::to_string(id));
}
int FakeMediaTap::ChangeRemoteVideoWindow(uint64_t id, OvHwnd w) {
    AddRemote("ChangeRemoteVideoWindow", id, nullptr, 0);
    return Result("ChangeRemoteVideoWindow", std::to_string(id) + "," + std::to_string(w));
}
int FakeMediaTap::PlayRemoteAudioData(uint64_t id, const unsigned char* data, int len) {
    AddRemote("PlayRemoteAudioData", id, data, len);
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
    *id = NextRemoteId(false, 55);
    AddRemote("CreateRemoteAudio", *id, nullptr, 0);
    return r;
}
int FakeMediaTap::CloseRemoteAudio(uint64_t id) {
    AddRemote("CloseRemoteAudio", id, nullptr, 0);
    return Result("CloseRemoteAudio", std::to_string(id));
}
int FakeMediaTap::PlayRemoteVideoData(uint64_t id, const unsigned char* data, int len) {
    AddRemote("PlayRemoteVideoData", id, data, len);
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
int FakeMediaTap::SetVideoBitrate(const char* uniName, int kbps) {
    return Result("SetVideoBitrate", std::string(uniName) + "," + std::to_string(kbps));
}

}  // namespace doubles

using namespace doubles;

extern "C" {

IMediaTap* CreateMediaTap(IMediaTapSink* sink, int flags) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    if (g_results["CreateMediaTap"] != 0) return nullptr;  // an engine that cannot be made
    g_engine = new FakeMediaTap(sink, flags);
    return g_engine;
}

void DestoryMediaTap(IMediaTap* engine) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    if (engine == g_engine) g_engine = nullptr;
    delete static_cast<FakeMediaTap*>(engine);
}

// MEDIATAP_SLOT_COUNT unless the test set "MediaTapSlotCount" (63: an engine built before
// SetVideoBitrate).
int MediaTapSlotCount(void) {
    std::lock_guard<std::mutex> lock(g_engineMutex);
    auto it = g_results.find("MediaTapSlotCount");
    return it == g_results.end() ? MEDIATAP_SLOT_COUNT : it->second;
}
}
