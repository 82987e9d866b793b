// LiveMediaEndpoint: events (records queued from any thread, delivered to the sink on the
// "onevent" thread) and the log set-up.
#include "EndpointInternal.h"

#include "EventRecord.h"

#include "common/util.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <cstdio>

namespace streamcore {

using Orvane::Common::IOBuffer;
using Orvane::Common::ovGetTickCount;

void SetUpLogging(bool enableLog) {
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
}

EventNotification::EventNotification(const char* data, int len) {
    unsigned size = len > 0 ? static_cast<unsigned>(len) : 0u;
    m_buffer.Initialize(size);
    m_buffer.ReadFromBuffer(reinterpret_cast<const unsigned char*>(data), size);
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

void LiveMediaEndpoint::PostResultEvent(int eventId, int value, const std::string& name, const std::string& detail) {
    std::vector<unsigned char> rec = BuildEventRecord(eventId, value, name, detail);
    if (rec.empty()) return;
    PostEvent(reinterpret_cast<const char*>(rec.data()), static_cast<int>(rec.size()));
}

bool LiveMediaEndpoint::OnPublishEvent(int id, std::string name, RTMP_RESULT result, char*, int) {
    PostResultEvent(EVENT_PUBLISH_RESULT, result == RTMP_PUBLISH_CONNECTED ? 0 : -1, name, m_publishUrls.Find(id));
    return true;
}

void LiveMediaEndpoint::OnPublishLink(int, const std::string& url, const RtmpLinkReport& report) {
    PostTo(&LiveMediaEndpoint::m_publishThread, [this, url, report] { SlotPublishLink(url, report); });
}

bool LiveMediaEndpoint::OnPlayEvent(int id, std::string name, RTMP_RESULT result, char*, int) {
    PostResultEvent(EVENT_PLAY_RESULT, result == RTMP_PLAY_CONNECTED ? 0 : -1, name, m_playUrls.Find(id));
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
    // Events a host hears of only through the sinks it registered for them.
    if (rec.eventId == EVENT_BITRATE) {
        if (IStreamCoreBitrateSink* bitrateSink = m_lpBitrateSink.load(std::memory_order_acquire))
            bitrateSink->OnBitrateChanged(rec.value, rec.text.c_str());
        return 0;
    }
    if (StreamCoreSink* sink = m_lpSink.load(std::memory_order_acquire)) {
        if (rec.eventId == EVENT_PUBLISH_RESULT)
            sink->OnPublishResult(rec.value, rec.text.c_str());
        else if (rec.eventId == EVENT_PLAY_RESULT)
            sink->OnPlayResult(rec.value, rec.text.c_str());
        else if (!EventHasDetail(rec.eventId))
            sink->OnStreamCoreEvent(rec.eventId, rec.value);
    }
    if (EventHasDetail(rec.eventId)) {
        IStreamCoreDetailSink* detailSink = m_lpDetailSink.load(std::memory_order_acquire);
        // Results name their stream by URL; the other events name their subject in the text.
        const bool result = rec.eventId == EVENT_PUBLISH_RESULT || rec.eventId == EVENT_PLAY_RESULT;
        if (detailSink)
            detailSink->OnStreamCoreDetail(rec.eventId, rec.value, (result ? rec.detail : rec.text).c_str(),
                                           result ? "" : rec.detail.c_str());
    }
    return 0;
}

}  // namespace streamcore
