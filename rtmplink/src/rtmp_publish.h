// One outgoing RTMP stream: turns H.264 access units and audio frames into RTMP media
// messages, queues them, and sends them from its own send thread, which also connects and
// reconnects and reports each connection result to the sink. Audio and video timestamps are
// on one clock; on each connection both are counted from one zero, the time of the first frame
// queued, so the offset between the tracks is what the caller gave.
//
// Threads:
// - OpenUrl, Close, Pause, Continue, SetAACExtraData: the owner (the manager), one at a time.
// - PublishVideoRtmpData / PublishAudioRtmpData: any one thread of the caller (they take the
//   queue lock); the getters from any thread.
// - run: the send thread only. OnPublishEvent and the send observer are called from it.
#pragma once

#include "link_meter.h"
#include "rtmp_connection.h"

#include "common/thread.h"
#include "rtmplink/IRtmpMgr.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

class CRtmpMgr;

namespace rtmplink {

// Told of every media message that left (for measurements). Called on the send thread with
// the publisher's queue lock held: it must be quick and must not call the publisher.
class ISendObserver {
public:
    // submitUs / sentUs: CLOCK_MONOTONIC microseconds of the frame's submission and of the
    // end of its send.
    virtual void OnMessageSent(bool video, bool sequenceHeader, uint32_t timestamp, int64_t submitUs,
                               int64_t sentUs) = 0;

protected:
    ~ISendObserver() = default;
};

}  // namespace rtmplink

class RtmpPublish : public Orvane::Common::CThreadSink {
public:
    enum { kChunkSize = 1024, kConnectRetryPauseMs = 100, kIdleWaitMs = 10, kGracefulStopMs = 300,
           kMaxAacConfig = 1024, kDrainMs = 2000 };
    // The queue's bounds while the link is behind: audio waits at most kMaxAudioAgeMs of media
    // time behind the newest frame, and all messages together hold at most kMaxQueueBytes
    // (beyond it the video goes first).
    enum { kMaxAudioAgeMs = 10000, kMaxQueueBytes = 16 << 20 };

    explicit RtmpPublish(CRtmpMgr* lpRtmpMgr);
    // With a connection of the caller's choosing (tests).
    RtmpPublish(CRtmpMgr* lpRtmpMgr, std::unique_ptr<rtmplink::IRtmpConnection> connection);
    virtual ~RtmpPublish();
    RtmpPublish(const RtmpPublish&) = delete;
    RtmpPublish& operator=(const RtmpPublish&) = delete;

    bool OpenUrl(int id, bool hasAudio, std::string uniName, const char* url, IRtmpMgrSink* lpRtmpMgrSink,
                 int publishMode);
    int PublishVideoRtmpData(unsigned char* data, int len, unsigned int timestamp, bool keyFrame);
    int PublishAudioRtmpData(int audioType, unsigned char* data, int len, unsigned int timestamp);
    void SetAACExtraData(unsigned char* data, int len);
    void Pause();
    void Continue();
    bool HasAudio() const { return m_bHasAudio; }
    const std::string& GetUniName() const { return m_strUniName; }
    bool GetSendDataTimeOut() const { return m_bSendFailed.load(); }
    int OnSendVideoPacketCount();
    // Begins the end: no frame is taken from now on, and the send thread sends what is queued
    // while the connection stands, until kDrainMs after this call. Idempotent.
    void BeginClose();
    // BeginClose, then waits for the queue to empty (or the connection to fall, or the drain's
    // time to run out), stops the send thread (aborting a connect that hangs), drops what is
    // left with one log line saying how much, closes and frees the connection. Idempotent.
    void Close();

    bool run(unsigned arg1, unsigned arg2) override;

    // Measurements and tests.
    bool IsConnected() const { return m_bConnected.load(); }
    size_t QueuedCount();
    void SetSendObserver(rtmplink::ISendObserver* observer);
    const std::string& GetStreamName() const { return m_strStreamName; }

private:
    enum class Kind { kVideo, kSequenceHeader, kAudio, kAacHeader };
    struct Message {
        RTMPPacket packet;
        Kind kind;
        int64_t submitUs;
        std::vector<uint8_t> sequenceHeader;  // a copy of the body, for kSequenceHeader
    };

    bool Connect();
    bool Send();
    // Send thread, while closing: true when the drain is over (queue empty or no connection).
    bool DrainDone();
    // With m_queueLock held: what the queue still holds, for the closing log line.
    void LogUnsentLocked(const char* why);
    // Samples the link when a sample is due and reports it to the sink (send thread).
    void MeasureLink();
    void DeleteAllRTMPPacketList();
    // With m_queueLock held.
    void DeleteAllLocked();
    bool QueueLocked(Kind kind, uint32_t timestamp, const std::vector<uint8_t>& body, int64_t submitUs);
    // Takes the front message off the queue / drops the message at it (with m_queueLock held).
    Message* PopFrontLocked();
    std::list<Message*>::iterator EraseLocked(std::list<Message*>::iterator it);
    // Keeps the queue within its age and byte bounds after a frame at newestTs was queued
    // (with m_queueLock held).
    void TrimLocked(uint32_t newestTs);
    // One log line for the audio the bounds dropped since the last one (with m_queueLock held).
    void LogTrimmedLocked();
    void FreeMessage(Message* message);
    void Report(RTMP_RESULT result);
    // Logs the first of a kind of dropped frame and every 100th after it.
    void LogDropped(const char* what, int len);
    // With m_queueLock held: takes timestamp as the connection's zero when there is none yet;
    // false when it lies before the zero (the frame is to be dropped), else *relative is set.
    bool RelativeLocked(unsigned int timestamp, uint32_t* relative);

    CRtmpMgr* m_lpRtmpMgr;
    std::unique_ptr<rtmplink::IRtmpConnection> m_conn;
    IRtmpMgrSink* m_lpSink = nullptr;
    int m_nId = -1;
    bool m_bHasAudio = false;
    std::string m_strUniName;
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bPaused{false};
    int m_nPublishMode = 0;
    std::string m_strUrl;
    std::string m_strStreamName;

    // Guarded by m_queueLock.
    bool m_bAwaitingVideoKey = true;
    // The zero of both tracks on this connection: the time of the first frame queued after the
    // connect, audio or video. Frames from before it are dropped.
    bool m_bHaveBase = false;
    unsigned int m_nBase = 0;
    std::vector<uint8_t> m_aacConfig;
    int m_nVideoPacketCount = 0;
    bool m_bNeedKeyAfterPause = false;
    // The last sequence header the server got on this connection, and whether it has the
    // AAC sequence header (or one is queued).
    std::vector<uint8_t> m_sentSequenceHeader;
    bool m_bAacHeaderSent = false;
    bool m_bAacHeaderQueued = false;
    uint64_t m_nFlushCount = 0;
    std::list<Message*> m_queue;
    size_t m_nQueuedBytes = 0;
    // Audio dropped by the age and byte bounds since the last log line: frames and their span.
    unsigned m_nTrimmedAudio = 0;
    uint32_t m_nTrimmedFirstTs = 0, m_nTrimmedLastTs = 0;
    std::vector<uint8_t> m_scratch;
    unsigned m_nDropLogCount = 0;
    rtmplink::ISendObserver* m_pObserver = nullptr;
    Poco::Mutex m_queueLock;

    // Send thread only: the link's measurement on this connection.
    rtmplink::LinkMeter m_meter;
    uint64_t m_nAudioBytesSent = 0;
    // Guarded by m_queueLock: video frames dropped by key frames on this connection, and the
    // age of the oldest queued message when the last ones were dropped (until the next sample).
    uint64_t m_nVideoDropped = 0;
    int m_nDropQueueMs = 0;

    std::atomic<bool> m_bSendFailed{false};
    // Set by BeginClose: frames are refused and the send thread drains the queue.
    std::atomic<bool> m_bClosing{false};
    int64_t m_nDrainEndUs = 0;  // written by BeginClose before m_bClosing is set
    std::atomic<bool> m_bClosed{false};
    // Set by frame submission (and Close): ends the send thread's idle wait.
    Poco::Event m_frameEvent;
    // Set by Close: ends the pause after a failed connect.
    Poco::Event m_closeEvent;
    // Set by the send thread once a drain is over.
    Poco::Event m_drainedEvent;
    // Last: it is stopped (and destroyed) before anything it uses.
    Orvane::Common::CThreadEx m_thread;
};
