// Remote play channels (decoding and showing received streams). Not built yet: every call
// answers failure and no id is handed out.
#include "mediatap_engine.h"

namespace mediatap {

int CMediaTap::CreateRemoteVideo(uint64_t*, OvHwnd) { return -1; }
int CMediaTap::CloseRemoteVideo(uint64_t) { return -1; }
int CMediaTap::ChangeRemoteVideoWindow(uint64_t, OvHwnd) { return -1; }
int CMediaTap::PlayRemoteAudioData(uint64_t, const unsigned char*, int) { return -1; }
int CMediaTap::CreateRemoteAudio(uint64_t*) { return -1; }
int CMediaTap::CloseRemoteAudio(uint64_t) { return -1; }
int CMediaTap::PlayRemoteVideoData(uint64_t, const unsigned char*, int) { return -1; }

}  // namespace mediatap
