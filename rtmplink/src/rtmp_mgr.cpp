#include "rtmp_mgr.h"

#include "rtmp_play.h"
#include "rtmp_publish.h"
#include "rtmp_session.h"

#include "common/slogger.h"

#include <Poco/Bugcheck.h>

namespace {

std::mutex g_mgrLock;
CRtmpMgr* g_pRtmpMgr = nullptr;

}  // namespace

CRtmpMgr::CRtmpMgr() { rtmplink::SetupRtmpLog(); }

CRtmpMgr::~CRtmpMgr() {
    OV_LOG("~CRtmpMgr 1");
    auto publishers = m_publishers.TakeAll();
    // Every publisher drains its queue at the same time, so the whole end takes one drain.
    for (auto& entry : publishers) {
        if (entry.second) entry.second->BeginClose();
    }
    for (auto& entry : publishers) {
        if (entry.second) {
            entry.second->Close();
            delete entry.second;
        }
    }
    OV_LOG("~CRtmpMgr 2");
    for (auto& entry : m_players.TakeAll()) {
        if (entry.second) {
            entry.second->Close();
            delete entry.second;
        }
    }
}

void CRtmpMgr::SetRtmpMgrSink(IRtmpMgrSink* lpSink) {
    poco_assert(lpSink);
    m_lpSink = lpSink;
}

void CRtmpMgr::SetLinkSink(IRtmpLinkSink* sink) { m_lpLinkSink.store(sink, std::memory_order_release); }

int CRtmpMgr::GetPublishId() {
    std::lock_guard<std::mutex> lock(m_idLock);
    return m_nNextPublishId++;
}

int CRtmpMgr::GetPlayId() {
    std::lock_guard<std::mutex> lock(m_idLock);
    return m_nNextPlayId++;
}

bool CRtmpMgr::OpenPublishUrl(int id, bool hasAudio, std::string uniName, const char* url, int publishMode) {
    if (!url) {
        OV_LOG("OpenPublishUrl(%d) refused: no URL", id);
        return false;
    }
    // Refused before a stream object is made; the add fails only for a racing open of the id.
    RtmpPublish* publisher = m_publishers.Find(id) ? nullptr : new RtmpPublish(this);
    if (!publisher || !m_publishers.Add(id, publisher)) {
        delete publisher;
        OV_LOG("OpenPublishUrl(%d) refused: the id is already open", id);
        return false;
    }
    bool opened = false;
    m_publishers.Visit(id, [&](RtmpPublish* p) {
        opened = p->OpenUrl(id, hasAudio, uniName, url, m_lpSink, publishMode);
    });
    return opened;
}

bool CRtmpMgr::OpenPublishUrl(int id, const char* url, int publishMode) {
    return OpenPublishUrl(id, false, url ? std::string(url) : std::string(), url, publishMode);
}

int CRtmpMgr::PublishVideoRtmpData(int id, unsigned char* data, int len, unsigned int timestamp, bool keyFrame) {
    int result = 0;
    m_publishers.Visit(id, [&](RtmpPublish* p) { result = p->PublishVideoRtmpData(data, len, timestamp, keyFrame); });
    return result;
}

int CRtmpMgr::PublishAudioRtmpData(int id, int audioType, unsigned char* data, int len, unsigned int timestamp) {
    int result = 0;
    m_publishers.Visit(id, [&](RtmpPublish* p) { result = p->PublishAudioRtmpData(audioType, data, len, timestamp); });
    return result;
}

int CRtmpMgr::OnSendVideoPacketCount(int id) {
    int result = 0;
    m_publishers.Visit(id, [&](RtmpPublish* p) { result = p->OnSendVideoPacketCount(); });
    return result;
}

void CRtmpMgr::SetAACExtraData(int id, unsigned char* data, int len) {
    m_publishers.Visit(id, [&](RtmpPublish* p) { p->SetAACExtraData(data, len); });
}

void CRtmpMgr::PausePublish(int id) {
    m_publishers.Visit(id, [](RtmpPublish* p) { p->Pause(); });
}

void CRtmpMgr::ContinuePublish(int id) {
    m_publishers.Visit(id, [](RtmpPublish* p) { p->Continue(); });
}

void CRtmpMgr::ClosePublish(int id) {
    OV_LOG("CRtmpMgr ClosePublish enter");
    RtmpPublish* publisher = m_publishers.Remove(id);
    if (!publisher) return;
    publisher->Close();
    delete publisher;
    OV_LOG("CRtmpMgr ClosePublish leave");
}

bool CRtmpMgr::HasAudio(int id) {
    bool result = false;
    m_publishers.Visit(id, [&](RtmpPublish* p) { result = p->HasAudio(); });
    return result;
}

const std::string& CRtmpMgr::GetUniName(int id) {
    const std::string* name = &m_strEmpty;
    m_publishers.Visit(id, [&](RtmpPublish* p) { name = &p->GetUniName(); });
    return *name;
}

bool CRtmpMgr::GetSendDataTimeOut(int id) {
    bool result = false;
    m_publishers.Visit(id, [&](RtmpPublish* p) { result = p->GetSendDataTimeOut(); });
    return result;
}

bool CRtmpMgr::OpenPlayUrl(int id, unsigned long long videoId, unsigned long long audioId, const char* url) {
    OV_LOG("OpenPlayUrl enter");
    if (!url) {
        OV_LOG("OpenPlayUrl(%d) refused: no URL", id);
        return false;
    }
    // Refused before a stream object is made; the add fails only for a racing open of the id.
    RtmpPlay* player = m_players.Find(id) ? nullptr : new RtmpPlay(this);
    if (!player || !m_players.Add(id, player)) {
        delete player;
        OV_LOG("OpenPlayUrl(%d) refused: the id is already open", id);
        return false;
    }
    bool opened = false;
    m_players.Visit(id, [&](RtmpPlay* p) { opened = p->OpenUrl(id, videoId, audioId, url, m_lpSink); });
    return opened;
}

void CRtmpMgr::ClosePlay(int id) {
    OV_LOG("CRtmpMgr ClosePlay enter");
    RtmpPlay* player = m_players.Remove(id);
    if (!player) return;
    player->Close();
    delete player;
    OV_LOG("CRtmpMgr ClosePlay leave");
}

unsigned long long CRtmpMgr::GetVideoId(int id) {
    unsigned long long result = ~0ULL;
    m_players.Visit(id, [&](RtmpPlay* p) { result = p->GetVideoId(); });
    return result;
}

unsigned long long CRtmpMgr::GetAudioId(int id) {
    unsigned long long result = ~0ULL;
    m_players.Visit(id, [&](RtmpPlay* p) { result = p->GetAudioId(); });
    return result;
}

RtmpPublish* CRtmpMgr::FindPublish(int id) { return m_publishers.Find(id); }

extern "C" IRtmpMgr* CreateRtmpMgr(IRtmpMgrSink* sink) {
    std::lock_guard<std::mutex> lock(g_mgrLock);
    if (g_pRtmpMgr) return g_pRtmpMgr;
    CRtmpMgr* mgr = new CRtmpMgr;
    try {
        mgr->SetRtmpMgrSink(sink);
    } catch (...) {
        delete mgr;
        throw;
    }
    g_pRtmpMgr = mgr;
    return mgr;
}

extern "C" void DestroyRtmpMgr(IRtmpMgr*) {
    CRtmpMgr* mgr;
    {
        std::lock_guard<std::mutex> lock(g_mgrLock);
        mgr = g_pRtmpMgr;
        g_pRtmpMgr = nullptr;
    }
    delete mgr;
}
