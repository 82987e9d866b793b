// One incoming RTMP stream: a receive thread connects to the server, reads RTMP messages and
// hands each video frame (Annex-B) and audio frame to the sink behind a 12-byte header (see
// play_packets.h). After a connection loss it connects again by itself, pausing one second
// after each failed attempt.
//
// Threads:
// - OpenUrl, Close and the destructor: the owner (the manager), one at a time. The destructor
//   aborts a blocked receive and waits for the receive thread to end.
// - GetVideoId / GetAudioId: any thread after OpenUrl.
// - run and everything it calls: the receive thread only; OnPlayEvent, OnPlayVideoData and
//   OnPlayAudioData are called from it, one at a time, in arrival order.
#pragma once

#include "play_packets.h"
#include "rtmp_session.h"

#include "common/thread.h"
#include "rtmplink/IRtmpMgr.h"

#include <Poco/Event.h>

#include <atomic>
#include <string>

class CRtmpMgr;

class RtmpPlay : public Orvane::Common::CThreadSink {
public:
    enum { kThreadId = 16, kReconnectPauseMs = 1000, kLogEvery = 1000 };

    explicit RtmpPlay(CRtmpMgr* lpRtmpMgr);
    virtual ~RtmpPlay();
    RtmpPlay(const RtmpPlay&) = delete;
    RtmpPlay& operator=(const RtmpPlay&) = delete;

    bool OpenUrl(int id, unsigned long long videoId, unsigned long long audioId, const char* url,
                 IRtmpMgrSink* lpRtmpMgrSink);
    // Asks the receive loop to end; does not wait (the destructor does).
    void Close();
    unsigned long long GetVideoId() const { return m_nVideoId; }
    unsigned long long GetAudioId() const { return m_nAudioId; }
    const std::string& GetStreamName() const { return m_strStreamName; }

    bool run(unsigned id, unsigned index) override;

private:
    void RecvRtmpServerThread(unsigned id, unsigned index);
    bool Connect();
    void Recv();
    void HandleMessage();
    bool OnPlayVideoData(const uint8_t* body, uint32_t size, uint32_t timestamp);
    bool OnPlayAudioData(const uint8_t* body, uint32_t size);
    void Report(RTMP_RESULT result);

    CRtmpMgr* m_lpRtmpMgr;
    IRtmpMgrSink* m_lpSink = nullptr;
    int m_nId = -1;
    unsigned long long m_nVideoId = 0;
    unsigned long long m_nAudioId = 0;
    rtmplink::LibRtmpConnection m_conn;
    bool m_bStreamConnected = false;
    std::atomic<bool> m_bClosed{false};
    std::string m_strUrl;
    std::string m_strStreamName;
    RTMPPacket m_packet;
    rtmplink::PlayPacketizer m_packetizer;
    unsigned m_nDataErrors = 0;
    // Ends the pause after a failed connect.
    Poco::Event m_closeEvent;
    // Last: stopped before anything it uses goes.
    Orvane::Common::CMutliThread m_thread;
};
