#include "LiveMediaEndpoint.h"

#include "EventRecord.h"
#include "WindowListJson.h"

#include "common/slogger.h"
#include "common/util.h"

#include <Poco/Bugcheck.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <limits.h>
#include <mutex>

// Every log line of the endpoint carries this source name.
#define EP_LOG(...) OV_LOG_AS("LiveMediaEndpoint", __VA_ARGS__)

namespace streamcore {

using Orvane::Common::IOBuffer;
using Orvane::Common::IOBufferPtr;
using Orvane::Common::ovGetTickCount;

namespace {

const char kMixerUniName[] = "#soundcard#mix#mic";

// A received frame for the play workers, length + 16 bytes:
//   0 play id (int), 4 length (int), 8 unused, 12 kind (0 video, 1 audio), 13 key flag,
//   14 the frame bytes with their 12-byte header.
enum PlayFrameLayout : unsigned {
    kPlayIdOffset = 0,
    kPlayLengthOffset = 4,
    kPlayKindOffset = 12,
    kPlayKeyOffset = 13,
    kPlayDataOffset = 14,
    kPlayFrameExtra = 16,
};

int ReadInt(const unsigned char* p, unsigned offset) {
    int v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
}

std::string Str(const char* s) { return s ? std::string(s) : std::string(); }

// Sets the current directory to the folder of the running executable.
void ChangeToExecutableFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return;
    slash[1] = '\0';
    if (chdir(path) != 0) {
        // Staying in the current folder only moves where the log folder goes.
    }
}

}  // namespace

EventNotification::EventNotification(const char* data, int len) {
    unsigned size = len > 0 ? static_cast<unsigned>(len) : 0u;
    m_buffer.Initialize(size);
    m_buffer.ReadFromBuffer(reinterpret_cast<const unsigned char*>(data), size);
}

// ---------------------------------------------------------------------------------------
// Construction, Initialize, UnInitialize

LiveMediaEndpoint::LiveMediaEndpoint() : m_eventPool(2, 16, 60), m_bound(Poco::Event::EVENT_MANUALRESET) {
    ChangeToExecutableFolder();
    m_publishThread = worker::StartThread("publish");
    m_playThread = worker::StartThread("play");
    m_publishDataThread = worker::StartThread("publishdata");
    m_playDataThread = worker::StartThread("playdata");
    m_recordThread = worker::StartThread("record");
    m_publishThreadId = worker::OsThreadId(m_publishThread);
    m_playThreadId = worker::OsThreadId(m_playThread);
    // Bind each control thread's affinity on that thread. Waiting for both bindings here
    // means a ForceKeyFrame made right after construction can never take the constructing
    // thread for the publish control thread.
    worker::PostMessage(m_publishThread, this, m_publishThreadId);
    worker::PostMessage(m_playThread, this, m_playThreadId);
    m_bound.tryWait(10000);
    m_uninitialized = false;
}

LiveMediaEndpoint::~LiveMediaEndpoint() { UnInitialize(); }

void LiveMediaEndpoint::OnMessage(mtp::Message* msg) {
    poco_assert_msg(msg != nullptr, "msg");
    uint32_t id = worker::MessageId(msg);
    if (id == m_publishThreadId) {
        m_publishAffinity.Unbind();
        m_publishAffinity.IsOnBoundThread();
    } else if (id == m_playThreadId) {
        m_playAffinity.Unbind();
        m_playAffinity.IsOnBoundThread();
    } else {
        return;
    }
    if (++m_boundCount == 2) m_bound.set();
}

bool LiveMediaEndpoint::Initialize(void*, void*, void*, bool enableLog) {
    // The workers exist once per endpoint: after UnInitialize it cannot work again, and a
    // second Initialize would only leak a second set of collaborators.
    if (m_uninitialized) return false;
    if (m_lpRtmpMgr != nullptr) return true;
    std::string logDir = Poco::Path::current() + "log" + "/";
    bool logOn = enableLog;
    if (enableLog) {
        // A folder the process may not write (the executable's folder of a system-wide
        // runtime, say) costs the log, never the endpoint.
        try {
            Poco::File dir(logDir);
            if (!dir.exists()) dir.createDirectories();
        } catch (const Poco::Exception& e) {
            logOn = false;
            std::fprintf(stderr, "StreamCore: logging stays off: the log folder %s could not be made: %s\n",
                         logDir.c_str(), e.displayText().c_str());
        }
    }
    if (Orvane::Common::slogger* logger = Orvane::Common::slogger::Inst()) {
        logger->m_bLogEnabled = logOn;
        // The support library creates the folder it is given, so it gets one only when
        // logging is on: with logging off no log folder appears.
        if (logOn) logger->InitLogInfoPath(logDir);
    }
    EP_LOG("Initialize!");
    // A collaborator that cannot be created fails the whole set-up: what was made before it
    // is destroyed again, so that nothing half-made answers later calls and a later
    // Initialize repeats everything.
    try {
        m_lpRtmpMgr = CreateRtmpMgr(this);
        if (m_lpRtmpMgr == nullptr) Poco::Bugcheck::assertion("m_lpRtmpMgr != NULL", __FILE__, __LINE__);
        m_lpMediaTapr = CreateMediaTap(this, 0);
        m_lpPaneShareMgr = CreatePaneShareMgr(nullptr);
        if (m_lpMediaTapr == nullptr) Poco::Bugcheck::assertion("m_lpMediaTapr != NULL", __FILE__, __LINE__);
        if (m_lpPaneShareMgr == nullptr) Poco::Bugcheck::assertion("m_lpPaneShareMgr != NULL", __FILE__, __LINE__);
    } catch (...) {
        DestroyCollaborators(false);
        throw;
    }
    m_eventPool.startWithPriority(Poco::Thread::PRIO_NORMAL, *this, "onevent");
    EP_LOG("Initialize end!");
    return true;
}

void LiveMediaEndpoint::DestroyCollaborators(bool unInitializing) {
    if (m_lpMediaTapr) {
        DestoryMediaTap(m_lpMediaTapr);
        m_lpMediaTapr = nullptr;
    }
    if (unInitializing) {
        EP_LOG("LiveMediaEndpoint UnInitialize! 2");
    }
    if (m_lpRtmpMgr) {
        DestroyRtmpMgr(m_lpRtmpMgr);
        m_lpRtmpMgr = nullptr;
    }
    if (m_lpPaneShareMgr) {
        DestroyPaneShareMgr(m_lpPaneShareMgr);
        m_lpPaneShareMgr = nullptr;
    }
}

bool LiveMediaEndpoint::UnInitialize() {
    if (m_uninitialized.exchange(true)) return true;
    EP_LOG("LiveMediaEndpoint UnInitialize!");

    // Fire-and-forget calls still waiting on the publish control thread never run.
    {
        std::shared_lock<std::shared_mutex> lock(m_threadsLock);
        if (m_publishThread) worker::ClearHandler(m_publishThread, &m_invoker, 0);
    }
    // Take the workers away first, so nothing can be posted to them any more, then stop them
    // while the collaborators they call still exist: a worker never calls into a destroyed
    // engine or RTMP manager, and a callback of either finds no worker and drops its frame.
    mtp::Thread* threads[5];
    {
        std::unique_lock<std::shared_mutex> lock(m_threadsLock);
        threads[0] = m_publishThread;
        threads[1] = m_playThread;
        threads[2] = m_publishDataThread;
        threads[3] = m_playDataThread;
        threads[4] = m_recordThread;
        m_publishThread = m_playThread = m_publishDataThread = m_playDataThread = m_recordThread = nullptr;
    }
    for (mtp::Thread* t : threads) delete t;

    DestroyCollaborators(true);

    // Events not yet delivered are dropped; the stop record ends the loop.
    DrainEvents();
    std::vector<unsigned char> stop = BuildEventRecord(EVENT_STOP, 0);
    m_eventQueue.enqueueNotification(
        new EventNotification(reinterpret_cast<const char*>(stop.data()), static_cast<int>(stop.size())));
    m_eventPool.stopAll();
    DrainEvents();
    EP_LOG("LiveMediaEndpoint UnInitialize! 3");

    for (auto& entry : m_records) {
        if (entry.second) {
            entry.second->CloseRecorder();
            delete entry.second;
        }
    }
    m_records.clear();
    for (auto& entry : m_publishStreams) delete entry.second;
    m_publishStreams.clear();
    for (auto& entry : m_playStreams) delete entry.second;
    m_playStreams.clear();

    EP_LOG("LiveMediaEndpoint UnInitialize! end");
    Orvane::Common::slogger::Release();
    return true;
}

void LiveMediaEndpoint::SetSink(StreamCoreSink* sink) {
    EP_LOG("SetSink");
    m_lpSink.store(sink, std::memory_order_release);
    EP_LOG("SetSink end");
}

template <class F>
bool LiveMediaEndpoint::PostTo(mtp::Thread* LiveMediaEndpoint::*which, F&& f) {
    std::shared_lock<std::shared_mutex> lock(m_threadsLock);
    mtp::Thread* thread = this->*which;
    if (thread == nullptr) return false;
    worker::AsyncInvoke(m_invoker, thread, std::forward<F>(f));
    return true;
}

template <class R, class F>
R LiveMediaEndpoint::CallOn(mtp::Thread* LiveMediaEndpoint::*which, F&& f, R failure) {
    std::shared_lock<std::shared_mutex> lock(m_threadsLock);
    mtp::Thread* thread = this->*which;
    if (thread == nullptr) return failure;
    return worker::Invoke<R>(thread, std::forward<F>(f), failure);
}

// ---------------------------------------------------------------------------------------
// Events

void LiveMediaEndpoint::PostEvent(const char* data, int len) {
    poco_check_ptr(data);
    // After UnInitialize nobody delivers events any more: keep nothing.
    if (m_uninitialized) return;
    m_eventQueue.enqueueNotification(new EventNotification(data, len));
}

void LiveMediaEndpoint::DrainEvents() {
    // Dequeued one by one so that each reference is dropped here rather than inside the
    // queue's clear.
    while (Poco::AutoPtr<Poco::Notification> dropped = m_eventQueue.dequeueNotification()) {
    }
}

void LiveMediaEndpoint::PostResultEvent(int eventId, int value, const std::string& name) {
    std::vector<unsigned char> rec = BuildEventRecord(eventId, value, name);
    if (rec.empty()) return;
    PostEvent(reinterpret_cast<const char*>(rec.data()), static_cast<int>(rec.size()));
}

bool LiveMediaEndpoint::OnPublishEvent(int, std::string name, RTMP_RESULT result, char*, int) {
    PostResultEvent(EVENT_PUBLISH_RESULT, result == RTMP_PUBLISH_CONNECTED ? 0 : -1, name);
    return true;
}

void LiveMediaEndpoint::OnPublishLink(int, const std::string& url, const RtmpLinkReport& report) {
    PostTo(&LiveMediaEndpoint::m_publishThread, [this, url, report] { SlotPublishLink(url, report); });
}

bool LiveMediaEndpoint::OnPlayEvent(int, std::string name, RTMP_RESULT result, char*, int) {
    PostResultEvent(EVENT_PLAY_RESULT, result == RTMP_PLAY_CONNECTED ? 0 : -1, name);
    return true;
}

void LiveMediaEndpoint::run() {
    for (;;) {
        Poco::AutoPtr<Poco::Notification> notification(m_eventQueue.waitDequeueNotification());
        bool stop = false;
        if (auto* event = dynamic_cast<EventNotification*>(notification.get())) {
            const IOBuffer& buffer = event->Buffer();
            stop = OnLiveMediaEndpoint(buffer.GetPointer(), buffer.GetLength()) == -1;
        }
        if (stop) break;
        Poco::Thread::sleep(1);
    }
    EP_LOG("LiveEndpoint::run exit time = %u", static_cast<unsigned>(ovGetTickCount()));
}

int LiveMediaEndpoint::OnLiveMediaEndpoint(const unsigned char* data, unsigned len) {
    if (data == nullptr || len < 4) return 0;
    EventRecord rec;
    if (!ParseEventRecord(data, len, rec)) return 0;
    if (rec.eventId == EVENT_STOP) return -1;
    StreamCoreSink* sink = m_lpSink.load(std::memory_order_acquire);
    if (sink == nullptr) return 0;
    if (rec.eventId == EVENT_PUBLISH_RESULT)
        sink->OnPublishResult(rec.value, rec.text.c_str());
    else if (rec.eventId == EVENT_BITRATE)
        sink->OnBitrateChanged(rec.value, rec.text.c_str());
    else if (rec.eventId == EVENT_PLAY_RESULT)
        sink->OnPlayResult(rec.value, rec.text.c_str());
    else
        sink->OnStreamCoreEvent(rec.eventId, rec.value);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Local devices (host thread, straight to the engine)

int LiveMediaEndpoint::GetMicphoneCount() { return m_lpMediaTapr ? m_lpMediaTapr->GetMicphoneCount() : 0; }
int LiveMediaEndpoint::GetSpeakerCount() { return m_lpMediaTapr ? m_lpMediaTapr->GetSpeakerCount() : 0; }

bool LiveMediaEndpoint::GetMicphoneNames(int index, char* name, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->GetMicphoneNames(index, name, uniName) == 0;
}

bool LiveMediaEndpoint::GetSpeakerNames(int index, char* name, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->GetSpeakerNames(index, name, uniName) == 0;
}

bool LiveMediaEndpoint::OpenMic(const char* uniName) {
    EP_LOG("OpenMic uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->OpenMic(uniName) == 0;
}

bool LiveMediaEndpoint::CloseMic() {
    EP_LOG("Close Mic");
    return m_lpMediaTapr && m_lpMediaTapr->CloseMic() == 0;
}

bool LiveMediaEndpoint::OpenSpeaker(const char* uniName) {
    EP_LOG("OpenSpeaker uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->OpenSpeaker(uniName) == 0;
}

int LiveMediaEndpoint::GetCameraCount() {
    EP_LOG("GetCameraCount");
    return m_lpMediaTapr ? m_lpMediaTapr->GetCameraCount() : 0;
}

bool LiveMediaEndpoint::GetCameraNames(int index, char* name, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->GetCameraNames(index, name, uniName) == 0;
}

bool LiveMediaEndpoint::OpenCamera(const char* uniName, void* window, int a, int b, int c) {
    EP_LOG("OpenCamera uniName = %s", uniName ? uniName : "");
    if (m_lpMediaTapr == nullptr || m_lpMediaTapr->OpenCamera(uniName, a, b, c) != 0) return false;
    if (window != nullptr && m_lpMediaTapr->AddVideoWindow(uniName, ToHwnd(window)) != 0) return false;
    EP_LOG("OpenCamera uniName = %s end", uniName ? uniName : "");
    return true;
}

bool LiveMediaEndpoint::CloseCamera(const char* uniName) {
    EP_LOG("CloseCamera uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->CloseCamera(uniName) == 0;
}

bool LiveMediaEndpoint::AddVideoWindows(const char* uniName, void* window) {
    EP_LOG("AddVideoWindows uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->AddVideoWindow(uniName, ToHwnd(window)) == 0;
}

bool LiveMediaEndpoint::RemoveVideoWindows(const char* uniName, void* window) {
    EP_LOG("RemoveVideoWindows uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->RemoveVideoWindow(uniName, ToHwnd(window)) == 0;
}

bool LiveMediaEndpoint::RemoveAllVideoWindows(const char* uniName) {
    EP_LOG("RemoveAllVideoWindows uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->RemoveAllVideoWindows(uniName) == 0;
}

bool LiveMediaEndpoint::StartCaptureApplication(void*, bool flag, void* window, int a, int b, int c,
                                                char* uniNameOut, int d) {
    return m_lpMediaTapr &&
           m_lpMediaTapr->StartCaptureApplication(uniNameOut, ToHwnd(window), flag, 0, 0, 0, 0, a, b, c, d) == 0;
}

bool LiveMediaEndpoint::StopCaptureApplication(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopCaptureApplication(uniName) == 0;
}

bool LiveMediaEndpoint::StartCapturePicture(void*, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StartCapturePicture(uniName) == 0;
}

bool LiveMediaEndpoint::SetCapturePicture(const char* uniName, unsigned char* data, int, int) {
    // The engine takes the picture, but the result stays false whatever it answers: callers
    // have always treated this form as not confirming the picture.
    if (m_lpMediaTapr) m_lpMediaTapr->SetCapturePicture(uniName, data, 320, 240, 1);
    return false;
}

bool LiveMediaEndpoint::SetCapturePicture(const char*, const char*, int, int) { return true; }

bool LiveMediaEndpoint::StopCatpurePicture(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopCapturePicture(uniName) == 0;
}

void LiveMediaEndpoint::SetMicVolume(int volume) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetMicVolume(volume);
}
int LiveMediaEndpoint::GetMicVolume() { return m_lpMediaTapr ? m_lpMediaTapr->GetMicVolume() : 0; }
void LiveMediaEndpoint::SetSpeakerVolume(int volume) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetSpeakerVolume(volume);
}
int LiveMediaEndpoint::GetSpeakerVolume() { return m_lpMediaTapr ? m_lpMediaTapr->GetSpeakerVolume() : 0; }
void LiveMediaEndpoint::SetAgcStatus(bool on) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetAgcStatus(on);
}
void LiveMediaEndpoint::SetMuteStatus(bool mute) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetMuteStatus(mute);
}
bool LiveMediaEndpoint::GetMuteStatus() {
    bool mute = false;
    if (m_lpMediaTapr) m_lpMediaTapr->GetMuteStatus(&mute);
    return mute;
}
int LiveMediaEndpoint::StartTestMic(const char* uniName) {
    return m_lpMediaTapr ? m_lpMediaTapr->StartTestMic(uniName) : 0;
}
int LiveMediaEndpoint::StopTestMic() { return m_lpMediaTapr ? m_lpMediaTapr->StopTestMic() : 0; }
int LiveMediaEndpoint::StartTestSpeaker(const char* uniName, const char* filePath) {
    if (m_lpMediaTapr == nullptr) return 0;
    std::string path = Str(filePath);  // the engine gets a private copy
    return m_lpMediaTapr->StartTestSpeaker(uniName, path.c_str());
}
int LiveMediaEndpoint::StopTestSpeaker() { return m_lpMediaTapr ? m_lpMediaTapr->StopTestSpeaker() : 0; }
int LiveMediaEndpoint::GetTestMicLevel() { return m_lpMediaTapr ? m_lpMediaTapr->GetTestMicLevel() : 0; }
int LiveMediaEndpoint::GetTestSpkLevel() { return m_lpMediaTapr ? m_lpMediaTapr->GetTestSpkLevel() : 0; }

const char* LiveMediaEndpoint::EnumWindowList() {
    // Without the window-share manager (before Initialize, after UnInitialize) the list is
    // empty rather than an exception out of the library.
    std::vector<WindowListItem> items;
    int count = 0;
    if (auto* list = m_lpPaneShareMgr ? m_lpPaneShareMgr->RefreshWindowList() : nullptr) {
        count = static_cast<int>(list->size());
        for (const WindowProcessInfo* info : *list) {
            if (info == nullptr) continue;
            WindowListItem item;
            item.handle = static_cast<uint64_t>(info->window);
            item.title = info->title;
            item.filePath = info->filePath;
            items.push_back(std::move(item));
        }
    }
    m_windowListJson = BuildWindowListJson(count, items);
    return m_windowListJson.c_str();
}

// ---------------------------------------------------------------------------------------
// Publishing

bool LiveMediaEndpoint::StartEncodeMixer(const char* uniName, int a, int b, int c) {
    return m_lpMediaTapr && m_lpMediaTapr->StartEncodeMixer(uniName, a, b, c) == 0;
}

bool LiveMediaEndpoint::StopEncodeMixer(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopEncodeMixer(uniName) == 0;
}

bool LiveMediaEndpoint::PauseVideoEncode(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopEncodeVideo(uniName) != -1;
}

bool LiveMediaEndpoint::ContinueVideoEncode(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StartEncodeVideo(uniName, 640, 480) != -1;
}

bool LiveMediaEndpoint::IsPublishPause(const char* uniName) {
    EP_LOG("LiveMediaEndpoint::IsPublishPause");
    return m_lpMediaTapr && !m_lpMediaTapr->IsVideoEncoding(uniName);
}

bool LiveMediaEndpoint::PublishAudioStream(const char* url, const char* uniName, bool recordMode) {
    std::string u = Str(url), n = Str(uniName);
    return CallOn<bool>(&LiveMediaEndpoint::m_publishThread,
                        [this, u, n, recordMode] { return SlotPublishStream(u, n, true, recordMode); }, false);
}

bool LiveMediaEndpoint::PublishVideoStream(const char* url, const char* uniName, bool recordMode) {
    std::string u = Str(url), n = Str(uniName);
    return CallOn<bool>(&LiveMediaEndpoint::m_publishThread,
                        [this, u, n, recordMode] { return SlotPublishStream(u, n, false, recordMode); }, false);
}

bool LiveMediaEndpoint::PublishApplicationStream(const char* url, const char* uniName, bool recordMode) {
    return PublishVideoStream(url, uniName, recordMode);
}

bool LiveMediaEndpoint::PublishPictureStream(const char* url, const char* uniName, bool recordMode) {
    return PublishVideoStream(url, uniName, recordMode);
}

bool LiveMediaEndpoint::PublishMixStream(const char* url, const char* videoUniName, const char* audioUniName,
                                         int publishMode) {
    m_aacHeader.MarkPending();
    std::string u = Str(url), v = Str(videoUniName), a = Str(audioUniName);
    return CallOn<bool>(&LiveMediaEndpoint::m_publishThread,
                        [this, u, v, a, publishMode] { return SlotPublishMixStream(u, v, a, publishMode); },
                        false);
}

void LiveMediaEndpoint::StopPublish(const char* url) {
    std::string u = Str(url);
    PostTo(&LiveMediaEndpoint::m_publishThread, [this, u] { SlotStopPublish(u); });
}

bool LiveMediaEndpoint::ForceKeyFrame(const char* url) {
    if (!m_publishAffinity.IsOnBoundThread()) {
        std::string u = Str(url);
        return CallOn<bool>(&LiveMediaEndpoint::m_publishThread, [this, u] { return ForceKeyFrame(u.c_str()); },
                            false);
    }
    auto it = m_publishStreams.find(Str(url));
    if (it == m_publishStreams.end() || it->second == nullptr || m_lpMediaTapr == nullptr) return false;
    std::string video = it->second->GetVideoUniName(), audio = it->second->GetAudioUniName();
    EP_LOG("LiveMediaEndpoint::ForceKeyFrame %s %s", video.c_str(), audio.c_str());
    return m_lpMediaTapr->ForceKeyFrame(video.c_str()) == 0;
}

bool LiveMediaEndpoint::SlotPublishStream(std::string url, std::string uniName, bool audioOnly, bool recordMode) {
    if (m_publishStreams.count(url)) return true;
    if (m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return false;
    if (!audioOnly) {
        m_lpMediaTapr->PrepareVideoPublish(uniName.c_str());
        if (!m_lpMediaTapr->IsVideoEncoding(uniName.c_str()) &&
            m_lpMediaTapr->StartEncodeVideo(uniName.c_str(), 640, 480) != 0) {
            EP_LOG("StartEncodeVideo false %s", uniName.c_str());
            return false;
        }
    }
    PublishStreamInfo* info = new PublishStreamInfo(url);
    poco_assert_msg(info != nullptr, "lpInfo");
    m_publishStreams[url] = info;
    if (audioOnly)
        info->audioUniName = uniName;
    else
        info->videoUniName = uniName;
    info->streamId = m_lpRtmpMgr->GetPublishId();
    m_lpRtmpMgr->OpenPublishUrl(info->streamId, url.c_str(), recordMode ? 1 : 0);
    return true;
}

bool LiveMediaEndpoint::SlotPublishMixStream(std::string url, std::string videoUniName, std::string audioUniName,
                                             int publishMode) {
    if (m_publishStreams.count(url)) return true;
    if (m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return false;
    m_lpMediaTapr->PrepareVideoPublish(videoUniName.c_str());
    if (!m_lpMediaTapr->IsVideoEncoding(videoUniName.c_str()) &&
        m_lpMediaTapr->StartEncodeVideo(videoUniName.c_str(), 640, 480) != 0) {
        EP_LOG("StartEncodeVideo false %s", videoUniName.c_str());
        return false;
    }
    if (audioUniName == kMixerUniName) StartEncodeMixer(audioUniName.c_str(), 96, 16000, 1);
    PublishStreamInfo* info = new PublishStreamInfo(url);
    poco_assert_msg(info != nullptr, "lpInfo");
    m_publishStreams[url] = info;
    info->audioUniName = audioUniName;
    info->videoUniName = videoUniName;
    info->streamId = m_lpRtmpMgr->GetPublishId();
    m_lpRtmpMgr->OpenPublishUrl(info->streamId, url.c_str(), publishMode);
    EP_LOG("SlotPublishMixStream video:%s audio.%s", videoUniName.c_str(), audioUniName.c_str());
    return true;
}

bool LiveMediaEndpoint::SlotStopPublish(std::string url) {
    auto it = m_publishStreams.find(url);
    if (it == m_publishStreams.end() || m_lpRtmpMgr == nullptr) return false;
    if (it->second) {
        m_lpRtmpMgr->ClosePublish(it->second->streamId);
        m_bitrate.RemoveStream(url);
        delete it->second;
    }
    m_publishStreams.erase(it);
    return true;
}

int LiveMediaEndpoint::PostEngineFrame(IOBufferPtr frame, FrameError error, const char* what) {
    if (!frame) {
        // Per-frame path: log only every 100th refused frame.
        unsigned n = ++m_refusedFrames;
        if (n % 100 == 1)
            EP_LOG("%s frame refused (%s), %u so far", what,
                   error == FrameError::kBadName ? "uniName missing or longer than 127 characters"
                   : error == FrameError::kBadData ? "bad data" : "no memory",
                   n);
        return 0;
    }
    PostTo(&LiveMediaEndpoint::m_publishThread, [this, frame] { SlotOnPublishData(frame); });
    return 0;
}

int LiveMediaEndpoint::OnRtpVideoData(const char* uniName, const unsigned char* data, int len, bool keyFrame,
                                      unsigned int timestamp) {
    FrameError error = FrameError::kNone;
    IOBufferPtr frame = BuildVideoFrame(uniName, data, len, keyFrame, timestamp, &error);
    return PostEngineFrame(std::move(frame), error, "OnRtpVideoData");
}

int LiveMediaEndpoint::OnMixerAudioData(const char* uniName, const unsigned char* data, int len,
                                        unsigned int timestamp) {
    FrameError error = FrameError::kNone;
    IOBufferPtr frame = BuildAudioFrame(uniName, data, len, 16000, 1, 1, timestamp, &error);
    return PostEngineFrame(std::move(frame), error, "OnMixerAudioData");
}

int LiveMediaEndpoint::OnAudioData(const char* uniName, int sampleRate, int channels, const void* data, int len,
                                   int third, unsigned int timestamp) {
    FrameError error = FrameError::kNone;
    IOBufferPtr frame = BuildAudioFrame(uniName, static_cast<const unsigned char*>(data), len, sampleRate,
                                        channels, third, timestamp, &error);
    return PostEngineFrame(std::move(frame), error, "OnAudioData");
}

int LiveMediaEndpoint::OnMixerAudioHeaderData(const char*, char* header, int len) {
    if (!m_aacHeader.Set(header, len))
        EP_LOG("OnMixerAudioHeaderData header of %d bytes ignored (at most %d)", len,
               static_cast<int>(AacHeaderStore::kCapacity));
    return 0;
}

int LiveMediaEndpoint::OnSendVideoPacketCount(const char*) { return 0; }
int LiveMediaEndpoint::OnAudioData(int, int, const unsigned char*, int, int, unsigned int) { return 0; }

int LiveMediaEndpoint::SlotOnSendVideoPacketCount(std::string uniName) {
    std::vector<uint32_t> ids = GetRtmpurlByUniname(uniName);
    if (ids.empty() || m_lpRtmpMgr == nullptr) return 0;
    return m_lpRtmpMgr->OnSendVideoPacketCount(static_cast<int>(ids.front()));
}

std::vector<uint32_t> LiveMediaEndpoint::GetRtmpurlByUniname(const std::string& uniName) const {
    std::vector<uint32_t> ids;
    for (const auto& entry : m_publishStreams) {
        const PublishStreamInfo* info = entry.second;
        if (info && (info->videoUniName == uniName || info->audioUniName == uniName))
            ids.push_back(static_cast<uint32_t>(info->streamId));
    }
    return ids;
}

void LiveMediaEndpoint::SlotOnPublishData(IOBufferPtr frame) {
    std::vector<uint32_t> ids = GetRtmpurlByUniname(MediaFrameView(*frame).UniName());
    PostTo(&LiveMediaEndpoint::m_publishDataThread,
           [this, frame, ids] { SlotPublishData(frame, ids); });
}

void LiveMediaEndpoint::SlotPublishData(IOBufferPtr frame, std::vector<uint32_t> ids) {
    if (m_lpRtmpMgr) {
        MediaFrameView view(*frame);
        unsigned char header[AacHeaderStore::kCapacity];
        unsigned generation = 0;
        const int headerLen = view.IsAudio() ? m_aacHeader.GetWithGeneration(header, &generation) : 0;
        for (uint32_t id : ids) {
            int sid = static_cast<int>(id);
            if (view.IsAudio()) {
                // Each publication gets the mixer's header before its first AAC frame, and again
                // after it changed or a new mixed publication began.
                auto given = m_aacHeaderGiven.find(id);
                if (headerLen > 0 && (given == m_aacHeaderGiven.end() || given->second != generation)) {
                    m_lpRtmpMgr->SetAACExtraData(sid, header, headerLen);
                    m_aacHeaderGiven[id] = generation;
                }
                m_lpRtmpMgr->PublishAudioRtmpData(sid, 1, view.MutableData(), view.Length(), view.Timestamp());
            } else {
                int len = view.Length() - kVideoHeaderSize;
                if (len < 0) continue;  // shorter than its header: nothing to send
                m_lpRtmpMgr->PublishVideoRtmpData(sid, view.MutableData() + kVideoHeaderSize, len,
                                                  view.Timestamp(), view.KeyFrame());
            }
        }
    }
    PostTo(&LiveMediaEndpoint::m_recordThread, [this, frame] { SlotRecordData(frame); });
}

// ---------------------------------------------------------------------------------------
// Playing

bool LiveMediaEndpoint::PlayStream(const char* url, void* window) {
    std::string u = Str(url);
    return CallOn<bool>(&LiveMediaEndpoint::m_playThread, [this, u, window] { return SlotPlayStream(u, window); },
                        false);
}

void LiveMediaEndpoint::StopPlay(const char* url) {
    std::string u = Str(url);
    PostTo(&LiveMediaEndpoint::m_playThread, [this, u] { SlotStopPlay(u); });
}

bool LiveMediaEndpoint::ChangeRemoteVideoWindows(const char* url, void* window) {
    if (m_lpMediaTapr == nullptr || m_lpRtmpMgr == nullptr) return false;
    std::string u = Str(url);
    return CallOn<bool>(&LiveMediaEndpoint::m_playThread,
                        [this, u, window] { return SlotChangeRemoteVideoWindows(u, window); }, false);
}

bool LiveMediaEndpoint::SlotPlayStream(std::string url, void* window) {
    if (m_playStreams.count(url)) return true;
    if (m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return false;
    PlayStreamInfo* info = new PlayStreamInfo(url);
    poco_assert_msg(info != nullptr, "lpInfo");
    m_playStreams[url] = info;
    int playId = m_lpRtmpMgr->GetPlayId();
    uint64_t audioId = ~0ull;
    m_lpMediaTapr->CreateRemoteAudio(&audioId);
    uint64_t videoId = ~0ull;
    m_lpMediaTapr->CreateRemoteVideo(&videoId, ToHwnd(window));
    info->streamId = playId;
    info->audioRemoteId = audioId;
    info->videoRemoteId = videoId;
    m_lpRtmpMgr->OpenPlayUrl(playId, videoId, audioId, url.c_str());
    return true;
}

void LiveMediaEndpoint::SlotStopPlay(std::string url) {
    auto it = m_playStreams.find(url);
    if (it == m_playStreams.end() || m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return;
    EP_LOG("stop play enter!");
    if (PlayStreamInfo* info = it->second) {
        // Once ClosePlay returns the player is gone and no new frame of it can be looked up,
        // but frames looked up earlier may still wait on the play data thread. Letting that
        // queue run dry first means the engine never gets data for a channel it has closed.
        m_lpRtmpMgr->ClosePlay(info->streamId);
        WaitForPlayDataQueue();
        m_lpMediaTapr->CloseRemoteAudio(info->audioRemoteId);
        m_lpMediaTapr->CloseRemoteVideo(info->videoRemoteId);
        delete info;
    }
    m_playStreams.erase(it);
    EP_LOG("stop play leave!");
}

void LiveMediaEndpoint::WaitForPlayDataQueue() {
    // A synchronous call would not do: sends are served ahead of the queue. Instead a marker
    // goes through the queue, and its last copy releases the wait, whether the play data
    // thread runs it or drops it while quitting.
    struct Marker {
        std::promise<void> passed;
        ~Marker() { passed.set_value(); }
    };
    auto marker = std::make_shared<Marker>();
    std::future<void> passed = marker->passed.get_future();
    if (!PostTo(&LiveMediaEndpoint::m_playDataThread, [marker]() mutable { marker.reset(); })) return;
    marker.reset();
    passed.wait();
}

bool LiveMediaEndpoint::SlotChangeRemoteVideoWindows(std::string url, void* window) {
    auto it = m_playStreams.find(url);
    if (it == m_playStreams.end() || it->second == nullptr || m_lpMediaTapr == nullptr) return false;
    return m_lpMediaTapr->ChangeRemoteVideoWindow(it->second->videoRemoteId, ToHwnd(window)) == 0;
}

void LiveMediaEndpoint::PostPlayFrame(int playId, const unsigned char* data, int len, bool audio, bool keyFrame) {
    if (len < 0 || (data == nullptr && len > 0)) return;
    // The network can deliver faster than a busy engine takes frames; past the limit new
    // frames are dropped instead of piling up without bound.
    const int64_t size = static_cast<int64_t>(len) + kPlayFrameExtra;
    if (m_playBytesQueued.fetch_add(size) + size > kPlayQueueLimit) {
        m_playBytesQueued -= size;
        unsigned n = ++m_droppedPlayFrames;
        if (n % 100 == 1)
            EP_LOG("play frame of %d bytes dropped (the engine is %lld bytes behind), %u so far", len,
                   static_cast<long long>(m_playBytesQueued.load()), n);
        return;
    }
    // The count goes down again when the last copy of the frame is gone, delivered or not.
    IOBufferPtr frame(new IOBuffer, [this, size](IOBuffer* b) {
        delete b;
        m_playBytesQueued -= size;
    });
    if (!frame->Initialize(static_cast<unsigned>(size))) return;
    frame->SetLength(static_cast<unsigned>(size));
    unsigned char* p = frame->GetPointer();
    std::memcpy(p + kPlayIdOffset, &playId, sizeof playId);
    std::memcpy(p + kPlayLengthOffset, &len, sizeof len);
    p[kPlayKindOffset] = audio ? 1 : 0;
    p[kPlayKeyOffset] = keyFrame ? 1 : 0;
    if (len > 0) std::memcpy(p + kPlayDataOffset, data, static_cast<std::size_t>(len));
    PostTo(&LiveMediaEndpoint::m_playThread, [this, frame] { SlotOnPlayData(frame); });
}

bool LiveMediaEndpoint::OnPlayVideoData(int id, unsigned long long, unsigned char* data, int len, bool keyFrame) {
    return OnPlayVideoData(id, data, len, keyFrame);
}

bool LiveMediaEndpoint::OnPlayAudioData(int id, unsigned long long, unsigned char* data, int len) {
    return OnPlayAudioData(id, data, len);
}

bool LiveMediaEndpoint::OnPlayVideoData(int playId, unsigned char* data, int len, bool keyFrame) {
    PostPlayFrame(playId, data, len, false, keyFrame);
    return true;
}

bool LiveMediaEndpoint::OnPlayAudioData(int playId, unsigned char* data, int len) {
    PostPlayFrame(playId, data, len, true, false);
    return true;
}

bool LiveMediaEndpoint::GetAvRemoteIdByPlayId(int playId, uint64_t& audioId, uint64_t& videoId) const {
    for (const auto& entry : m_playStreams) {
        if (entry.second && entry.second->streamId == playId) {
            audioId = entry.second->audioRemoteId;
            videoId = entry.second->videoRemoteId;
            return true;
        }
    }
    return false;
}

void LiveMediaEndpoint::SlotOnPlayData(IOBufferPtr frame) {
    uint64_t audioId = 0, videoId = 0;
    if (!GetAvRemoteIdByPlayId(ReadInt(frame->GetPointer(), kPlayIdOffset), audioId, videoId)) return;
    PostTo(&LiveMediaEndpoint::m_playDataThread,
           [this, frame, audioId, videoId] { SlotPlayData(frame, audioId, videoId); });
}

void LiveMediaEndpoint::SlotPlayData(IOBufferPtr frame, uint64_t audioId, uint64_t videoId) {
    if (m_lpMediaTapr == nullptr) return;
    const unsigned char* p = frame->GetPointer();
    int len = ReadInt(p, kPlayLengthOffset);
    if (p[kPlayKindOffset] == 1)
        m_lpMediaTapr->PlayRemoteAudioData(audioId, p + kPlayDataOffset, len);
    else
        m_lpMediaTapr->PlayRemoteVideoData(videoId, p + kPlayDataOffset, len);
}

// ---------------------------------------------------------------------------------------
// Recording

int LiveMediaEndpoint::StartRecord(const char* filePath, const char* videoUniName, const char* audioUniName,
                                   bool flag) {
    if (m_lpMediaTapr == nullptr) return -1;
    {
        // After UnInitialize there is no recording thread to register with.
        std::shared_lock<std::shared_mutex> lock(m_threadsLock);
        if (m_recordThread == nullptr) return -1;
    }
    IRecord* recorder = CreateRecord();
    poco_assert_msg(recorder != nullptr, "lpRecord != NULL");
    std::string path = Str(filePath), video = Str(videoUniName), audio = Str(audioUniName);
    int a = m_lpMediaTapr->GetVideoParamA(video.c_str());
    int b = m_lpMediaTapr->GetVideoParamB(video.c_str());
    // The tracks follow the names: a named audio source is always recorded, an empty name
    // gives a video-only file. flag is kept with the recording and chooses no track.
    const bool withAudio = !audio.empty();
    if (!recorder->Open(path, 2, a, b, 10, 16, 16000, 1, 10, withAudio)) {
        DestroyRecord(recorder);
        return -1;
    }
    bool ran = false;
    int id = CallOn<int>(&LiveMediaEndpoint::m_recordThread,
                         [this, recorder, path, video, audio, flag, &ran] {
                             ran = true;
                             return SlotStartRecord(recorder, path, video, audio, flag);
                         },
                         -1);
    if (!ran) {
        // The recording thread went away before it could take the recorder.
        recorder->Close();
        DestroyRecord(recorder);
        return -1;
    }
    return id;
}

bool LiveMediaEndpoint::StopRecord(int recordId) {
    return CallOn<bool>(&LiveMediaEndpoint::m_recordThread, [this, recordId] { return SlotStopRecord(recordId); },
                        false);
}

int LiveMediaEndpoint::SlotStartRecord(IRecord* recorder, std::string filePath, std::string videoUniName,
                                       std::string audioUniName, bool flag) {
    RecordInfo* info = new RecordInfo(recorder, filePath, flag ? 1 : 0);
    poco_assert_msg(info != nullptr, "lpRecordInfo");
    info->audioUniName = audioUniName;
    info->videoUniName = videoUniName;
    // After the counter wraps, an id can still be in use by a long recording: skip it.
    for (int tries = 0; m_records.count(info->Id()) && tries < 65536; ++tries) info->TakeNextId();
    m_records[info->Id()] = info;
    poco_assert_msg(m_lpMediaTapr != nullptr, "m_lpMediaTapr != NULL");
    if (audioUniName == kMixerUniName) StartEncodeMixer(audioUniName.c_str(), 96, 16000, 1);
    m_lpMediaTapr->ForceKeyFrame(videoUniName.c_str());
    return info->Id();
}

bool LiveMediaEndpoint::SlotStopRecord(int recordId) {
    auto it = m_records.find(recordId);
    if (it == m_records.end()) return true;
    RecordInfo* info = it->second;
    m_records.erase(it);
    if (info) {
        info->CloseRecorder();
        delete info;
    }
    return true;
}

std::vector<int> LiveMediaEndpoint::GetRecordIdByUniname(const std::string& uniName) const {
    std::vector<int> ids;
    for (const auto& entry : m_records) {
        const RecordInfo* info = entry.second;
        if (info && (info->audioUniName == uniName || info->videoUniName == uniName)) ids.push_back(entry.first);
    }
    return ids;
}

void LiveMediaEndpoint::SlotRecordData(IOBufferPtr frame) {
    if (m_records.empty()) return;
    MediaFrameView view(*frame);
    for (int id : GetRecordIdByUniname(view.UniName())) {
        RecordInfo* info = m_records[id];
        IRecord* recorder = info ? info->Recorder() : nullptr;
        if (recorder == nullptr) continue;
        if (view.IsAudio()) {
            unsigned char header[AacHeaderStore::kCapacity];
            int headerLen = m_aacHeader.Get(header);
            if (headerLen > 0) recorder->SetAudioHeader(header, headerLen);
            recorder->WriteAudio(2, view.Timestamp(), view.Data(), view.Length());
        } else {
            int len = view.Length() - kVideoHeaderSize;
            if (len < 0) continue;
            recorder->WriteVideo(view.Timestamp(), view.Data() + kVideoHeaderSize, len,
                                 view.KeyFrame());
        }
    }
}

// ---------------------------------------------------------------------------------------
// Factory

namespace {
std::mutex g_endpointLock;
LiveMediaEndpoint* g_endpoint = nullptr;
}  // namespace

}  // namespace streamcore

extern "C" IStreamCore* CreateStreamCore() {
    std::lock_guard<std::mutex> lock(streamcore::g_endpointLock);
    if (streamcore::g_endpoint == nullptr) streamcore::g_endpoint = new streamcore::LiveMediaEndpoint();
    return streamcore::g_endpoint;
}

extern "C" void DestroyStreamCore(IStreamCore* p) {
    std::lock_guard<std::mutex> lock(streamcore::g_endpointLock);
    if (streamcore::g_endpoint == nullptr || p == nullptr) return;
    mtp::MessageHandler* handler = streamcore::g_endpoint;
    streamcore::g_endpoint = nullptr;
    delete handler;
}
