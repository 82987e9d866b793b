// Remote play channels: decoding of received streams (see remote_channel.h).
#include "mediatap_engine.h"
#include "remote_channel.h"

namespace mediatap {

int CMediaTap::CreateRemoteVideo(uint64_t* id, OvHwnd window) { return m_remote->CreateVideo(id, window); }
int CMediaTap::CloseRemoteVideo(uint64_t id) { return m_remote->CloseVideo(id); }
int CMediaTap::ChangeRemoteVideoWindow(uint64_t id, OvHwnd window) { return m_remote->ChangeVideoWindow(id, window); }
int CMediaTap::PlayRemoteAudioData(uint64_t id, const unsigned char* data, int len) {
    return m_remote->PlayAudio(id, data, len);
}
int CMediaTap::CreateRemoteAudio(uint64_t* id) { return m_remote->CreateAudio(id); }
int CMediaTap::CloseRemoteAudio(uint64_t id) { return m_remote->CloseAudio(id); }
int CMediaTap::PlayRemoteVideoData(uint64_t id, const unsigned char* data, int len) {
    return m_remote->PlayVideo(id, data, len);
}

}  // namespace mediatap
