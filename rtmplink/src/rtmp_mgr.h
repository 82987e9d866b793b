// The RTMP manager: hands out stream ids, owns the stream objects, forwards frames and
// control calls to them by id, and bridges librtmp's log into the common logger.
// Threads: see IRtmpMgr.h. Each registry has its own lock: lookups share it for the length of
// the forwarded call (IdTable::Visit), opening and closing take it alone only to change the
// table, so a stream is closed and freed only after every call into it has returned.
#pragma once

#include "rtmplink/IRtmpMgr.h"

#include "common/id_table.h"

#include <atomic>
#include <mutex>
#include <string>

class RtmpPublish;
class RtmpPlay;

class CRtmpMgr : public IRtmpMgr {
public:
    CRtmpMgr();
    virtual ~CRtmpMgr();
    CRtmpMgr(const CRtmpMgr&) = delete;
    CRtmpMgr& operator=(const CRtmpMgr&) = delete;

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
    void SetRtmpMgrSink(IRtmpMgrSink* lpSink) override;
    void SetLinkSink(IRtmpLinkSink* sink) override;
    // The registered link sink, or null (publishers' send threads).
    IRtmpLinkSink* LinkSink() const { return m_lpLinkSink.load(std::memory_order_acquire); }

    // The publisher under id, or null (measurements and tests; valid until it is closed).
    RtmpPublish* FindPublish(int id);

private:
    IRtmpMgrSink* m_lpSink = nullptr;
    std::atomic<IRtmpLinkSink*> m_lpLinkSink{nullptr};
    int m_nNextPublishId = 1000;
    int m_nNextPlayId = 10000;
    Orvane::Common::IdTable<int, RtmpPublish*> m_publishers;
    Orvane::Common::IdTable<int, RtmpPlay*> m_players;
    const std::string m_strEmpty;
    std::mutex m_idLock;
};
