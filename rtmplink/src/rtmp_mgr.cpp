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
    std::map<int, RtmpPublish*> publishers;
    {
        std::unique_lock<std::shared_timed_mutex> lock(m_registryLock);
        publishers.swap(m_publishers);
    }
    for (auto& entry : publishers) {
        if (entry.second) {
            entry.second->Close();
            delete entry.second;
            entry.second = nullptr;
        }
    }
    OV_LOG("~CRtmpMgr 2");
    std::map<int, RtmpPlay*> players;
    {
        std::unique_lock<std::shared_timed_mutex> lock(m_registryLock);
        players.swap(m_players);
    }
    for (auto& entry : players) {
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
    RtmpPublish* publisher;
    {
        std::unique_lock<std::shared_timed_mutex> lock(m_registryLock);
        if (m_publishers.count(id)) {
            OV_LOG("OpenPublishUrl(%d) refused: the id is already open", id);
            return false;
        }
        publisher = new RtmpPublish(this);
        m_publishers[id] = publisher;
    }
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    return publisher->OpenUrl(id, hasAudio, uniName, url, m_lpSink, publishMode);
}

bool CRtmpMgr::OpenPublishUrl(int id, const char* url, int publishMode) {
    return OpenPublishUrl(id, false, url ? std::string(url) : std::string(), url, publishMode);
}

int CRtmpMgr::PublishVideoRtmpData(int id, unsigned char* data, int len, unsigned int timestamp, bool keyFrame) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it == m_publishers.end() || !it->second) return 0;
    return it->second->PublishVideoRtmpData(data, len, timestamp, keyFrame);
}

int CRtmpMgr::PublishAudioRtmpData(int id, int audioType, unsigned char* data, int len, unsigned int timestamp) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it == m_publishers.end() || !it->second) return 0;
    return it->second->PublishAudioRtmpData(audioType, data, len, timestamp);
}

int CRtmpMgr::OnSendVideoPacketCount(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it == m_publishers.end() || !it->second) return 0;
    return it->second->OnSendVideoPacketCount();
}

void CRtmpMgr::SetAACExtraData(int id, unsigned char* data, int len) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it != m_publishers.end() && it->second) it->second->SetAACExtraData(data, len);
}

void CRtmpMgr::PausePublish(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it != m_publishers.end() && it->second) it->second->Pause();
}

void CRtmpMgr::ContinuePublish(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it != m_publishers.end() && it->second) it->second->Continue();
}

void CRtmpMgr::ClosePublish(int id) {
    OV_LOG("CRtmpMgr ClosePublish enter");
    RtmpPublish* publisher = nullptr;
    {
        std::unique_lock<std::shared_timed_mutex> lock(m_registryLock);
        auto it = m_publishers.find(id);
        if (it == m_publishers.end()) return;
        publisher = it->second;
        m_publishers.erase(it);
    }
    if (publisher) {
        publisher->Close();
        delete publisher;
    }
    OV_LOG("CRtmpMgr ClosePublish leave");
}

bool CRtmpMgr::HasAudio(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    return it != m_publishers.end() && it->second && it->second->HasAudio();
}

const std::string& CRtmpMgr::GetUniName(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    if (it == m_publishers.end() || !it->second) return m_strEmpty;
    return it->second->GetUniName();
}

bool CRtmpMgr::GetSendDataTimeOut(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    return it != m_publishers.end() && it->second && it->second->GetSendDataTimeOut();
}

bool CRtmpMgr::OpenPlayUrl(int id, unsigned long long videoId, unsigned long long audioId, const char* url) {
    OV_LOG("OpenPlayUrl enter");
    if (!url) {
        OV_LOG("OpenPlayUrl(%d) refused: no URL", id);
        return false;
    }
    RtmpPlay* player;
    {
        std::unique_lock<std::shared_timed_mutex> lock(m_registryLock);
        if (m_players.count(id)) {
            OV_LOG("OpenPlayUrl(%d) refused: the id is already open", id);
            return false;
        }
        player = new RtmpPlay(this);
        m_players[id] = player;
    }
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    return player->OpenUrl(id, videoId, audioId, url, m_lpSink);
}

void CRtmpMgr::ClosePlay(int id) {
    OV_LOG("CRtmpMgr ClosePlay enter");
    RtmpPlay* player = nullptr;
    {
        std::unique_lock<std::shared_timed_mutex> lock(m_registryLock);
        auto it = m_players.find(id);
        if (it == m_players.end()) return;
        player = it->second;
        m_players.erase(it);
    }
    if (player) {
        player->Close();
        delete player;
    }
    OV_LOG("CRtmpMgr ClosePlay leave");
}

unsigned long long CRtmpMgr::GetVideoId(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_players.find(id);
    return it == m_players.end() || !it->second ? ~0ULL : it->second->GetVideoId();
}

unsigned long long CRtmpMgr::GetAudioId(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_players.find(id);
    return it == m_players.end() || !it->second ? ~0ULL : it->second->GetAudioId();
}

RtmpPublish* CRtmpMgr::FindPublish(int id) {
    std::shared_lock<std::shared_timed_mutex> lock(m_registryLock);
    auto it = m_publishers.find(id);
    return it == m_publishers.end() ? nullptr : it->second;
}

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
