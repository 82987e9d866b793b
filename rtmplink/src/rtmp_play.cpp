#include "rtmp_play.h"

#include "common/slogger.h"
#include "common/util.h"

#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>
#include <Poco/Net/Net.h>

#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <atomic>

namespace {

// Media logging is throttled process-wide: one line per kLogEvery messages of a kind.
std::atomic<unsigned> g_nAudioMessages{0};
std::atomic<unsigned> g_nVideoMessages{0};

unsigned Tick32() { return static_cast<unsigned>(Orvane::Common::ovGetTickCount()); }

}  // namespace

RtmpPlay::RtmpPlay(CRtmpMgr* lpRtmpMgr) : m_lpRtmpMgr(lpRtmpMgr) {
    poco_assert(m_lpRtmpMgr);
    OV_LOG("RtmpPlay::RtmpPlay enter");
    memset(&m_packet, 0, sizeof(m_packet));
    RTMPPacket_Reset(&m_packet);
    Poco::Net::initializeNetwork();
    OV_LOG("RtmpPlay::RtmpPlay end");
}

RtmpPlay::~RtmpPlay() {
    Close();
    // Wakes a receive or connect that is waiting on the server.
    m_conn.Abort();
    m_closeEvent.set();
    // The connection may be freed only once the receive thread has let go of it.
    for (;;) {
        try {
            m_thread.stopAll();
            break;
        } catch (const Poco::TimeoutException&) {
            OV_LOG("RtmpPlay(%s) waiting for the receive thread", m_strStreamName.c_str());
        }
    }
    RTMPPacket_Free(&m_packet);
    try {
        m_conn.Destroy();
    } catch (...) {
        OV_LOG("RtmpPlay(%s) RTMP_Close error!", m_strStreamName.c_str());
    }
    Poco::Net::uninitializeNetwork();
}

bool RtmpPlay::OpenUrl(int id, unsigned long long videoId, unsigned long long audioId, const char* url,
                       IRtmpMgrSink* lpRtmpMgrSink) {
    poco_assert(lpRtmpMgrSink);
    m_nId = id;
    m_nVideoId = videoId;
    m_nAudioId = audioId;
    m_lpSink = lpRtmpMgrSink;
    m_strUrl = url ? url : "";
    const size_t slash = m_strUrl.rfind('/');
    m_strStreamName = slash == std::string::npos ? m_strUrl : m_strUrl.substr(slash + 1);
    OV_LOG("OpenUrl enter %s", m_strStreamName.c_str());
    m_bStreamConnected = false;
    // The receive thread inherits the signal mask of its creator: SIGPIPE blocked from its
    // first instruction (librtmp writes with plain send()).
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const bool started = m_thread.start(1, kThreadId, this, Poco::Thread::PRIO_NORMAL);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    OV_LOG("OpenUrl end");
    return started;
}

void RtmpPlay::Close() {
    if (m_bClosed) return;
    OV_LOG("RtmpPlay::Close() %s enter time = %u", m_strStreamName.c_str(), Tick32());
    m_bClosed = true;
    m_closeEvent.set();
    OV_LOG("RtmpPlay::Close() %s leave time = %u", m_strStreamName.c_str(), Tick32());
}

bool RtmpPlay::run(unsigned id, unsigned index) {
    if (id == kThreadId) RecvRtmpServerThread(id, index);
    return false;
}

void RtmpPlay::RecvRtmpServerThread(unsigned id, unsigned index) {
    OV_LOG("RecvRtmpServerThread");
    rtmplink::BlockSigpipeOnThisThread();
    RTMPPacket_Reset(&m_packet);
    while (!m_thread.isThreadStop(id, index) && !m_bClosed && !m_conn.Aborted()) {
        try {
            if (!m_conn.IsOpen()) {
                m_bStreamConnected = false;
                RTMPPacket_Free(&m_packet);
                RTMPPacket_Reset(&m_packet);
                if (!Connect()) {
                    m_closeEvent.tryWait(kReconnectPauseMs);
                    continue;
                }
            }
            Recv();
        } catch (...) {
            OV_LOG("RtmpPlay(%s) Recv() error!", m_strStreamName.c_str());
        }
    }
    OV_LOG("RtmpPlay(%s) Run End! time = %u", m_strStreamName.c_str(), Tick32());
}

void RtmpPlay::Report(RTMP_RESULT result) {
    if (m_lpSink) m_lpSink->OnPlayEvent(m_nId, m_strStreamName, result, nullptr, 0);
}

bool RtmpPlay::Connect() {
    // A fresh connection object for every attempt: nothing of a failed one is carried over.
    m_conn.Create(rtmplink::kPlayMode);
    if (!m_conn.SetupURL(m_strUrl)) {
        OV_LOG("RTMP_SetupURL Fail!");
        Report(RTMP_PLAY_CONNECT_FAILED);
        return false;
    }
    OV_LOG("RTMP_SetupURL Success!");
    if (!m_conn.Connect()) {
        OV_LOG("RTMP_Connect Fail! %s", m_strStreamName.c_str());
        Report(RTMP_PLAY_CONNECT_FAILED);
        return false;
    }
    OV_LOG("RTMP_Connect Success! %s", m_strStreamName.c_str());
    Report(RTMP_PLAY_CONNECTED);
    if (!m_conn.ConnectStream()) {
        OV_LOG("RTMP_ConnectStream Fail!");
        m_conn.Close();
        return false;
    }
    OV_LOG("RTMP_ConnectStream Success!");
    m_bStreamConnected = true;
    return true;
}

void RtmpPlay::Recv() {
    if (!m_bStreamConnected || (!m_lpSink && !m_conn.Exists()) || !m_conn.IsOpen()) return;
    try {
        if (!m_conn.ReadPacket(&m_packet)) return;
        // Not complete yet: librtmp keeps the part read so far with its channel.
        if (!RTMPPacket_IsReady(&m_packet) || !m_packet.m_body) return;
        HandleMessage();
        RTMPPacket_Free(&m_packet);
    } catch (...) {
        RTMPPacket_Free(&m_packet);
        OV_LOG("RtmpPlay(%s) RTMP_ReadPacket Error!", m_strStreamName.c_str());
    }
}

void RtmpPlay::HandleMessage() {
    RTMP* r = m_conn.Raw();
    const uint8_t* body = reinterpret_cast<const uint8_t*>(m_packet.m_body);
    const uint32_t size = m_packet.m_nBodySize;
    const uint8_t type = m_packet.m_packetType;
    if (type == RTMP_PACKET_TYPE_AUDIO || type == RTMP_PACKET_TYPE_VIDEO) {
        if (m_lpSink) {
            if (type == RTMP_PACKET_TYPE_AUDIO) {
                if (g_nAudioMessages.fetch_add(1) % kLogEvery == 0) {
                    OV_LOG("---------------OnPlayAudioData size(%d)", static_cast<int>(size) - 1);
                }
                OnPlayAudioData(body, size);
            } else {
                if (g_nVideoMessages.fetch_add(1) % kLogEvery == 0) {
                    OV_LOG("###############OnPlayVideoData size(%d)", static_cast<int>(size));
                }
                OnPlayVideoData(body, size, m_packet.m_nTimeStamp);
            }
        }
        if (r->m_mediaChannel == 0) r->m_mediaChannel = m_packet.m_nChannel;
        if (!r->m_pausing) r->m_mediaStamp = m_packet.m_nTimeStamp;
        return;
    }
    const int ret = RTMP_ClientPacket(r, &m_packet);
    OV_LOG("###############OnPlayVideoData m_packetType(%d) ret(%d)", type, ret);
}

bool RtmpPlay::OnPlayVideoData(const uint8_t* body, uint32_t size, uint32_t timestamp) {
    if (!m_lpSink) return false;
    const rtmplink::PlayResult result = m_packetizer.Video(body, size, timestamp);
    if (result == rtmplink::PlayResult::kDelivered) {
        m_lpSink->OnPlayVideoData(m_nId, m_nVideoId, const_cast<unsigned char*>(m_packetizer.VideoData()),
                                  m_packetizer.VideoLength(), m_packetizer.VideoKey());
    } else if (result == rtmplink::PlayResult::kDataError) {
        // Throttled: a broken server could send nothing else.
        if (m_nDataErrors++ % 100 == 0) OV_LOG("OnPlayVideoData data error");
    }
    return true;
}

bool RtmpPlay::OnPlayAudioData(const uint8_t* body, uint32_t size) {
    if (!m_lpSink) return false;
    if (m_packetizer.Audio(body, size) != rtmplink::PlayResult::kDelivered) {
        if (m_nDataErrors++ % 100 == 0) OV_LOG("OnPlayAudioData data error size(%u)", size);
        return true;
    }
    m_lpSink->OnPlayAudioData(m_nId, m_nAudioId, const_cast<unsigned char*>(m_packetizer.AudioData()),
                              m_packetizer.AudioLength());
    return true;
}
