// LiveMediaEndpoint: construction, Initialize, UnInitialize, the sink and the factory.
// The other concerns of the class live in Endpoint*.cpp beside this file.
#include "EndpointInternal.h"

#include "EventRecord.h"

#include <Poco/Bugcheck.h>

#include <unistd.h>

#include <cstring>
#include <limits.h>

namespace streamcore {

namespace {

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

// ---------------------------------------------------------------------------------------
// Construction, Initialize, UnInitialize

LiveMediaEndpoint::LiveMediaEndpoint() : m_eventPool(2, 16, 60), m_bound(Poco::Event::EVENT_MANUALRESET) {
    ChangeToExecutableFolder();
    m_publishThread = worker::StartThread("publish");
    m_playThread = worker::StartThread("play");
    m_publishDataThread = worker::StartThread("publishdata");
    m_playDataThread = worker::StartThread("playdata");
    m_recordThread = worker::StartThread("record");
    m_publishOwner = m_publishThread;
    m_publishDataOwner = m_publishDataThread;
    m_playOwner = m_playThread;
    m_playDataOwner = m_playDataThread;
    m_recordOwner = m_recordThread;
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
    SetUpLogging(enableLog);
    EP_LOG("Initialize!");
    // A collaborator that cannot be created fails the whole set-up: what was made before it
    // is destroyed again, so that nothing half-made answers later calls and a later
    // Initialize repeats everything.
    try {
        m_lpRtmpMgr = CreateRtmpMgr(this);
        if (m_lpRtmpMgr == nullptr) Poco::Bugcheck::assertion("m_lpRtmpMgr != NULL", __FILE__, __LINE__);
        // The bitrate control follows the publishers' links whether or not the host listens.
        m_lpRtmpMgr->SetLinkSink(this);
        m_lpMediaTapr = CreateMediaTap(this, MEDIATAP_SINK_CAPTURE_TIMES | MEDIATAP_SINK_SOURCE_ENDED);
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
        Orvane::Common::ReadLock lock(m_threadsLock);
        if (m_publishThread) worker::ClearHandler(m_publishThread, &m_invoker, 0);
    }
    // Take the workers away first, so nothing can be posted to them any more, then stop them
    // while the collaborators they call still exist: a worker never calls into a destroyed
    // engine or RTMP manager, and a callback of either finds no worker and drops its frame.
    mtp::Thread* threads[5];
    {
        Orvane::Common::WriteLock lock(m_threadsLock);
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

void LiveMediaEndpoint::SetBitrateSink(IStreamCoreBitrateSink* sink) {
    EP_LOG("SetBitrateSink(%s)", sink ? "on" : "off");
    m_lpBitrateSink.store(sink, std::memory_order_release);
}

void LiveMediaEndpoint::SetDetailSink(IStreamCoreDetailSink* sink) {
    EP_LOG("SetDetailSink(%s)", sink ? "on" : "off");
    m_lpDetailSink.store(sink, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------
// Factory

namespace {
Orvane::Common::Mutex g_endpointLock;
LiveMediaEndpoint* g_endpoint OV_GUARDED_BY(g_endpointLock) = nullptr;
}  // namespace

}  // namespace streamcore

extern "C" IStreamCore* CreateStreamCore() {
    Orvane::Common::MutexLock lock(streamcore::g_endpointLock);
    if (streamcore::g_endpoint == nullptr) streamcore::g_endpoint = new streamcore::LiveMediaEndpoint();
    return streamcore::g_endpoint;
}

extern "C" void DestroyStreamCore(IStreamCore* p) {
    Orvane::Common::MutexLock lock(streamcore::g_endpointLock);
    if (streamcore::g_endpoint == nullptr || p == nullptr) return;
    mtp::MessageHandler* handler = streamcore::g_endpoint;
    streamcore::g_endpoint = nullptr;
    delete handler;
}
