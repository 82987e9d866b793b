// LiveMediaEndpoint: recording. The recording thread keeps the registry of recordings and
// writes each frame that the publish data thread passes on.
#include "EndpointInternal.h"
#include "EventRecord.h"

#include <Poco/Bugcheck.h>

#include <cerrno>
#include <cstring>

namespace streamcore {

using Orvane::Common::IOBufferPtr;

int LiveMediaEndpoint::StartRecord(const char* filePath, const char* videoUniName, const char* audioUniName,
                                   bool flag) {
    if (m_lpMediaTapr == nullptr) return -1;
    {
        // After UnInitialize there is no recording thread to register with.
        Orvane::Common::ReadLock lock(m_threadsLock);
        if (m_recordThread == nullptr) return -1;
    }
    IRecord* recorder = CreateRecord();
    poco_assert_msg(recorder != nullptr, "lpRecord != NULL");
    std::string path = Str(filePath), video = Str(videoUniName), audio = Str(audioUniName);
    int a = m_lpMediaTapr->GetVideoParamA(video.c_str());
    int b = m_lpMediaTapr->GetVideoParamB(video.c_str());
    // The tracks follow the names: a named audio source is always recorded, an empty name
    // gives a video-only file. flag is kept with the recording and chooses no track.
    const bool withAudio = !audio.empty();
    if (!recorder->Open(path, 2, a, b, 10, 16, 16000, 1, 10, withAudio)) {
        DestroyRecord(recorder);
        return -1;
    }
    bool ran = false;
    int id = CallOn<int>(&LiveMediaEndpoint::m_recordThread,
                         [this, recorder, path, video, audio, flag, &ran] {
                             ran = true;
                             return SlotStartRecord(recorder, path, video, audio, flag);
                         },
                         -1);
    if (!ran) {
        // The recording thread went away before it could take the recorder.
        recorder->Close();
        DestroyRecord(recorder);
        return -1;
    }
    return id;
}

bool LiveMediaEndpoint::StopRecord(int recordId) {
    return CallOn<bool>(&LiveMediaEndpoint::m_recordThread, [this, recordId] { return SlotStopRecord(recordId); },
                        false);
}

int LiveMediaEndpoint::SlotStartRecord(IRecord* recorder, std::string filePath, std::string videoUniName,
                                       std::string audioUniName, bool flag) {
    MTP_DCHECK_RUN_ON(m_recordOwner);
    RecordInfo* info = new RecordInfo(recorder, filePath, flag ? 1 : 0);
    poco_assert_msg(info != nullptr, "lpRecordInfo");
    info->audioUniName = audioUniName;
    info->videoUniName = videoUniName;
    // After the counter wraps, an id can still be in use by a long recording: skip it.
    for (int tries = 0; m_records.count(info->Id()) && tries < 65536; ++tries) info->TakeNextId();
    m_records[info->Id()] = info;
    poco_assert_msg(m_lpMediaTapr != nullptr, "m_lpMediaTapr != NULL");
    if (audioUniName == kMixerUniName) StartEncodeMixer(audioUniName.c_str(), 96, 16000, 1);
    m_lpMediaTapr->ForceKeyFrame(videoUniName.c_str());
    return info->Id();
}

bool LiveMediaEndpoint::SlotStopRecord(int recordId) {
    MTP_DCHECK_RUN_ON(m_recordOwner);
    auto it = m_records.find(recordId);
    if (it == m_records.end()) return true;
    RecordInfo* info = it->second;
    m_records.erase(it);
    if (info == nullptr) return true;
    // A recording that failed, or whose file could not be finished, is not a success.
    bool ok = !info->Failed();
    if (!info->CloseRecorder()) {
        EP_LOG("StopRecord(%d): %s could not be finished", recordId, info->FilePath().c_str());
        ok = false;
    }
    delete info;
    return ok;
}

void LiveMediaEndpoint::FailRecording(RecordInfo* info) {
    MTP_DCHECK_RUN_ON(m_recordOwner);
    const int err = errno;
    std::string why = "the file could not be written";
    if (err != 0) why += std::string(" (") + std::strerror(err) + ")";
    EP_LOG("recording %d ends: %s: %s", static_cast<int>(info->Id()), info->FilePath().c_str(), why.c_str());
    info->Fail(why);
    PostResultEvent(EVENT_RECORD_FAILED, info->Id(), info->FilePath(), why);
}

std::vector<int> LiveMediaEndpoint::GetRecordIdByUniname(const std::string& uniName) const {
    MTP_DCHECK_RUN_ON(m_recordOwner);
    std::vector<int> ids;
    for (const auto& entry : m_records) {
        const RecordInfo* info = entry.second;
        if (info && (info->audioUniName == uniName || info->videoUniName == uniName)) ids.push_back(entry.first);
    }
    return ids;
}

void LiveMediaEndpoint::SlotRecordData(IOBufferPtr frame) {
    MTP_DCHECK_RUN_ON(m_recordOwner);
    if (m_records.empty()) return;
    MediaFrameView view(*frame);
    for (int id : GetRecordIdByUniname(view.UniName())) {
        RecordInfo* info = m_records[id];
        IRecord* recorder = info ? info->Recorder() : nullptr;
        if (recorder == nullptr) continue;
        // errno tells why a write failed (a full disk, say).
        errno = 0;
        int written;
        if (view.IsAudio()) {
            if (view.Length() <= 0) continue;
            unsigned char header[AacHeaderStore::kCapacity];
            int headerLen = m_aacHeader.Get(header);
            if (headerLen > 0) recorder->SetAudioHeader(header, headerLen);
            written = recorder->WriteAudio(2, view.Timestamp(), view.Data(), view.Length());
        } else {
            int len = view.Length() - kVideoHeaderSize;
            if (len <= 0) continue;
            written = recorder->WriteVideo(view.Timestamp(), view.Data() + kVideoHeaderSize, len, view.KeyFrame());
        }
        // The first failed write ends the recording; the file keeps what was written.
        if (written < 0) FailRecording(info);
    }
}
}  // namespace streamcore
