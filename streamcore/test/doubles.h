// Link-time test doubles of the endpoint's collaborators: the capture engine, the RTMP
// manager, the window-share manager and the recorder. Each records every call it gets (as a
// text line) and the frames it is handed, and the engine double can fire the sink callbacks.
// The test binary defines the factory functions, so the endpoint library picks these up in
// place of the real ones.
//
// Threads: the endpoint calls the doubles from its workers while the test reads them; every
// member is guarded by the double's own lock.
#pragma once

#include "rtmplink/IRtmpMgr.h"
#include "mediatap/IMediaTap.h"
#include "paneshare/IPaneShareMgr.h"
#include "record/IRecord.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace doubles {

// Call log shared by all doubles, in call order.
class CallLog {
public:
    void Add(const std::string& line);
    std::vector<std::string> Lines() const;
    int Count(const std::string& prefix) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
CallLog& Calls();

class FakeMediaTap;
// The engine made by the last CreateMediaTap (null after DestoryMediaTap).
FakeMediaTap* Engine();
// Results the engine answers, by operation name ("OpenCamera", "StartEncodeVideo", ...);
// 0 when not set. "IsVideoEncoding" non-zero means true; "CreateMediaTap" non-zero makes the
// engine's factory fail.
void SetEngineResult(const std::string& op, int value);
void ResetEngineResults();

// One call to a remote channel of the engine (create, data, window change, close), with the
// time it was made. Data calls keep their bytes, up to a bound on the total kept.
struct RemoteCall {
    std::string op;  // the engine operation's name, e.g. "PlayRemoteVideoData"
    uint64_t id;
    std::chrono::steady_clock::time_point at;
    std::vector<unsigned char> bytes;
    int len;
};
std::vector<RemoteCall> RemoteCalls();
// Calls of op for channel id so far (no copying; for polling).
int RemoteCount(const std::string& op, uint64_t id);
// Off (the default): every remote video channel is 77 and every audio channel 55. On: each
// CreateRemoteVideo hands out a new id from 1001 up and each CreateRemoteAudio from 2001 up.
// Both reset by ResetEngineResults.
void SetFreshRemoteIds(bool on);
// Each PlayRemote*Data call takes this long (0 by default), like a slow decoder; reset by
// ResetEngineResults.
void SetRemoteDataDelayMs(int ms);
// While held, every PlayRemote*Data call waits until released (ResetEngineResults releases).
void HoldRemoteData(bool hold);
// Makes CreatePaneShareMgr's list: entries with handle 0 stand for null entries.
struct PaneEntry {
    bool present;
    OvHwnd window;
    std::string title;
    std::string filePath;
};
void SetWindowList(const std::vector<PaneEntry>& list);

class FakeMediaTap : public IMediaTap {
public:
    FakeMediaTap(IMediaTapSink* sink, int sinkFlags) : m_sink(sink), m_sinkFlags(sinkFlags) {}
    virtual ~FakeMediaTap() = default;
    IMediaTapSink* Sink() const { return m_sink; }
    // The MEDIATAP_SINK_ flags CreateMediaTap was given.
    int SinkFlags() const { return m_sinkFlags; }

    int Reserved0() override { return 0; }
    int GetCameraCount() override;
    int GetCameraNames(int index, char* name, char* uniName) override;
    int OpenCamera(const char* uniName, int a, int b, int c) override;
    int CloseCamera(const char* uniName) override;
    int PrepareVideoPublish(const char* uniName) override;
    int AddVideoWindow(const char* uniName, OvHwnd window) override;
    int RemoveVideoWindow(const char* uniName, OvHwnd window) override;
    int RemoveAllVideoWindows(const char* uniName) override;
    int StartEncodeVideo(const char* uniName, int width, int height) override;
    int StopEncodeVideo(const char* uniName) override;
    bool IsVideoEncoding(const char* uniName) override;
    int ForceKeyFrame(const char* uniName) override;
    int SetVideoBitrate(const char* uniName, int kbps) override;
    int GetVideoParamB(const char* uniName) override;
    int GetVideoParamA(const char* uniName) override;
    int Reserved15() override { return 0; }
    int Reserved16() override { return 0; }
    int Reserved17() override { return 0; }
    int Reserved18() override { return 0; }
    int StartCapturePicture(char* uniNameOut) override;
    int StopCapturePicture(const char* uniName) override;
    int SetCapturePicture(const char* uniName, const unsigned char* data, int width, int height, int format) override;
    int StartCaptureApplication(char* uniNameOut, OvHwnd window, bool flag, int x, int y, int w, int h,
                                int bitrateKbps, int outWidth, int outHeight, int fps) override;
    int StopCaptureApplication(const char* uniName) override;
    int Reserved24() override { return 0; }
    int Reserved25() override { return 0; }
    int Reserved26() override { return 0; }
    int CreateRemoteVideo(uint64_t* id, OvHwnd window) override;
    int Reserved28() override { return 0; }
    int Reserved29() override { return 0; }
    int CloseRemoteVideo(uint64_t id) override;
    int ChangeRemoteVideoWindow(uint64_t id, OvHwnd window) override;
    int PlayRemoteAudioData(uint64_t id, const unsigned char* data, int len) override;
    int Reserved33() override { return 0; }
    int Reserved34() override { return 0; }
    int Reserved35() override { return 0; }
    int GetMicphoneCount() override;
    int GetMicphoneNames(int index, char* name, char* uniName) override;
    int GetSpeakerCount() override;
    int GetSpeakerNames(int index, char* name, char* uniName) override;
    int OpenMic(const char* uniName) override;
    int CloseMic() override;
    int Reserved42() override { return 0; }
    int OpenSpeaker(const char* uniName) override;
    int CreateRemoteAudio(uint64_t* id) override;
    int CloseRemoteAudio(uint64_t id) override;
    int PlayRemoteVideoData(uint64_t id, const unsigned char* data, int len) override;
    int Reserved47() override { return 0; }
    int SetMicVolume(int volume) override;
    int GetMicVolume() override;
    int SetSpeakerVolume(int volume) override;
    int GetSpeakerVolume() override;
    int SetAgcStatus(bool on) override;
    int SetMuteStatus(bool mute) override;
    int GetMuteStatus(bool* mute) override;
    int StartEncodeMixer(const char* uniName, int a, int b, int c) override;
    int StopEncodeMixer(const char* uniName) override;
    int StartTestMic(const char* uniName) override;
    int StopTestMic() override;
    int StartTestSpeaker(const char* uniName, const char* filePath) override;
    int StopTestSpeaker() override;
    int GetTestMicLevel() override;
    int GetTestSpkLevel() override;

private:
    int Result(const char* op, const std::string& args);
    IMediaTapSink* m_sink;
    const int m_sinkFlags;
};

// One frame handed to the RTMP manager.
struct SentFrame {
    int id;
    bool audio;
    int len;
    unsigned timestamp;
    bool keyFrame;
    std::vector<unsigned char> bytes;
};

class FakeRtmpMgr;
FakeRtmpMgr* Rtmp();
std::vector<SentFrame> SentFrames();
// Calls of SetAACExtraData as "id:hex".
std::vector<std::string> AacHeadersSent();

class FakeRtmpMgr : public IRtmpMgr {
public:
    explicit FakeRtmpMgr(IRtmpMgrSink* sink) : m_sink(sink) {}
    virtual ~FakeRtmpMgr() = default;
    IRtmpMgrSink* Sink() const { return m_sink; }

    bool OpenPublishUrl(int id, bool hasAudio, std::string uniName, const char* url, int publishMode) override;
    bool OpenPublishUrl(int id, const char* url, int publishMode) override;
    int GetPublishId() override;
    int PublishVideoRtmpData(int id, unsigned char* data, int len, unsigned int timestamp, bool keyFrame) override;
    int PublishAudioRtmpData(int id, int audioType, unsigned char* data, int len, unsigned int timestamp) override;
    int OnSendVideoPacketCount(int id) override;
    void SetAACExtraData(int id, unsigned char* data, int len) override;
    void PausePublish(int id) override;
    void ContinuePublish(int id) override;
    void ClosePublish(int id) override;
    bool HasAudio(int id) override;
    const std::string& GetUniName(int id) override;
    bool GetSendDataTimeOut(int id) override;
    int GetPlayId() override;
    bool OpenPlayUrl(int id, unsigned long long videoId, unsigned long long audioId, const char* url) override;
    void ClosePlay(int id) override;
    unsigned long long GetVideoId(int id) override;
    unsigned long long GetAudioId(int id) override;
    void SetRtmpMgrSink(IRtmpMgrSink* sink) override;
    void SetLinkSink(IRtmpLinkSink* sink) override { m_linkSink = sink; }
    IRtmpLinkSink* LinkSink() const { return m_linkSink; }

private:
    IRtmpMgrSink* m_sink;
    IRtmpLinkSink* m_linkSink = nullptr;
    int m_nextPublishId = 1000;
    int m_nextPlayId = 10000;
    std::string m_empty;
};

// One recorder call, in order, with the recorder's serial number (1 for the first made).
struct RecordCall {
    int recorder;
    std::string op;  // "Open", "WriteAudio", "WriteVideo", "SetAudioHeader", "Close", "Destroy"
    std::string args;
    unsigned time;
    int len;
};
std::vector<RecordCall> RecordCalls();
// Open answers this (true by default).
void SetRecordOpenResult(bool ok);
int LiveRecorders();

void ResetAll();

}  // namespace doubles
