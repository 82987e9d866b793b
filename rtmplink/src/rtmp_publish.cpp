#include "rtmp_publish.h"

#include "flv_tags.h"
#include "rtmp_mgr.h"
#include "rtmp_session.h"

#include "common/slogger.h"
#include "common/util.h"

#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <algorithm>

using Orvane::Common::ovMonotonicUs;

RtmpPublish::RtmpPublish(CRtmpMgr* lpRtmpMgr)
    : RtmpPublish(lpRtmpMgr, std::unique_ptr<rtmplink::IRtmpConnection>(new rtmplink::LibRtmpConnection)) {}

RtmpPublish::RtmpPublish(CRtmpMgr* lpRtmpMgr, std::unique_ptr<rtmplink::IRtmpConnection> connection)
    : m_lpRtmpMgr(lpRtmpMgr), m_conn(std::move(connection)) {
    OV_LOG("RtmpPublish::RtmpPublish");
    poco_assert(m_lpRtmpMgr);
    poco_check_ptr(m_conn.get());
    // A write that waits for the server still lets the link be measured and reported.
    m_conn->SetWaitHook([this] { MeasureLink(); });
}

RtmpPublish::~RtmpPublish() {
    if (!m_bClosed) Close();
}

bool RtmpPublish::OpenUrl(int id, bool hasAudio, std::string uniName, const char* url, IRtmpMgrSink* lpRtmpMgrSink,
                          int publishMode) {
    poco_assert(lpRtmpMgrSink);
    m_nId = id;
    m_bHasAudio = hasAudio;
    m_strUniName = uniName;
    m_strUrl = url ? url : "";
    m_lpSink = lpRtmpMgrSink;
    m_nPublishMode = publishMode;
    const size_t slash = m_strUrl.rfind('/');
    m_strStreamName = slash == std::string::npos ? m_strUrl : m_strUrl.substr(slash + 1);
    m_bClosed = false;
    OV_LOG("Create Rtmp Publish Steam(%s)..", m_strStreamName.c_str());
    // The send thread inherits the signal mask of its creator: start it with SIGPIPE blocked
    // so that it is blocked from the thread's first instruction.
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    m_thread.start(0, this, 0);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void RtmpPublish::Report(RTMP_RESULT result) {
    if (m_bClosed || !m_lpSink) return;
    m_lpSink->OnPublishEvent(m_nId, m_strStreamName, result, nullptr, 0);
}

bool RtmpPublish::run(unsigned, unsigned) {
    if (m_bClosed) return true;
    try {
        // Closing: send what is queued while the connection stands, never reconnect.
        if (m_bClosing && DrainDone()) {
            m_drainedEvent.set();
            m_frameEvent.tryWait(kIdleWaitMs);
            return true;
        }
        // librtmp closes the socket after a write error: start over with a fresh connection.
        if (m_conn->Exists() && !m_conn->IsOpen()) {
            m_bConnected = false;
            DeleteAllRTMPPacketList();
            m_conn->Destroy();
        }
        if (!m_conn->Exists()) m_conn->Create(m_nPublishMode);
        if (!m_bConnected) {
            if (!Connect()) {
                m_closeEvent.tryWait(kConnectRetryPauseMs);
                if (m_bClosed) return true;
                Report(RTMP_PUBLISH_CONNECT_FAILED);
                OV_LOG("RtmpPublish rtmpConnectFail");
                return true;
            }
            Report(RTMP_PUBLISH_CONNECTED);
        }
        if (m_bPaused) {
            {
                Poco::Mutex::ScopedLock lock(m_queueLock);
                for (Message* message : m_queue) {
                    if (message->kind == Kind::kVideo) m_bNeedKeyAfterPause = true;
                }
                DeleteAllLocked();
            }
            m_frameEvent.tryWait(kIdleWaitMs);
            return true;
        }
        if (!Send()) m_frameEvent.tryWait(kIdleWaitMs);
        MeasureLink();
    } catch (...) {
        // A failure inside one pass ends the pass; the next pass starts over.
    }
    return true;
}

bool RtmpPublish::DrainDone() {
    if (!m_bConnected || !m_conn->Exists() || !m_conn->IsOpen() || m_bPaused) return true;
    Poco::Mutex::ScopedLock lock(m_queueLock);
    return m_queue.empty();
}

bool RtmpPublish::Connect() {
    const char* name = m_strStreamName.c_str();
    if (!m_conn->SetupURL(m_strUrl)) {
        OV_LOG("RTMP_SetupURL Fail(%s)!", name);
        return false;
    }
    OV_LOG("RTMP_SetupURL Success(%s)!", name);
    m_conn->EnableWrite();
    OV_LOG("Connect(%s)!", name);
    if (!m_conn->Connect()) {
        OV_LOG("RTMP_Connect Fail(%s)!", name);
        return false;
    }
    OV_LOG("RTMP_Connect Success(%s)!", name);
    if (!m_conn->ConnectStream()) {
        OV_LOG("RTMP_ConnectStream Fail(%s)!", name);
        m_conn->Close();
        return false;
    }
    OV_LOG("RTMP_ConnectStream Success(%s)!", name);
    {
        Poco::Mutex::ScopedLock lock(m_queueLock);
        DeleteAllLocked();
        m_bHaveBase = false;
        m_nBase = 0;
        m_bAwaitingVideoKey = true;
        m_nVideoPacketCount = 0;
        m_bNeedKeyAfterPause = false;
        m_sentSequenceHeader.clear();
        m_bAacHeaderSent = false;
        m_bAacHeaderQueued = false;
        m_nVideoDropped = 0;
        m_nDropQueueMs = 0;
    }
    m_meter.Reset();
    m_nAudioBytesSent = 0;
    // The flag tells about the connection that stands now.
    m_bSendFailed = false;
    m_bConnected = true;

    // Set Chunk Size 1024, at once.
    char buffer[RTMP_MAX_HEADER_SIZE + 4];
    RTMPPacket packet;
    memset(&packet, 0, sizeof(packet));
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_packetType = RTMP_PACKET_TYPE_CHUNK_SIZE;
    packet.m_nChannel = 0x02;
    packet.m_nTimeStamp = 0;
    packet.m_body = buffer + RTMP_MAX_HEADER_SIZE;
    packet.m_nBodySize = 4;
    const unsigned char size[4] = {0x00, 0x00, 0x04, 0x00};
    memcpy(packet.m_body, size, sizeof(size));
    m_conn->SendPacket(&packet, true);
    m_conn->SetOutChunkSize(kChunkSize);
    return true;
}

bool RtmpPublish::Send() {
    if (!m_bConnected) return false;
    Message* message;
    uint64_t flushes;
    {
        Poco::Mutex::ScopedLock lock(m_queueLock);
        if (m_queue.empty()) return false;
        message = PopFrontLocked();
        flushes = m_nFlushCount;
    }
    // Sent without the lock, so that frame submission never waits for the network.
    message->packet.m_nInfoField2 = m_conn->StreamId();
    const bool ok = m_conn->SendPacket(&message->packet, false);
    const int64_t sentUs = ovMonotonicUs();
    const bool video = message->kind == Kind::kVideo || message->kind == Kind::kSequenceHeader;
    Poco::Mutex::ScopedLock lock(m_queueLock);
    if (ok) {
        LogTrimmedLocked();
        if (video) --m_nVideoPacketCount;
        if (message->kind == Kind::kAudio) m_nAudioBytesSent += message->packet.m_nBodySize;
        if (message->kind == Kind::kSequenceHeader) m_sentSequenceHeader.swap(message->sequenceHeader);
        if (message->kind == Kind::kAacHeader) {
            m_bAacHeaderSent = true;
            m_bAacHeaderQueued = false;
        }
        if (m_pObserver) {
            m_pObserver->OnMessageSent(video, message->kind == Kind::kSequenceHeader || message->kind == Kind::kAacHeader,
                                       message->packet.m_nTimeStamp, message->submitUs, sentUs);
        }
        FreeMessage(message);
        return true;
    }
    const int err = m_conn->LastError();
    // The socket failed under the sender: it was gone already (the Linux forms of "not a
    // socket"), or this send ended the connection.
    if (err == ENOTSOCK || err == EBADF || !m_conn->IsOpen()) m_bSendFailed = true;
    OV_LOG("%s error = %d %d %d\r\n", m_strStreamName.c_str(), err, m_bSendFailed ? 1 : 0, m_conn->Socket());
    // A server that took nothing for the stall bound: the connection is over, and the host
    // hears of it now rather than after the next attempt.
    if (err == ETIMEDOUT && !m_bClosed && m_lpSink) m_lpSink->OnPublishEvent(m_nId, m_strStreamName, RTMP_PUBLISH_CONNECT_FAILED, nullptr, 0);
    if (video && flushes == m_nFlushCount) {
        m_queue.push_front(message);
        m_nQueuedBytes += message->packet.m_nBodySize;
    } else {
        if (message->kind == Kind::kAacHeader) m_bAacHeaderQueued = false;
        FreeMessage(message);
    }
    return false;
}

void RtmpPublish::MeasureLink() {
    const int64_t nowUs = ovMonotonicUs();
    if (!m_bConnected || !m_meter.Due(nowUs)) return;
    rtmplink::LinkSample sample;
    sample.nowUs = nowUs;
    sample.haveCounters = m_conn->ReadLinkCounters(&sample.bytesAcked, &sample.unsentBytes);
    sample.audioBytesSent = m_nAudioBytesSent;
    {
        Poco::Mutex::ScopedLock lock(m_queueLock);
        if (!m_queue.empty()) sample.queueMs = static_cast<int>((nowUs - m_queue.front()->submitUs) / 1000);
        sample.queueMs = std::max(sample.queueMs, m_nDropQueueMs);
        m_nDropQueueMs = 0;
        sample.videoDropped = m_nVideoDropped;
    }
    RtmpLinkReport report;
    if (!m_meter.Add(sample, &report) || m_bClosed) return;
    if (IRtmpLinkSink* sink = m_lpRtmpMgr->LinkSink()) sink->OnPublishLink(m_nId, m_strUrl, report);
}

void RtmpPublish::FreeMessage(Message* message) {
    RTMPPacket_Free(&message->packet);
    delete message;
}

bool RtmpPublish::QueueLocked(Kind kind, uint32_t timestamp, const std::vector<uint8_t>& body, int64_t submitUs) {
    std::unique_ptr<Message> message(new Message);
    memset(&message->packet, 0, sizeof(message->packet));
    if (!RTMPPacket_Alloc(&message->packet, static_cast<uint32_t>(body.size()))) return false;
    message->kind = kind;
    message->submitUs = submitUs;
    RTMPPacket& p = message->packet;
    p.m_headerType = RTMP_PACKET_SIZE_LARGE;
    p.m_packetType = (kind == Kind::kAudio || kind == Kind::kAacHeader) ? RTMP_PACKET_TYPE_AUDIO : RTMP_PACKET_TYPE_VIDEO;
    p.m_hasAbsTimestamp = 0;
    p.m_nChannel = 0x04;
    p.m_nTimeStamp = timestamp;
    p.m_nInfoField2 = 0;  // the stream id, set when it is sent
    p.m_nBodySize = static_cast<uint32_t>(body.size());
    memcpy(p.m_body, body.data(), body.size());
    if (kind == Kind::kSequenceHeader) message->sequenceHeader = body;
    m_queue.push_back(message.release());
    m_nQueuedBytes += body.size();
    return true;
}

RtmpPublish::Message* RtmpPublish::PopFrontLocked() {
    Message* message = m_queue.front();
    m_queue.pop_front();
    m_nQueuedBytes -= message->packet.m_nBodySize;
    return message;
}

std::list<RtmpPublish::Message*>::iterator RtmpPublish::EraseLocked(std::list<Message*>::iterator it) {
    Message* message = *it;
    m_nQueuedBytes -= message->packet.m_nBodySize;
    if (message->kind == Kind::kAacHeader) m_bAacHeaderQueued = false;
    FreeMessage(message);
    return m_queue.erase(it);
}

void RtmpPublish::TrimLocked(uint32_t newestTs) {
    auto dropAudio = [this](std::list<Message*>::iterator it) {
        if (m_nTrimmedAudio++ == 0) m_nTrimmedFirstTs = (*it)->packet.m_nTimeStamp;
        m_nTrimmedLastTs = (*it)->packet.m_nTimeStamp;
        return EraseLocked(it);
    };
    // Audio too old to matter any more (by media time, against the frame queued last), oldest
    // first: the queue is in submission order.
    auto tooOld = [&](const Message* m) {
        return static_cast<int32_t>(newestTs - m->packet.m_nTimeStamp) > static_cast<int32_t>(kMaxAudioAgeMs);
    };
    for (auto it = m_queue.begin(); it != m_queue.end() && tooOld(*it);) {
        it = (*it)->kind == Kind::kAudio ? dropAudio(it) : std::next(it);
    }
    if (m_nQueuedBytes <= kMaxQueueBytes) return;
    // Over the byte bound: the queued video goes (the next key frame starts it again), then the
    // oldest audio.
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if ((*it)->kind == Kind::kVideo || (*it)->kind == Kind::kSequenceHeader) {
            if ((*it)->kind == Kind::kVideo) ++m_nVideoDropped;
            it = EraseLocked(it);
        } else {
            ++it;
        }
    }
    m_nVideoPacketCount = 0;
    m_bNeedKeyAfterPause = true;
    ++m_nFlushCount;
    for (auto it = m_queue.begin(); it != m_queue.end() && m_nQueuedBytes > kMaxQueueBytes;) {
        it = (*it)->kind == Kind::kAudio ? dropAudio(it) : std::next(it);
    }
}

void RtmpPublish::LogTrimmedLocked() {
    if (m_nTrimmedAudio == 0) return;
    OV_LOG("RtmpPublish(%s) the link fell behind: %u audio frames (%d ms) dropped from the queue",
           m_strStreamName.c_str(), m_nTrimmedAudio, static_cast<int>(m_nTrimmedLastTs - m_nTrimmedFirstTs));
    m_nTrimmedAudio = 0;
}

void RtmpPublish::LogDropped(const char* what, int len) {
    if (m_nDropLogCount++ % 100 == 0) {
        OV_LOG("RtmpPublish(%s) frame dropped: %s (%d bytes, %u dropped)", m_strStreamName.c_str(), what, len,
               m_nDropLogCount);
    }
}

bool RtmpPublish::RelativeLocked(unsigned int timestamp, uint32_t* relative) {
    if (!m_bHaveBase) {
        m_bHaveBase = true;
        m_nBase = timestamp;
    }
    // Compared by the 32-bit difference, so the tick count's wrap does not matter.
    const int32_t delta = static_cast<int32_t>(timestamp - m_nBase);
    if (delta < 0) return false;
    *relative = static_cast<uint32_t>(delta);
    return true;
}

int RtmpPublish::PublishVideoRtmpData(unsigned char* data, int len, unsigned int timestamp, bool keyFrame) {
    if (!m_bConnected || m_bClosing) return 0;
    const int64_t submitUs = ovMonotonicUs();
    {
        Poco::Mutex::ScopedLock lock(m_queueLock);
        ++m_nVideoPacketCount;
        if (m_bPaused) {
            m_bNeedKeyAfterPause = true;
            return 0;
        }
        if (!data || len <= 0) {
            LogDropped("empty", len);
            return 0;
        }
        if (keyFrame) {
            rtmplink::KeyFrameParts parts;
            const rtmplink::KeyFrameError error = rtmplink::ParseKeyFrame(data, static_cast<size_t>(len), &parts);
            if (error != rtmplink::KeyFrameError::kNone) {
                LogDropped(rtmplink::KeyFrameErrorText(error), len);
                return 0;
            }
            uint32_t relative = 0;
            if (!RelativeLocked(timestamp, &relative)) {
                LogDropped("key frame older than the connection", len);
                return 0;
            }
            // The video still waiting is stale now. Audio stays: it is a small share of the
            // bitrate, and every frame of it is heard.
            if (!m_queue.empty()) {
                m_nDropQueueMs = std::max<int>(m_nDropQueueMs, static_cast<int>((submitUs - m_queue.front()->submitUs) / 1000));
            }
            for (auto it = m_queue.begin(); it != m_queue.end();) {
                if ((*it)->kind == Kind::kVideo || (*it)->kind == Kind::kSequenceHeader) {
                    if ((*it)->kind == Kind::kVideo) ++m_nVideoDropped;
                    it = EraseLocked(it);
                } else {
                    ++it;
                }
            }
            m_nVideoPacketCount = 0;
            ++m_nFlushCount;
            rtmplink::BuildSequenceHeader(parts.sps, parts.pps, &m_scratch);
            // Compared with what the server has, not with what was queued: a header that a key
            // frame dropped from the queue before it left goes again.
            if (m_bAwaitingVideoKey || m_scratch != m_sentSequenceHeader) {
                QueueLocked(Kind::kSequenceHeader, relative, m_scratch, submitUs);
            }
            m_bAwaitingVideoKey = false;
            m_bNeedKeyAfterPause = false;
            rtmplink::BuildPictureBody(true, parts.picture, &m_scratch);
            QueueLocked(Kind::kVideo, relative, m_scratch, submitUs);
            TrimLocked(relative);
        } else {
            // Inter frames need the key frame they refer to.
            if (m_bAwaitingVideoKey || m_bNeedKeyAfterPause) return 0;
            const std::vector<rtmplink::NalUnit> nals = rtmplink::SplitAnnexB(data, static_cast<size_t>(len));
            if (nals.empty()) {
                LogDropped("no start code", len);
                return 0;
            }
            uint32_t relative = 0;
            if (!RelativeLocked(timestamp, &relative)) {
                LogDropped("frame older than the connection", len);
                return 0;
            }
            rtmplink::BuildPictureBody(false, nals, &m_scratch);
            QueueLocked(Kind::kVideo, relative, m_scratch, submitUs);
            TrimLocked(relative);
        }
    }
    m_frameEvent.set();
    return 0;
}

int RtmpPublish::PublishAudioRtmpData(int audioType, unsigned char* data, int len, unsigned int timestamp) {
    if (!m_bConnected || m_bClosing) return 0;
    if (!data || len <= 0) return 0;
    const int64_t submitUs = ovMonotonicUs();
    {
        Poco::Mutex::ScopedLock lock(m_queueLock);
        if (m_bPaused) return 0;
        // Sound captured before the connection's zero (a video frame set it) is left out.
        uint32_t relative = 0;
        if (!RelativeLocked(timestamp, &relative)) return 0;
        // The decoder configuration goes before the first AAC frame the server gets on this
        // connection, also when a key frame dropped an earlier one from the queue.
        if (audioType == 1 && !m_bAacHeaderSent && !m_bAacHeaderQueued) {
            rtmplink::BuildAacSequenceHeader(m_aacConfig, &m_scratch);
            m_bAacHeaderQueued = QueueLocked(Kind::kAacHeader, relative, m_scratch, submitUs);
        }
        rtmplink::BuildAudioBody(audioType, data, static_cast<size_t>(len), &m_scratch);
        QueueLocked(Kind::kAudio, relative, m_scratch, submitUs);
        TrimLocked(relative);
    }
    m_frameEvent.set();
    return 0;
}

void RtmpPublish::SetAACExtraData(unsigned char* data, int len) {
    Poco::Mutex::ScopedLock lock(m_queueLock);
    if (len > kMaxAacConfig) {
        OV_LOG("RtmpPublish(%s) AAC configuration refused: %d bytes", m_strStreamName.c_str(), len);
        return;
    }
    std::vector<uint8_t> config;
    if (data && len > 0) config.assign(data, data + len);
    if (config != m_aacConfig) {
        m_aacConfig.swap(config);
        // A new configuration has to reach the server before the next AAC frame.
        m_bAacHeaderSent = false;
    }
}

void RtmpPublish::Pause() { m_bPaused = true; }

void RtmpPublish::Continue() { m_bPaused = false; }

int RtmpPublish::OnSendVideoPacketCount() {
    Poco::Mutex::ScopedLock lock(m_queueLock);
    return m_nVideoPacketCount;
}

size_t RtmpPublish::QueuedCount() {
    Poco::Mutex::ScopedLock lock(m_queueLock);
    return m_queue.size();
}

void RtmpPublish::SetSendObserver(rtmplink::ISendObserver* observer) {
    Poco::Mutex::ScopedLock lock(m_queueLock);
    m_pObserver = observer;
}

void RtmpPublish::DeleteAllLocked() {
    LogTrimmedLocked();
    for (Message* message : m_queue) {
        if (message->kind == Kind::kAacHeader) m_bAacHeaderQueued = false;
        FreeMessage(message);
    }
    m_queue.clear();
    m_nQueuedBytes = 0;
    m_nVideoPacketCount = 0;
    ++m_nFlushCount;
}

void RtmpPublish::DeleteAllRTMPPacketList() {
    Poco::Mutex::ScopedLock lock(m_queueLock);
    DeleteAllLocked();
}

void RtmpPublish::BeginClose() {
    if (m_bClosing) return;
    m_nDrainEndUs = ovMonotonicUs() + int64_t(kDrainMs) * 1000;
    m_bClosing = true;
    m_frameEvent.set();
}

void RtmpPublish::LogUnsentLocked(const char* why) {
    if (m_queue.empty()) return;
    size_t audio = 0, video = 0;
    for (const Message* message : m_queue) {
        if (message->kind == Kind::kAudio) ++audio;
        if (message->kind == Kind::kVideo) ++video;
    }
    const int spanMs = static_cast<int>(m_queue.back()->packet.m_nTimeStamp - m_queue.front()->packet.m_nTimeStamp);
    OV_LOG("RtmpPublish(%s) closed %s: %zu audio and %zu video frames (%d ms) not sent", m_strStreamName.c_str(),
           why, audio, video, spanMs);
}

void RtmpPublish::Close() {
    BeginClose();
    // Without a connection there is nothing to drain into: the close goes on at once.
    if (m_thread.isRunning() && m_bConnected) {
        const int64_t leftMs = (m_nDrainEndUs - ovMonotonicUs()) / 1000;
        if (leftMs > 0) m_drainedEvent.tryWait(static_cast<long>(leftMs));
    }
    const bool connected = m_bConnected;
    m_bClosed = true;
    m_frameEvent.set();
    m_closeEvent.set();
    if (m_thread.isRunning()) {
        // Not connected: the thread may wait on a server that never answers; end that now.
        if (!m_bConnected) m_conn->Abort();
        try {
            m_thread.stop(kGracefulStopMs);
        } catch (const Poco::TimeoutException&) {
            m_conn->Abort();
            // The connection object may be freed only once the thread has let go of it.
            for (;;) {
                try {
                    m_thread.stop();
                    break;
                } catch (const Poco::TimeoutException&) {
                    OV_LOG("RtmpPublish(%s) waiting for the send thread", m_strStreamName.c_str());
                }
            }
        }
    }
    {
        Poco::Mutex::ScopedLock lock(m_queueLock);
        LogUnsentLocked(connected ? "after the drain's time ran out" : "without a connection");
        DeleteAllLocked();
    }
    m_conn->Destroy();
    m_bConnected = false;
}
