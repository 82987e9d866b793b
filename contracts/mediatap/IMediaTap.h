// The capture and encode engine, as the endpoint drives it.
//
// Binary contract: slots are only ever appended, never reordered or changed; the engine
// calls a sink slot beyond the first five only when the sink offered it (the flags of
// CreateMediaTap), and callers call an engine slot past 62 only when the engine's
// MediaTapSlotCount says it has it.
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
    // 32-bit 90 kHz timestamp, 32-bit source id, big-endian), Annex-B without access unit
    // delimiters. A key frame (keyFrame true, an IDR) is 00 00 00 01 SPS 00 00 00 01 PPS,
    // then its SEI and IDR NAL units behind 3-byte start codes; an inter frame is
    // 00 00 00 01 and one slice. Called on the source's own thread.
    //
    // Timestamps of both media calls are on one clock, the steady millisecond clock of the
    // support library (ovGetTickCount, low 32 bits; compare them by their 32-bit difference),
    // so a picture and a sound captured at the same instant carry the same time whatever the
    // encoders' delays. For video it is the time the picture was grabbed (the frame's slot on
    // the source's frame grid; the RTP header carries the same time at 90 kHz).
    /* 1 */ virtual int OnRtpVideoData(const char* uniName, const unsigned char* data, int len,
                                       bool keyFrame, unsigned int timestamp) = 0;
    // Not called by this engine.
    /* 2 */ virtual int OnAudioData(int a, int b, const unsigned char* data, int len, int c,
                                    unsigned int d) = 0;
    // One raw AAC frame of the mixer (no ADTS header), without its capture time: the receiver
    // stamps it on arrival. Called only for a sink that did not offer OnMixerAudioDataAt.
    /* 3 */ virtual int OnMixerAudioData(const char* uniName, const unsigned char* data, int len) = 0;
    // The mixer's AAC decoder configuration (AudioSpecificConfig), at most 11 bytes.
    /* 4 */ virtual int OnMixerAudioHeaderData(const char* uniName, char* header, int len) = 0;
    // One raw AAC frame of the mixer with its capture time; called instead of OnMixerAudioData
    // when the sink offered it (MEDIATAP_SINK_CAPTURE_TIMES). captureMs (see above) is the
    // capture time of the first sample the frame decodes to: the encoder's delay and priming
    // are taken out, so the first frame of a stream (the encoder's priming) is stamped one frame
    // before the first captured sample. Frames of one stream are one frame duration apart,
    // except where the capture lost or gained time (then the times jump forward, never back).
    /* 5 */ virtual int OnMixerAudioDataAt(const char* uniName, const unsigned char* data, int len,
                                           unsigned int captureMs) {
        (void)captureMs;
        return OnMixerAudioData(uniName, data, len);
    }
    // A local source ended by itself: its window was closed, or the connection to its display
    // broke. It encodes nothing more (IsVideoEncoding false) and stays known until stopped.
    // why says what happened, for people. Called once per source, on the source's own thread,
    // and only for a sink that offered it (MEDIATAP_SINK_SOURCE_ENDED).
    /* 6 */ virtual int OnSourceEnded(const char* uniName, const char* why) {
        (void)uniName;
        (void)why;
        return 0;
    }

protected:
    ~IMediaTapSink() = default;
};

// Integer arguments of the video half:
// - Sizes are output sizes in pixels, 16 to 4096; an odd value is rounded down to even.
// - A source started with a size of its own (an application capture, or a camera opened at
//   a size) keeps it: the size given to StartEncodeVideo applies to sources without one
//   (pictures).
// - The camera slots fail (count 0) while the camera plug-in (libCamPort.so) is absent.
// - The audio half (devices, mixer, device tests) is documented in audio/audio_engine.h: the
//   mixer runs without any sound server, encoding silence.
class IMediaTap {
public:
    /* 0 */ virtual int Reserved0() = 0;
    // Cameras come from the camera plug-in; without it the count is 0 and the others fail.
    /* 1 */ virtual int GetCameraCount() = 0;
    // name and uniName: 128-byte buffers.
    /* 2 */ virtual int GetCameraNames(int index, char* name, char* uniName) = 0;
    // a, b, c: the wanted width, height and frame rate.
    /* 3 */ virtual int OpenCamera(const char* uniName, int a, int b, int c) = 0;
    /* 4 */ virtual int CloseCamera(const char* uniName) = 0;
    // A new receiver is coming: the source's next frame is a key frame. -1 for an unknown
    // source.
    /* 5 */ virtual int PrepareVideoPublish(const char* uniName) = 0;
    // Preview windows of a camera or an application capture: every frame is drawn, fitted,
    // into the X11 window. Add: 0 also when the window shows the source already; -1 for an
    // unknown source, a picture source, window 0 or a window the X server does not have.
    // Remove: -1 when the window did not show the source. RemoveAll: -1 only for an unknown
    // source. Closing a camera or stopping a capture removes its windows.
    /* 6 */ virtual int AddVideoWindow(const char* uniName, OvHwnd window) = 0;
    /* 7 */ virtual int RemoveVideoWindow(const char* uniName, OvHwnd window) = 0;
    /* 8 */ virtual int RemoveAllVideoWindows(const char* uniName) = 0;
    // Encoding on: an application capture resumes at its own size (with a key frame first);
    // a picture source starts at width x height, 5 frames a second (already encoding: no
    // change). -1 on failure (unknown or ended source, bad size).
    /* 9 */ virtual int StartEncodeVideo(const char* uniName, int width, int height) = 0;
    // Encoding off: an application capture pauses (nothing is read or sent until
    // StartEncodeVideo), a picture source stops. -1 for an unknown source.
    /* 10 */ virtual int StopEncodeVideo(const char* uniName) = 0;
    // True while frames are being sent; false once a captured window or its display has gone.
    /* 11 */ virtual bool IsVideoEncoding(const char* uniName) = 0;
    // The next frame is an IDR with SPS and PPS. -1 when the source is unknown or not encoding.
    /* 12 */ virtual int ForceKeyFrame(const char* uniName) = 0;
    // Height of the encoded frames (a picture source: 0 until first encoded); -1 unknown.
    /* 13 */ virtual int GetVideoParamB(const char* uniName) = 0;
    // Width of the encoded frames (a picture source: 0 until first encoded); -1 unknown.
    /* 14 */ virtual int GetVideoParamA(const char* uniName) = 0;
    /* 15 */ virtual int Reserved15() = 0;
    /* 16 */ virtual int Reserved16() = 0;
    /* 17 */ virtual int Reserved17() = 0;
    /* 18 */ virtual int Reserved18() = 0;
    // A still-picture source (black until a picture is set); its name goes to uniNameOut
    // (128 bytes). It encodes once StartEncodeVideo gives it a size.
    /* 19 */ virtual int StartCapturePicture(char* uniNameOut) = 0;
    /* 20 */ virtual int StopCapturePicture(const char* uniName) = 0;
    // The picture to publish from now on, scaled to fit the encoded size with black bars.
    // width x height pixels (1 to 8192 each), rows top to bottom without padding; format:
    // 1 = 3 bytes R, G, B; 2 = 3 bytes B, G, R; 3 = 4 bytes B, G, R, A; 4 = 4 bytes R, G, B, A
    // (alpha ignored). data must hold width * height * bytes-per-pixel bytes.
    /* 21 */ virtual int SetCapturePicture(const char* uniName, const unsigned char* data,
                                           int width, int height, int format) = 0;
    // Captures an X11 window (0 or the root window: the desktop), following its moves and
    // resizes, and starts encoding it at once; a fresh name (at most 127 characters) goes to
    // uniNameOut (128 bytes). flag: true draws the mouse pointer into the frames.
    // x, y, w, h: a capture rectangle inside the window (all 0: the whole window; otherwise
    // x, y >= 0 and w, h > 0), cut to the window as it is now; then the bitrate in kbit/s (1 to 100000), the output width and
    // height (both 0: the capture rectangle's size at the start) and the frame rate (1 to
    // 60). The picture is scaled to the output size keeping its aspect ratio (black bars).
    // When the window goes away, or the connection to its X display breaks, the source ends
    // (IsVideoEncoding false; OnSourceEnded for a sink that offered it) until stopped.
    // -1 for bad arguments, a window that does not exist or a display that cannot be opened.
    /* 22 */ virtual int StartCaptureApplication(char* uniNameOut, OvHwnd window, bool flag,
                                                 int x, int y, int w, int h, int bitrateKbps,
                                                 int outWidth, int outHeight, int fps) = 0;
    /* 23 */ virtual int StopCaptureApplication(const char* uniName) = 0;
    /* 24 */ virtual int Reserved24() = 0;
    /* 25 */ virtual int Reserved25() = 0;
    /* 26 */ virtual int Reserved26() = 0;
    // A remote video channel draws each decoded picture into its window (0: nowhere). A
    // window that cannot be drawn into still gives a channel; changing to one gives -1 and
    // keeps the old window. Remote audio plays to the speaker OpenSpeaker chose last.
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
    // Changes the bitrate of a running video source's encoder, in kbit/s, from its next
    // picture on: no new key frame, no gap in the frame grid. kbps is clamped to at most the
    // bitrate the source was started with (and at least 50); kbps 0 changes nothing. Returns
    // the bitrate the source was started with, or -1 for an unknown source or one that has
    // no encoder running.
    /* 63 */ virtual int SetVideoBitrate(const char* uniName, int kbps) = 0;

protected:
    ~IMediaTap() = default;
};

// Flags of CreateMediaTap: the sink slots beyond the first five that the sink offers. An
// engine calls only the slots it was offered; an engine that knows no flags ignores them.
enum {
    MEDIATAP_SINK_CAPTURE_TIMES = 1,  // slot 5, OnMixerAudioDataAt
    MEDIATAP_SINK_SOURCE_ENDED = 2,   // slot 6, OnSourceEnded
};

// The IMediaTap slots this header declares (0 to 63): what MediaTapSlotCount answers.
enum { MEDIATAP_SLOT_COUNT = 64 };

extern "C" {
// sink must not be null (null gives null); flags: the MEDIATAP_SINK_ values the sink offers.
IMediaTap* CreateMediaTap(IMediaTapSink* sink, int flags);
void DestoryMediaTap(IMediaTap* engine);
// The number of IMediaTap slots the engine implements (MEDIATAP_SLOT_COUNT today). Exported by engines with
// slots past 62; callers reference it weakly and call no slot the engine does not have. An
// engine without it has slots 0 to 62.
int MediaTapSlotCount(void);
}
