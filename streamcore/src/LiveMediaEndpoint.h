// LiveMediaEndpoint: the one object behind IStreamCore.
//
// It owns the RTMP manager, the capture engine and the window-share manager (created in
// Initialize, destroyed in UnInitialize), five worker threads made in the constructor and the
// "onevent" thread that delivers events to the host's StreamCoreSink.
//
// Threads:
//   - IStreamCore operations: the host's thread. Device operations call the engine right
//     there; stream operations hand their work to a worker (Invoke when a result is needed,
//     AsyncInvoke otherwise).
//   - publish control thread: publish registry (m_publishStreams), SlotPublishStream,
//     SlotPublishMixStream, SlotStopPublish, ForceKeyFrame, SlotOnPublishData.
//   - publish data thread: SlotPublishData (frames to the RTMP manager).
//   - play control thread: play registry (m_playStreams), SlotPlayStream, SlotStopPlay,
//     SlotChangeRemoteVideoWindows, SlotOnPlayData.
//   - play data thread: SlotPlayData (frames to the engine).
//   - recording thread: recording registry (m_records), SlotStartRecord, SlotStopRecord,
//     SlotRecordData.
//   - "onevent": the event loop (run) and every call of the host's sinks.
//   - IMediaTapSink callbacks: engine threads; IRtmpMgrSink and IRtmpLinkSink callbacks: RTMP
//     threads. They only copy and post, never wait.
// Each registry is touched by its worker only (and by UnInitialize after the workers are gone);
// every slot and registry look-up checks its worker with MTP_DCHECK_RUN_ON.
// The worker pointers are guarded by m_threadsLock so that a post racing with UnInitialize
// finds either a live thread or none.
#pragma once

#include "AacHeaderStore.h"
#include "BitrateControl.h"
#include "IStreamCore.h"
#include "MediaFrame.h"
#include "RecordInfo.h"
#include "WorkerCalls.h"

#include "paneshare/IPaneShareMgr.h"
#include "rtmplink/IRtmpMgr.h"
#include "common/buffer.h"
#include "common/id_table.h"
#include "common/thread_annotations.h"
#include "mediatap/IMediaTap.h"

#include <Poco/Notification.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace streamcore {

// Base of the registry records.
class StreamInfo {
public:
    explicit StreamInfo(const std::string& url) : url(url) {}
    virtual ~StreamInfo() = default;
    std::string GetUrl() const { return url; }

    std::string url;
    int streamId = 0;
};

class PublishStreamInfo : public StreamInfo {
public:
    using StreamInfo::StreamInfo;
    std::string GetAudioUniName() const { return audioUniName; }
    std::string GetVideoUniName() const { return videoUniName; }

    std::string audioUniName;
    std::string videoUniName;
};

class PlayStreamInfo : public StreamInfo {
public:
    using StreamInfo::StreamInfo;
    uint64_t audioRemoteId = ~0ull;
    uint64_t videoRemoteId = ~0ull;
};

// One event record waiting for the event thread.
class EventNotification : public Poco::Notification {
public:
    EventNotification(const char* data, int len);
    const Orvane::Common::IOBuffer& Buffer() const { return m_buffer; }

private:
    Orvane::Common::IOBuffer m_buffer;
};

class LiveMediaEndpoint : public IStreamCore,
                          public IRtmpMgrSink,
                          public IRtmpLinkSink,
                          public IMediaTapSink,
                          public mtp::MessageHandler,
                          public Poco::Runnable {
public:
    LiveMediaEndpoint();
    ~LiveMediaEndpoint() override;

    // IStreamCore
    bool Initialize(void*, void*, void*, bool enableLog) override;
    bool UnInitialize() override;
    void SetSink(StreamCoreSink* sink) override;
    int GetMicphoneCount() override;
    int GetSpeakerCount() override;
    bool GetMicphoneNames(int index, char* name, char* uniName) override;
    bool GetSpeakerNames(int index, char* name, char* uniName) override;
    bool OpenMic(const char* uniName) override;
    bool CloseMic() override;
    bool OpenSpeaker(const char* uniName) override;
    bool StartEncodeMixer(const char* uniName, int a, int b, int c) override;
    bool StopEncodeMixer(const char* uniName) override;
    bool PauseVideoEncode(const char* uniName) override;
    bool ContinueVideoEncode(const char* uniName) override;
    bool IsPublishPause(const char* uniName) override;
    int GetCameraCount() override;
    bool GetCameraNames(int index, char* name, char* uniName) override;
    bool OpenCamera(const char* uniName, void* window, int a, int b, int c) override;
    bool CloseCamera(const char* uniName) override;
    bool StartCaptureApplication(void*, bool flag, void* window, int a, int b, int c, char* uniNameOut,
                                 int d) override;
    bool StopCaptureApplication(const char* uniName) override;
    const char* EnumWindowList() override;
    bool PublishAudioStream(const char* url, const char* uniName, bool recordMode) override;
    bool PublishVideoStream(const char* url, const char* uniName, bool recordMode) override;
    bool PublishApplicationStream(const char* url, const char* uniName, bool recordMode) override;
    bool PublishPictureStream(const char* url, const char* uniName, bool recordMode) override;
    bool PublishMixStream(const char* url, const char* videoUniName, const char* audioUniName,
                          int publishMode) override;
    void StopPublish(const char* url) override;
    bool ForceKeyFrame(const char* url) override;
    bool PlayStream(const char* url, void* window) override;
    int StartRecord(const char* filePath, const char* videoUniName, const char* audioUniName,
                    bool flag) override;
    bool StopRecord(int recordId) override;
    bool StartCapturePicture(void*, char* uniName) override;
    bool SetCapturePicture(const char* uniName, unsigned char* data, int, int) override;
    bool SetCapturePicture(const char*, const char*, int, int) override;
    bool StopCatpurePicture(const char* uniName) override;
    bool AddVideoWindows(const char* uniName, void* window) override;
    bool RemoveVideoWindows(const char* uniName, void* window) override;
    bool RemoveAllVideoWindows(const char* uniName) override;
    bool ChangeRemoteVideoWindows(const char* url, void* window) override;
    void SetMicVolume(int volume) override;
    int GetMicVolume() override;
    void SetSpeakerVolume(int volume) override;
    int GetSpeakerVolume() override;
    void SetAgcStatus(bool on) override;
    void SetMuteStatus(bool mute) override;
    bool GetMuteStatus() override;
    int StartTestMic(const char* uniName) override;
    int StopTestMic() override;
    int StartTestSpeaker(const char* uniName, const char* filePath) override;
    int StopTestSpeaker() override;
    int GetTestMicLevel() override;
    int GetTestSpkLevel() override;
    void StopPlay(const char* url) override;
    void SetBitrateSink(IStreamCoreBitrateSink* sink) override;
    void SetDetailSink(IStreamCoreDetailSink* sink) override;

    // IRtmpMgrSink (RTMP threads)
    bool OnPublishEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) override;
    bool OnPlayEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) override;
    bool OnPlayVideoData(int id, unsigned long long videoId, unsigned char* data, int len,
                         bool keyFrame) override;
    bool OnPlayAudioData(int id, unsigned long long audioId, unsigned char* data, int len) override;
    // IRtmpLinkSink (publishers' send threads)
    void OnPublishLink(int id, const std::string& url, const RtmpLinkReport& report) override;

    // IMediaTapSink (engine threads)
    int OnSendVideoPacketCount(const char* uniName) override;
    int OnRtpVideoData(const char* uniName, const unsigned char* data, int len, bool keyFrame,
                       unsigned int timestamp) override;
    int OnAudioData(int a, int b, const unsigned char* data, int len, int c, unsigned int d) override;
    int OnMixerAudioData(const char* uniName, const unsigned char* data, int len) override;
    int OnMixerAudioHeaderData(const char* uniName, char* header, int len) override;
    int OnMixerAudioDataAt(const char* uniName, const unsigned char* data, int len, unsigned int captureMs) override;
    // A capture ended by itself: the host hears EVENT_SOURCE_ENDED naming it, with why.
    int OnSourceEnded(const char* uniName, const char* why) override;

    // mtp::MessageHandler: the start-up binding of the two control threads.
    void OnMessage(mtp::Message* msg) override;
    // Poco::Runnable: the event loop on "onevent".
    void run() override;

    // Copies an event record into a notification and queues it. Any thread.
    void PostEvent(const char* data, int len);

protected:
    virtual bool OnPlayVideoData(int playId, unsigned char* data, int len, bool keyFrame);
    virtual bool OnPlayAudioData(int playId, unsigned char* data, int len);
    virtual int OnAudioData(const char* uniName, int sampleRate, int channels, const void* data, int len,
                            int third, unsigned int timestamp);

private:
    // Destroys the engine, the RTMP manager and the window-share manager, whichever exist.
    // UnInitialize logs its progress line between the first and the others.
    void DestroyCollaborators(bool unInitializing);

    // Worker slots.
    bool SlotPublishStream(std::string url, std::string uniName, bool audioOnly, bool recordMode);
    bool SlotPublishMixStream(std::string url, std::string videoUniName, std::string audioUniName,
                              int publishMode);
    bool SlotStopPublish(std::string url);
    void SlotPublishLink(std::string url, RtmpLinkReport report);
    void SlotOnPublishData(Orvane::Common::IOBufferPtr frame);
    void SlotPublishData(Orvane::Common::IOBufferPtr frame, std::vector<uint32_t> ids);
    int SlotOnSendVideoPacketCount(std::string uniName);
    bool SlotPlayStream(std::string url, void* window);
    void SlotStopPlay(std::string url);
    bool SlotChangeRemoteVideoWindows(std::string url, void* window);
    void SlotOnPlayData(Orvane::Common::IOBufferPtr frame);
    void SlotPlayData(Orvane::Common::IOBufferPtr frame, uint64_t audioId, uint64_t videoId);
    int SlotStartRecord(IRecord* recorder, std::string filePath, std::string videoUniName,
                        std::string audioUniName, bool flag);
    bool SlotStopRecord(int recordId);
    void SlotRecordData(Orvane::Common::IOBufferPtr frame);
    // Recording thread: ends a recording whose write failed and tells the host.
    void FailRecording(RecordInfo* info);

    std::vector<uint32_t> GetRtmpurlByUniname(const std::string& uniName) const;
    std::vector<int> GetRecordIdByUniname(const std::string& uniName) const;
    bool GetAvRemoteIdByPlayId(int playId, uint64_t& audioId, uint64_t& videoId) const;
    // Play control thread: returns once every frame queued for the play data thread so far
    // has been handed to the engine (at once when that thread is gone).
    void WaitForPlayDataQueue();

    // Dispatches one event record; -1 for the stop record, 0 otherwise.
    int OnLiveMediaEndpoint(const unsigned char* data, unsigned len);
    // Queues an event for the event thread; detail only for the ids that carry one (any thread).
    void PostResultEvent(int eventId, int value, const std::string& name, const std::string& detail = std::string());
    // Drops every event record still queued.
    void DrainEvents();
    // Posts a frame built by an engine callback to the publish control thread; logs refused
    // frames (throttled).
    int PostEngineFrame(Orvane::Common::IOBufferPtr frame, FrameError error, const char* what);
    void PostPlayFrame(int playId, const unsigned char* data, int len, bool audio, bool keyFrame);

    // Hands f to the worker *which; false (nothing done) when that worker is gone.
    template <class F>
    bool PostTo(mtp::Thread* LiveMediaEndpoint::*which, F&& f);
    template <class R, class F>
    R CallOn(mtp::Thread* LiveMediaEndpoint::*which, F&& f, R failure);

    static OvHwnd ToHwnd(void* window) { return static_cast<OvHwnd>(reinterpret_cast<uintptr_t>(window)); }

    std::atomic<StreamCoreSink*> m_lpSink{nullptr};
    std::atomic<IStreamCoreBitrateSink*> m_lpBitrateSink{nullptr};
    std::atomic<IStreamCoreDetailSink*> m_lpDetailSink{nullptr};
    // The URL of every open publish id and play id, for the results that name only the stream
    // (set by the control threads before a stream opens, removed after it closed; read on RTMP
    // threads).
    Orvane::Common::IdTable<int, std::string> m_publishUrls;
    Orvane::Common::IdTable<int, std::string> m_playUrls;
    // Set once the first mixer frame without a capture time was logged.
    std::atomic<bool> m_arrivalStampLogged{false};
    // Set once an engine without SetVideoBitrate was logged.
    std::atomic<bool> m_fixedBitrateLogged{false};
    IRtmpMgr* m_lpRtmpMgr = nullptr;
    IMediaTap* m_lpMediaTapr = nullptr;
    IPaneShareMgr* m_lpPaneShareMgr = nullptr;
    Poco::NotificationQueue m_eventQueue;
    Poco::ThreadPool m_eventPool;
    std::map<int, RecordInfo*> m_records;
    std::map<std::string, PublishStreamInfo*> m_publishStreams;
    std::map<std::string, PlayStreamInfo*> m_playStreams;
    mtp::Thread* m_publishThread OV_GUARDED_BY(m_threadsLock) = nullptr;
    mtp::ThreadAffinity m_publishAffinity;
    mtp::Thread* m_publishDataThread OV_GUARDED_BY(m_threadsLock) = nullptr;
    mtp::Thread* m_playThread OV_GUARDED_BY(m_threadsLock) = nullptr;
    mtp::ThreadAffinity m_playAffinity;
    mtp::Thread* m_playDataThread OV_GUARDED_BY(m_threadsLock) = nullptr;
    mtp::Thread* m_recordThread OV_GUARDED_BY(m_threadsLock) = nullptr;
    // The same five workers, set once by the constructor and kept after UnInitialize, for the
    // thread checks only (a slot still running then is on a worker whose deletion waits for it).
    const mtp::Thread* m_publishOwner = nullptr;
    const mtp::Thread* m_publishDataOwner = nullptr;
    const mtp::Thread* m_playOwner = nullptr;
    const mtp::Thread* m_playDataOwner = nullptr;
    const mtp::Thread* m_recordOwner = nullptr;
    mtp::AsyncInvoker m_invoker;
    std::string m_windowListJson;
    std::atomic<bool> m_uninitialized{false};
    AacHeaderStore m_aacHeader;
    // Publish data thread only: the header generation each publish id was last given, so that
    // every publication of the mixer gets the header, not just the first in URL order.
    std::map<uint32_t, unsigned> m_aacHeaderGiven;
    // Publish control thread only: the encoders' bitrates after the links' reports.
    BitrateControl m_bitrate{[this](const std::string& uniName, int kbps) { return SetVideoBitrate(uniName, kbps); },
                             [this](const std::string& url, int kbps) { AnnounceBitrate(url, kbps); }};
    int SetVideoBitrate(const std::string& uniName, int kbps);
    void AnnounceBitrate(const std::string& url, int kbps);

    // Guards the five worker pointers against UnInitialize (shared for posting, exclusive
    // only while UnInitialize takes them away).
    mutable Orvane::Common::SharedMutex m_threadsLock;
    // OS ids of the two control threads, for the start-up binding messages.
    uint32_t m_publishThreadId = 0;
    uint32_t m_playThreadId = 0;
    // Set when both start-up binding messages have run.
    Poco::Event m_bound;
    std::atomic<int> m_boundCount{0};
    std::atomic<unsigned> m_refusedFrames{0};
    // Bytes of received frames on their way to the engine (any thread), the bound on them, and
    // the frames dropped for it.
    static constexpr int64_t kPlayQueueLimit = int64_t(64) << 20;
    std::atomic<int64_t> m_playBytesQueued{0};
    std::atomic<unsigned> m_droppedPlayFrames{0};
};

}  // namespace streamcore
