// The recording library: writes one H.264 video track and, when asked for, one AAC audio
// track into a file.
//
// Binary contract: slots are only ever appended, never reordered or changed, and callbacks
// into a host are opt-in (made only through interfaces the host registered).
//
// The container follows the file name's extension, in any letter case: ".mp4" is fragmented
// MP4 (a fragment at every key frame and at least every flushSeconds, so a file whose writer
// died plays up to its last complete fragment), ".flv" is FLV, ".mkv" is Matroska. Any other
// name is refused by Open.
//
// The file begins at the first key frame that carries its parameter sets (SPS and PPS): they
// become the codec configuration, and video frames before it, and audio frames written before
// it or stamped before it (until the first audio frame is in), are dropped. With audio, the
// file also needs the AudioSpecificConfig from SetAudioHeader; video is held until it arrives,
// for at most flushSeconds, after which (and at Close) the configuration of AAC-LC at Open's
// sampleRate and channels stands in.
//
// Timestamps are the milliseconds given to the writes (32-bit ticks; their wrap is handled),
// relative to the first frame written. Callers pass each frame's capture time, on one clock for
// both tracks, so the tracks stay in step whatever each frame's delay before the write. Within
// a track they never go backwards: a time not after the previous one of its track becomes that
// one plus 1 ms. Frames are taken in decoding order with no reordering (presentation time =
// decoding time).
//
// Write results: 0 written (or held for writing), 1 dropped by the rules above, -1 failure
// (not open, closed, bad arguments, or the file could not be written).
//
// Threads: one thread at a time per recorder; calls may move from one thread to another (the
// recorder locks its state). Separate recorders are independent.
#pragma once

#include <string>

class IRecord {
public:
    // Opens filePath for writing, replacing a file already there. The constants as the
    // endpoint passes them: Open(path, 2, width, height, 10, 16, 16000, 1, 10, withAudio)
    //   audioCodec     2 = AAC (the only codec accepted)
    //   videoWidth,
    //   videoHeight    size of the H.264 frames, in pixels (0: not known); the size in the
    //                  first key frame's sequence parameter set is what the file records,
    //                  these stand in only when that cannot be read (a key frame whose size
    //                  is known neither way is dropped)
    //   frameRate      nominal video frames per second (1..1000), written into the file's
    //                  header and used as the duration of a video frame
    //   sampleBits     bits per audio sample before encoding (16; any value > 0 is accepted)
    //   sampleRate     audio samples per second (16000), an AAC sampling frequency
    //   channels       audio channels (1..7)
    //   flushSeconds   (> 0) the longest span of media the recorder keeps before it reaches
    //                  the file (MP4 fragment length, Matroska cluster length, longest wait
    //                  for the audio header); FLV packets reach the file at once
    //   withAudio      true: the file has an audio track; false: video only, and the audio
    //                  calls are accepted (0) and ignored. sampleRate and channels are
    //                  checked only with audio. The endpoint passes true exactly when the
    //                  recording names an audio source (its StartRecord audio uniName is not
    //                  empty); StartRecord's own flag does not reach this argument and
    //                  chooses no track, so it can never drop a source the recording names
    // False, with no file created, when the arguments are unusable, the extension is not one
    // of the three, the recorder is already open, or the file cannot be created.
    /* 0 */ virtual bool Open(const std::string& filePath, int audioCodec, int videoWidth,
                              int videoHeight, int frameRate, int sampleBits, int sampleRate,
                              int channels, int flushSeconds, bool withAudio) = 0;
    // One raw AAC frame at timeMs (an ADTS header in front of it is removed). audioCodec as
    // in Open.
    /* 1 */ virtual int WriteAudio(int audioCodec, unsigned int timeMs, const unsigned char* data,
                                   int len) = 0;
    // One H.264 access unit in Annex-B form (3- or 4-byte start codes) at timeMs; keyFrame
    // marks an IDR access unit. Access-unit delimiters are not stored.
    /* 2 */ virtual int WriteVideo(unsigned int timeMs, const unsigned char* data, int len,
                                   bool keyFrame) = 0;
    // The AAC decoder configuration (AudioSpecificConfig, at most 64 bytes). Setting the same
    // bytes again is harmless; other bytes after the file has begun are refused (-1), before
    // it they replace the earlier ones.
    /* 3 */ virtual int SetAudioHeader(const unsigned char* header, int len) = 0;
    // Writes what is held, finishes and closes the file; 0 on success, -1 when not open or the
    // file could not be finished. A recording that never got a key frame leaves no file. The
    // recorder may be opened again afterwards. DestroyRecord closes an open recorder.
    /* 4 */ virtual int Close() = 0;

protected:
    ~IRecord() = default;
};

extern "C" {
// A new recorder (null only when memory is exhausted).
IRecord* CreateRecord();
// Closes (if open) and frees a recorder; null is ignored.
void DestroyRecord(IRecord* recorder);
}
