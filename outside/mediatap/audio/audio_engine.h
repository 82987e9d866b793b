// The audio half of the capture engine: the audio slots of IMediaTap, over a sound server.
//
// Meaning of the slots (int results: 0 success, -1 failure, unless said otherwise):
// - GetMicphoneCount / GetSpeakerCount: the server's capture devices (monitors of sinks left
//   out) and playback devices; 0 without a server. Devices whose server name does not fit 127
//   bytes are not listed (that name could not be handed back to open them).
// - GetMicphoneNames / GetSpeakerNames (index, name, uniName): the display name (cut to 127
//   bytes at a character boundary) and the server name (the uniName the open calls take) of
//   device `index` (0 based), each with its terminator in a 128-byte buffer. -1 for an index out
//   of range or a null buffer.
// - OpenMic (uniName): the microphone that the mixer mixes in, the mic test and the volume and
//   mute calls use; "" or null is the server's default source. -1 when there is no such device.
//   A running mixer switches to it within one frame. CloseMic: the mixer stops mixing it in;
//   volume and mute calls go to the default source again. 0 also when none was open.
// - OpenSpeaker (uniName): the speaker for the speaker volume calls and the speaker test; "" or
//   null is the default sink. -1 when there is no such device.
// - SetMicVolume / SetSpeakerVolume (volume): 0 to 100 percent of the device's normal volume,
//   set on every channel of the open device (or the default one when none is open) in the
//   server; -1 outside 0 to 100 or without a device. GetMicVolume / GetSpeakerVolume: that
//   volume (the mean over channels, rounded), -1 without a device.
// - SetMuteStatus (mute) / GetMuteStatus (bool* mute): the microphone's mute switch in the
//   server; -1 without a device or for a null pointer.
// - SetAgcStatus (on): the automatic gain on the microphone path of the mixer (AutoGain in
//   audio_dsp.h: peaks led towards -6 dBFS, gain between -12 and +20 dB, held below -50 dBFS,
//   never clipping). Off at the start; always 0. It does not touch the device's own volume.
// - StartEncodeMixer (uniName, kbps, rate, channels): starts the mixer, which labels its frames
//   with uniName (1 to 127 bytes): the default sink's monitor plus the open microphone, as
//   AAC-LC at kbps kbit/s (8 to 320), rate Hz (an AAC rate, 8000 to 96000) and 1 or 2
//   channels. One OnMixerAudioHeaderData (the AudioSpecificConfig, 2 bytes for these
//   settings) comes before the first frame; each OnMixerAudioDataAt is one raw AAC frame of
//   1024 samples, stamped with the capture time of its first sample (IMediaTap.h), or an
//   OnMixerAudioData for a sink that did not offer capture times.
//   With no server or no source it encodes silence in real time; a server that stops
//   answering holds up neither its clock nor StopEncodeMixer, and its sound comes back when
//   the server answers again.
//   Started again with the same name and settings: nothing changes but the header is sent
//   again; with other settings it restarts with them. -1 for bad arguments or while a mixer of
//   another name runs.
// - StopEncodeMixer (uniName): stops it; -1 when no mixer of that name runs.
// - StartTestMic (uniName): measures the peak level of a microphone ("" or null: the open one,
//   else the default); restarts a running test; -1 when it cannot be captured. StopTestMic: 0.
//   GetTestMicLevel: 0 to 100, linear in amplitude (a full-scale peak is 100), the highest
//   peak of the last 150 ms; 0 when no test runs.
// - StartTestSpeaker (uniName, filePath): plays the file's first audio stream once to the
//   speaker ("" or null: the open one, else the default); -1 with a log line for a missing or
//   undecodable file or a speaker that cannot be played to. StopTestSpeaker: 0.
//   GetTestSpkLevel: 0 to 100, the peak of the sound handed to the speaker last; 0 when none.
//
// A sound server that stops answering costs a slot at most one wait of 2 s; from then on the
// slots answer as without a server (one log line) until it answers again.
//
// Threads: every slot may be called from any thread; they are serialised by one lock. The sink
// is called on the mixer's thread only, never after StopEncodeMixer or the destructor returned;
// a sink callback must not call the audio slots (stopping the mixer from its own thread would
// wait for itself).
#pragma once

#include "mediatap/IMediaTap.h"

#include <memory>

namespace mediatap {
namespace audio {

class ISoundServer;

class IAudioEngine {
public:
    virtual ~IAudioEngine() = default;
    virtual int GetMicphoneCount() = 0;
    virtual int GetMicphoneNames(int index, char* name, char* uniName) = 0;
    virtual int GetSpeakerCount() = 0;
    virtual int GetSpeakerNames(int index, char* name, char* uniName) = 0;
    virtual int OpenMic(const char* uniName) = 0;
    virtual int CloseMic() = 0;
    virtual int OpenSpeaker(const char* uniName) = 0;
    virtual int SetMicVolume(int volume) = 0;
    virtual int GetMicVolume() = 0;
    virtual int SetSpeakerVolume(int volume) = 0;
    virtual int GetSpeakerVolume() = 0;
    virtual int SetAgcStatus(bool on) = 0;
    virtual int SetMuteStatus(bool mute) = 0;
    virtual int GetMuteStatus(bool* mute) = 0;
    virtual int StartEncodeMixer(const char* uniName, int kbps, int rate, int channels) = 0;
    virtual int StopEncodeMixer(const char* uniName) = 0;
    virtual int StartTestMic(const char* uniName) = 0;
    virtual int StopTestMic() = 0;
    virtual int StartTestSpeaker(const char* uniName, const char* filePath) = 0;
    virtual int StopTestSpeaker() = 0;
    virtual int GetTestMicLevel() = 0;
    virtual int GetTestSpkLevel() = 0;
};

// The audio half over the given server (never null; owned by the result), calling sink (never
// null) with the mixer's output. sinkFlags: the MEDIATAP_SINK_ values the sink offers (with
// MEDIATAP_SINK_CAPTURE_TIMES the frames go to OnMixerAudioDataAt with their capture times,
// else to OnMixerAudioData).
std::unique_ptr<IAudioEngine> CreateAudioEngine(std::unique_ptr<ISoundServer> server, IMediaTapSink* sink,
                                                int sinkFlags = MEDIATAP_SINK_CAPTURE_TIMES);
// The same over the PulseAudio server of the environment.
std::unique_ptr<IAudioEngine> CreatePulseAudioEngine(IMediaTapSink* sink, int sinkFlags = MEDIATAP_SINK_CAPTURE_TIMES);
// The same over a connection the caller shares with others (see ShareSoundServer).
std::unique_ptr<IAudioEngine> CreateSharedAudioEngine(std::shared_ptr<ISoundServer> server, IMediaTapSink* sink,
                                                      int sinkFlags = MEDIATAP_SINK_CAPTURE_TIMES);

}  // namespace audio
}  // namespace mediatap
