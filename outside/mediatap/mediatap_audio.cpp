// The audio half of the engine (microphones, speakers, the sound mixer and device tests).
// Not built yet: every call answers failure (counts 0, levels and volumes -1).
#include "mediatap_engine.h"

namespace mediatap {

int CMediaTap::GetMicphoneCount() { return 0; }
int CMediaTap::GetMicphoneNames(int, char*, char*) { return -1; }
int CMediaTap::GetSpeakerCount() { return 0; }
int CMediaTap::GetSpeakerNames(int, char*, char*) { return -1; }
int CMediaTap::OpenMic(const char*) { return -1; }
int CMediaTap::CloseMic() { return -1; }
int CMediaTap::OpenSpeaker(const char*) { return -1; }
int CMediaTap::SetMicVolume(int) { return -1; }
int CMediaTap::GetMicVolume() { return -1; }
int CMediaTap::SetSpeakerVolume(int) { return -1; }
int CMediaTap::GetSpeakerVolume() { return -1; }
int CMediaTap::SetAgcStatus(bool) { return -1; }
int CMediaTap::SetMuteStatus(bool) { return -1; }
int CMediaTap::GetMuteStatus(bool*) { return -1; }
int CMediaTap::StartEncodeMixer(const char*, int, int, int) { return -1; }
int CMediaTap::StopEncodeMixer(const char*) { return -1; }
int CMediaTap::StartTestMic(const char*) { return -1; }
int CMediaTap::StopTestMic() { return -1; }
int CMediaTap::StartTestSpeaker(const char*, const char*) { return -1; }
int CMediaTap::StopTestSpeaker() { return -1; }
int CMediaTap::GetTestMicLevel() { return -1; }
int CMediaTap::GetTestSpkLevel() { return -1; }

}  // namespace mediatap
