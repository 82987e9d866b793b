// LiveMediaEndpoint: publishing. Requests go to the publish control thread, which keeps the
// publish registry; encoded frames from the engine go through it to the publish data thread.
#include "EndpointInternal.h"

#include "common/util.h"

#include <Poco/Bugcheck.h>

namespace streamcore {

using Orvane::Common::IOBufferPtr;
using Orvane::Common::ovGetTickCount;

bool LiveMediaEndpoint::StartEncodeMixer(const char* uniName, int a, int b, int c) {
    return m_lpMediaTapr && m_lpMediaTapr->StartEncodeMixer(uniName, a, b, c) == 0;
}

bool LiveMediaEndpoint::StopEncodeMixer(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopEncodeMixer(uniName) == 0;
}

bool LiveMediaEndpoint::PauseVideoEncode(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopEncodeVideo(uniName) != -1;
}

bool LiveMediaEndpoint::ContinueVideoEncode(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StartEncodeVideo(uniName, 640, 480) != -1;
}

bool LiveMediaEndpoint::IsPublishPause(const char* uniName) {
    EP_LOG("LiveMediaEndpoint::IsPublishPause");
    return m_lpMediaTapr && !m_lpMediaTapr->IsVideoEncoding(uniName);
}

bool LiveMediaEndpoint::PublishAudioStream(const char* url, const char* uniName, bool recordMode) {
    std::string u = Str(url), n = Str(uniName);
    return CallOn<bool>(&LiveMediaEndpoint::m_publishThread,
                        [this, u, n, recordMode] { return SlotPublishStream(u, n, true, recordMode); }, false);
}

bool LiveMediaEndpoint::PublishVideoStream(const char* url, const char* uniName, bool recordMode) {
    std::string u = Str(url), n = Str(uniName);
    return CallOn<bool>(&LiveMediaEndpoint::m_publishThread,
                        [this, u, n, recordMode] { return SlotPublishStream(u, n, false, recordMode); }, false);
}

bool LiveMediaEndpoint::PublishApplicationStream(const char* url, const char* uniName, bool recordMode) {
    return PublishVideoStream(url, uniName, recordMode);
}

bool LiveMediaEndpoint::PublishPictureStream(const char* url, const char* uniName, bool recordMode) {
    return PublishVideoStream(url, uniName, recordMode);
}

bool LiveMediaEndpoint::PublishMixStream(const char* url, const char* videoUniName, const char* audioUniName,
                                         int publishMode) {
    m_aacHeader.MarkPending();
    std::string u = Str(url), v = Str(videoUniName), a = Str(audioUniName);
    return CallOn<bool>(&LiveMediaEndpoint::m_publishThread,
                        [this, u, v, a, publishMode] { return SlotPublishMixStream(u, v, a, publishMode); },
                        false);
}

void LiveMediaEndpoint::StopPublish(const char* url) {
    std::string u = Str(url);
    PostTo(&LiveMediaEndpoint::m_publishThread, [this, u] { SlotStopPublish(u); });
}

bool LiveMediaEndpoint::ForceKeyFrame(const char* url) {
    if (!m_publishAffinity.IsOnBoundThread()) {
        std::string u = Str(url);
        return CallOn<bool>(&LiveMediaEndpoint::m_publishThread, [this, u] { return ForceKeyFrame(u.c_str()); },
                            false);
    }
    MTP_DCHECK_RUN_ON(m_publishOwner);
    auto it = m_publishStreams.find(Str(url));
    if (it == m_publishStreams.end() || it->second == nullptr || m_lpMediaTapr == nullptr) return false;
    std::string video = it->second->GetVideoUniName(), audio = it->second->GetAudioUniName();
    EP_LOG("LiveMediaEndpoint::ForceKeyFrame %s %s", video.c_str(), audio.c_str());
    return m_lpMediaTapr->ForceKeyFrame(video.c_str()) == 0;
}

bool LiveMediaEndpoint::SlotPublishStream(std::string url, std::string uniName, bool audioOnly, bool recordMode) {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    if (m_publishStreams.count(url)) return true;
    if (m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return false;
    if (!audioOnly) {
        m_lpMediaTapr->PrepareVideoPublish(uniName.c_str());
        if (!m_lpMediaTapr->IsVideoEncoding(uniName.c_str()) &&
            m_lpMediaTapr->StartEncodeVideo(uniName.c_str(), 640, 480) != 0) {
            EP_LOG("StartEncodeVideo false %s", uniName.c_str());
            return false;
        }
    }
    PublishStreamInfo* info = new PublishStreamInfo(url);
    poco_assert_msg(info != nullptr, "lpInfo");
    m_publishStreams[url] = info;
    if (audioOnly)
        info->audioUniName = uniName;
    else
        info->videoUniName = uniName;
    info->streamId = m_lpRtmpMgr->GetPublishId();
    m_publishUrls.Set(info->streamId, url);
    m_lpRtmpMgr->OpenPublishUrl(info->streamId, url.c_str(), recordMode ? 1 : 0);
    return true;
}

bool LiveMediaEndpoint::SlotPublishMixStream(std::string url, std::string videoUniName, std::string audioUniName,
                                             int publishMode) {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    if (m_publishStreams.count(url)) return true;
    if (m_lpRtmpMgr == nullptr || m_lpMediaTapr == nullptr) return false;
    m_lpMediaTapr->PrepareVideoPublish(videoUniName.c_str());
    if (!m_lpMediaTapr->IsVideoEncoding(videoUniName.c_str()) &&
        m_lpMediaTapr->StartEncodeVideo(videoUniName.c_str(), 640, 480) != 0) {
        EP_LOG("StartEncodeVideo false %s", videoUniName.c_str());
        return false;
    }
    if (audioUniName == kMixerUniName) StartEncodeMixer(audioUniName.c_str(), 96, 16000, 1);
    PublishStreamInfo* info = new PublishStreamInfo(url);
    poco_assert_msg(info != nullptr, "lpInfo");
    m_publishStreams[url] = info;
    info->audioUniName = audioUniName;
    info->videoUniName = videoUniName;
    info->streamId = m_lpRtmpMgr->GetPublishId();
    m_publishUrls.Set(info->streamId, url);
    m_lpRtmpMgr->OpenPublishUrl(info->streamId, url.c_str(), publishMode);
    EP_LOG("SlotPublishMixStream video:%s audio.%s", videoUniName.c_str(), audioUniName.c_str());
    return true;
}

bool LiveMediaEndpoint::SlotStopPublish(std::string url) {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    auto it = m_publishStreams.find(url);
    if (it == m_publishStreams.end() || m_lpRtmpMgr == nullptr) return false;
    if (it->second) {
        m_lpRtmpMgr->ClosePublish(it->second->streamId);
        m_publishUrls.Remove(it->second->streamId);
        m_bitrate.RemoveStream(url);
        delete it->second;
    }
    m_publishStreams.erase(it);
    return true;
}

int LiveMediaEndpoint::PostEngineFrame(IOBufferPtr frame, FrameError error, const char* what) {
    if (!frame) {
        // Per-frame path: log only every 100th refused frame.
        unsigned n = ++m_refusedFrames;
        if (n % 100 == 1)
            EP_LOG("%s frame refused (%s), %u so far", what,
                   error == FrameError::kBadName ? "uniName missing or longer than 127 characters"
                   : error == FrameError::kBadData ? "bad data" : "no memory",
                   n);
        return 0;
    }
    PostTo(&LiveMediaEndpoint::m_publishThread, [this, frame] { SlotOnPublishData(frame); });
    return 0;
}

int LiveMediaEndpoint::OnRtpVideoData(const char* uniName, const unsigned char* data, int len, bool keyFrame,
                                      unsigned int timestamp) {
    FrameError error = FrameError::kNone;
    IOBufferPtr frame = BuildVideoFrame(uniName, data, len, keyFrame, timestamp, &error);
    return PostEngineFrame(std::move(frame), error, "OnRtpVideoData");
}

int LiveMediaEndpoint::OnMixerAudioData(const char* uniName, const unsigned char* data, int len) {
    // An engine that gives no capture times: the sound is stamped when it arrives, on the
    // clock the video's capture times use.
    if (!m_arrivalStampLogged.exchange(true))
        EP_LOG("the engine gives mixer audio without capture times: stamped on arrival");
    return OnMixerAudioDataAt(uniName, data, len, static_cast<unsigned int>(ovGetTickCount()));
}

int LiveMediaEndpoint::OnMixerAudioDataAt(const char* uniName, const unsigned char* data, int len,
                                          unsigned int timestamp) {
    FrameError error = FrameError::kNone;
    IOBufferPtr frame = BuildAudioFrame(uniName, data, len, 16000, 1, 1, timestamp, &error);
    return PostEngineFrame(std::move(frame), error, "OnMixerAudioData");
}

int LiveMediaEndpoint::OnAudioData(const char* uniName, int sampleRate, int channels, const void* data, int len,
                                   int third, unsigned int timestamp) {
    FrameError error = FrameError::kNone;
    IOBufferPtr frame = BuildAudioFrame(uniName, static_cast<const unsigned char*>(data), len, sampleRate,
                                        channels, third, timestamp, &error);
    return PostEngineFrame(std::move(frame), error, "OnAudioData");
}

int LiveMediaEndpoint::OnMixerAudioHeaderData(const char*, char* header, int len) {
    if (!m_aacHeader.Set(header, len))
        EP_LOG("OnMixerAudioHeaderData header of %d bytes ignored (at most %d)", len,
               static_cast<int>(AacHeaderStore::kCapacity));
    return 0;
}

int LiveMediaEndpoint::OnSendVideoPacketCount(const char*) { return 0; }
int LiveMediaEndpoint::OnAudioData(int, int, const unsigned char*, int, int, unsigned int) { return 0; }

int LiveMediaEndpoint::SlotOnSendVideoPacketCount(std::string uniName) {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    std::vector<uint32_t> ids = GetRtmpurlByUniname(uniName);
    if (ids.empty() || m_lpRtmpMgr == nullptr) return 0;
    return m_lpRtmpMgr->OnSendVideoPacketCount(static_cast<int>(ids.front()));
}

std::vector<uint32_t> LiveMediaEndpoint::GetRtmpurlByUniname(const std::string& uniName) const {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    std::vector<uint32_t> ids;
    for (const auto& entry : m_publishStreams) {
        const PublishStreamInfo* info = entry.second;
        if (info && (info->videoUniName == uniName || info->audioUniName == uniName))
            ids.push_back(static_cast<uint32_t>(info->streamId));
    }
    return ids;
}

void LiveMediaEndpoint::SlotOnPublishData(IOBufferPtr frame) {
    MTP_DCHECK_RUN_ON(m_publishOwner);
    std::vector<uint32_t> ids = GetRtmpurlByUniname(MediaFrameView(*frame).UniName());
    PostTo(&LiveMediaEndpoint::m_publishDataThread,
           [this, frame, ids] { SlotPublishData(frame, ids); });
}

void LiveMediaEndpoint::SlotPublishData(IOBufferPtr frame, std::vector<uint32_t> ids) {
    MTP_DCHECK_RUN_ON(m_publishDataOwner);
    if (m_lpRtmpMgr) {
        MediaFrameView view(*frame);
        unsigned char header[AacHeaderStore::kCapacity];
        unsigned generation = 0;
        const int headerLen = view.IsAudio() ? m_aacHeader.GetWithGeneration(header, &generation) : 0;
        for (uint32_t id : ids) {
            int sid = static_cast<int>(id);
            if (view.IsAudio()) {
                // Each publication gets the mixer's header before its first AAC frame, and again
                // after it changed or a new mixed publication began.
                auto given = m_aacHeaderGiven.find(id);
                if (headerLen > 0 && (given == m_aacHeaderGiven.end() || given->second != generation)) {
                    m_lpRtmpMgr->SetAACExtraData(sid, header, headerLen);
                    m_aacHeaderGiven[id] = generation;
                }
                m_lpRtmpMgr->PublishAudioRtmpData(sid, 1, view.MutableData(), view.Length(), view.Timestamp());
            } else {
                int len = view.Length() - kVideoHeaderSize;
                if (len < 0) continue;  // shorter than its header: nothing to send
                m_lpRtmpMgr->PublishVideoRtmpData(sid, view.MutableData() + kVideoHeaderSize, len,
                                                  view.Timestamp(), view.KeyFrame());
            }
        }
    }
    PostTo(&LiveMediaEndpoint::m_recordThread, [this, frame] { SlotRecordData(frame); });
}
}  // namespace streamcore
