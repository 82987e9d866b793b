// LiveMediaEndpoint: playing. Requests go to the play control thread, which keeps the play
// registry; received frames go through it to the play data thread and on to the engine.
#include "EndpointInternal.h"

#include <Poco/Bugcheck.h>

#include <cstring>
#include <future>
#include <memory>

namespace streamcore {

using Orvane::Common::IOBuffer;
using Orvane::Common::IOBufferPtr;

namespace {

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

}  // namespace

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
    MTP_DCHECK_RUN_ON(m_playOwner);
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
    m_playUrls.Set(playId, url);
    m_lpRtmpMgr->OpenPlayUrl(playId, videoId, audioId, url.c_str());
    return true;
}

void LiveMediaEndpoint::SlotStopPlay(std::string url) {
    MTP_DCHECK_RUN_ON(m_playOwner);
    auto it = m_playStreams.find(url);
    if (it == m_playStreams.end() || m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return;
    EP_LOG("stop play enter!");
    if (PlayStreamInfo* info = it->second) {
        // Once ClosePlay returns the player is gone and no new frame of it can be looked up,
        // but frames looked up earlier may still wait on the play data thread. Letting that
        // queue run dry first means the engine never gets data for a channel it has closed.
        m_lpRtmpMgr->ClosePlay(info->streamId);
        m_playUrls.Remove(info->streamId);
        WaitForPlayDataQueue();
        m_lpMediaTapr->CloseRemoteAudio(info->audioRemoteId);
        m_lpMediaTapr->CloseRemoteVideo(info->videoRemoteId);
        delete info;
    }
    m_playStreams.erase(it);
    EP_LOG("stop play leave!");
}

void LiveMediaEndpoint::WaitForPlayDataQueue() {
    MTP_DCHECK_RUN_ON(m_playOwner);
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
    MTP_DCHECK_RUN_ON(m_playOwner);
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
    MTP_DCHECK_RUN_ON(m_playOwner);
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
    MTP_DCHECK_RUN_ON(m_playOwner);
    uint64_t audioId = 0, videoId = 0;
    if (!GetAvRemoteIdByPlayId(ReadInt(frame->GetPointer(), kPlayIdOffset), audioId, videoId)) return;
    PostTo(&LiveMediaEndpoint::m_playDataThread,
           [this, frame, audioId, videoId] { SlotPlayData(frame, audioId, videoId); });
}

void LiveMediaEndpoint::SlotPlayData(IOBufferPtr frame, uint64_t audioId, uint64_t videoId) {
    MTP_DCHECK_RUN_ON(m_playDataOwner);
    if (m_lpMediaTapr == nullptr) return;
    const unsigned char* p = frame->GetPointer();
    int len = ReadInt(p, kPlayLengthOffset);
    if (p[kPlayKindOffset] == 1)
        m_lpMediaTapr->PlayRemoteAudioData(audioId, p + kPlayDataOffset, len);
    else
        m_lpMediaTapr->PlayRemoteVideoData(videoId, p + kPlayDataOffset, len);
}
}  // namespace streamcore
