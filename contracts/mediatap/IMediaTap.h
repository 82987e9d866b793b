// The capture and encode engine, as the endpoint drives it.
//
// Local sources are named by uniName strings (at most 127 bytes plus the terminator; buffers
// the engine fills are 128 bytes). Remote play channels are 64-bit ids that the engine fills
// in and that stay valid until closed. int results: 0 is success unless said otherwise.
// The virtual slots are in a fixed order; the Reserved slots are never called and keep the
// order. Neither interface has a virtual destructor: objects are destroyed through the
// factory functions only.
#pragma once

#include "common/ovtypes.h"

#include <cstdint>

// Receives what the engine encodes; called on the engine's own threads. Results are ignored.
class IMediaTapSink {
public:
    /* 0 */ virtual int OnSendVideoPacketCount(const char* uniName) = 0;
    // One H.264 access unit behind a 12-byte RTP-style header (0x80, 0xE0, 16-bit sequence,
    // 32-bit 90 kHz timestamp, 32-bit source id), Annex-B with 4-byte start codes; a key frame
    // starts with SPS and PPS. timestamp is in milliseconds.
    /* 1 */ virtual int OnRtpVideoData(const char* uniName, const unsigned char* data, int len,
                                       bool keyFrame, unsigned int timestamp) = 0;
    /* 2 */ virtual int OnAudioData(int a, int b, const unsigned char* data, int len, int c,
                                    unsigned int d) = 0;
    // One raw AAC frame of the mixer (no ADTS header).
    /* 3 */ virtual int OnMixerAudioData(const char* uniName, const unsigned char* data, int len) = 0;
    // The mixer's AAC decoder configuration (AudioSpecificConfig), at most 11 bytes.
    /* 4 */ virtual int OnMixerAudioHeaderData(const char* uniName, char* header, int len) = 0;

protected:
    ~IMediaTapSink() = default;
};

class IMediaTap {
public:
    /* 0 */ virtual int Reserved0() = 0;
    /* 1 */ virtual int GetCameraCount() = 0;
    /* 2 */ virtual int GetCameraNames(int index, char* name, char* uniName) = 0;
    /* 3 */ virtual int OpenCamera(const char* uniName, int a, int b, int c) = 0;
    /* 4 */ virtual int CloseCamera(const char* uniName) = 0;
    /* 5 */ virtual int PrepareVideoPublish(const char* uniName) = 0;
    /* 6 */ virtual int AddVideoWindow(const char* uniName, OvHwnd window) = 0;
    /* 7 */ virtual int RemoveVideoWindow(const char* uniName, OvHwnd window) = 0;
    /* 8 */ virtual int RemoveAllVideoWindows(const char* uniName) = 0;
    // -1 on failure.
    /* 9 */ virtual int StartEncodeVideo(const char* uniName, int width, int height) = 0;
    // -1 on failure.
    /* 10 */ virtual int StopEncodeVideo(const char* uniName) = 0;
    /* 11 */ virtual bool IsVideoEncoding(const char* uniName) = 0;
    /* 12 */ virtual int ForceKeyFrame(const char* uniName) = 0;
    /* 13 */ virtual int GetVideoParamB(const char* uniName) = 0;
    /* 14 */ virtual int GetVideoParamA(const char* uniName) = 0;
    /* 15 */ virtual int Reserved15() = 0;
    /* 16 */ virtual int Reserved16() = 0;
    /* 17 */ virtual int Reserved17() = 0;
    /* 18 */ virtual int Reserved18() = 0;
    /* 19 */ virtual int StartCapturePicture(char* uniNameOut) = 0;
    /* 20 */ virtual int StopCapturePicture(const char* uniName) = 0;
    /* 21 */ virtual int SetCapturePicture(const char* uniName, const unsigned char* data,
                                           int width, int height, int format) = 0;
    // x, y, w, h: a capture rectangle inside the window (all 0: the whole window); then the
    // bitrate in kbit/s, the output width, the output height and the frame rate.
    /* 22 */ virtual int StartCaptureApplication(char* uniNameOut, OvHwnd window, bool flag,
                                                 int x, int y, int w, int h, int bitrateKbps,
                                                 int outWidth, int outHeight, int fps) = 0;
    /* 23 */ virtual int StopCaptureApplication(const char* uniName) = 0;
    /* 24 */ virtual int Reserved24() = 0;
    /* 25 */ virtual int Reserved25() = 0;
    /* 26 */ virtual int Reserved26() = 0;
    /* 27 */ virtual int CreateRemoteVideo(uint64_t* id, OvHwnd window) = 0;
    /* 28 */ virtual int Reserved28() = 0;
    /* 29 */ virtual int Reserved29() = 0;
    /* 30 */ virtual int CloseRemoteVideo(uint64_t id) = 0;
    /* 31 */ virtual int ChangeRemoteVideoWindow(uint64_t id, OvHwnd window) = 0;
    /* 32 */ virtual int PlayRemoteAudioData(uint64_t id, const unsigned char* data, int len) = 0;
    /* 33 */ virtual int Reserved33() = 0;
    /* 34 */ virtual int Reserved34() = 0;
    /* 35 */ virtual int Reserved35() = 0;
    /* 36 */ virtual int GetMicphoneCount() = 0;
    /* 37 */ virtual int GetMicphoneNames(int index, char* name, char* uniName) = 0;
    /* 38 */ virtual int GetSpeakerCount() = 0;
    /* 39 */ virtual int GetSpeakerNames(int index, char* name, char* uniName) = 0;
    /* 40 */ virtual int OpenMic(const char* uniName) = 0;
    /* 41 */ virtual int CloseMic() = 0;
    /* 42 */ virtual int Reserved42() = 0;
    /* 43 */ virtual int OpenSpeaker(const char* uniName) = 0;
    /* 44 */ virtual int CreateRemoteAudio(uint64_t* id) = 0;
    /* 45 */ virtual int CloseRemoteAudio(uint64_t id) = 0;
    /* 46 */ virtual int PlayRemoteVideoData(uint64_t id, const unsigned char* data, int len) = 0;
    /* 47 */ virtual int Reserved47() = 0;
    /* 48 */ virtual int SetMicVolume(int volume) = 0;
    /* 49 */ virtual int GetMicVolume() = 0;
    /* 50 */ virtual int SetSpeakerVolume(int volume) = 0;
    /* 51 */ virtual int GetSpeakerVolume() = 0;
    /* 52 */ virtual int SetAgcStatus(bool on) = 0;
    /* 53 */ virtual int SetMuteStatus(bool mute) = 0;
    /* 54 */ virtual int GetMuteStatus(bool* mute) = 0;
    /* 55 */ virtual int StartEncodeMixer(const char* uniName, int a, int b, int c) = 0;
    /* 56 */ virtual int StopEncodeMixer(const char* uniName) = 0;
    /* 57 */ virtual int StartTestMic(const char* uniName) = 0;
    /* 58 */ virtual int StopTestMic() = 0;
    /* 59 */ virtual int StartTestSpeaker(const char* uniName, const char* filePath) = 0;
    /* 60 */ virtual int StopTestSpeaker() = 0;
    /* 61 */ virtual int GetTestMicLevel() = 0;
    /* 62 */ virtual int GetTestSpkLevel() = 0;

protected:
    ~IMediaTap() = default;
};

extern "C" {
// flags: 0.
IMediaTap* CreateMediaTap(IMediaTapSink* sink, int flags);
void DestoryMediaTap(IMediaTap* engine);
}
