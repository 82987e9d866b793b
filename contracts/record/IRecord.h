// The recording library: writes one H.264 video track and one AAC audio track into a file.
//
// The container follows the file name's extension (".mp4", ".mkv", ".flv", ...; anything else
// is written as FLV). Timestamps are the milliseconds given to the writes, taken relative to
// the first write. Threads: one thread at a time per recorder.
#pragma once

#include <string>

class IRecord {
public:
    // Opens filePath for writing, replacing a file already there. The constants as the
    // endpoint passes them: Open(path, 2, width, height, 10, 16, 16000, 1, 10, withAudio)
    //   audioCodec     2 = AAC (the only codec accepted)
    //   videoWidth,
    //   videoHeight    size of the H.264 frames, in pixels (both > 0)
    //   frameRate      nominal video frames per second, written into the file's header
    //   sampleBits     bits per audio sample before encoding (16)
    //   sampleRate     audio samples per second (16000)
    //   channels       audio channels (1)
    //   flushSeconds   the file is flushed to disk at least this often, so a crash loses
    //                  at most this much
    //   withAudio      true: the file has an audio track; false: video only, and the audio
    //                  calls are accepted and ignored
    // False when the arguments are unusable or the file cannot be created.
    /* 0 */ virtual bool Open(const std::string& filePath, int audioCodec, int videoWidth,
                              int videoHeight, int frameRate, int sampleBits, int sampleRate,
                              int channels, int flushSeconds, bool withAudio) = 0;
    // One raw AAC frame (no ADTS header) at timeMs. audioCodec as in Open. 0 on success.
    /* 1 */ virtual int WriteAudio(int audioCodec, unsigned int timeMs, const unsigned char* data,
                                   int len) = 0;
    // One H.264 access unit in Annex-B form at timeMs. 0 on success.
    /* 2 */ virtual int WriteVideo(unsigned int timeMs, const unsigned char* data, int len,
                                   bool keyFrame) = 0;
    // The AAC decoder configuration (AudioSpecificConfig). Setting the same bytes again is
    // harmless. 0 on success.
    /* 3 */ virtual int SetAudioHeader(const unsigned char* header, int len) = 0;
    // Finishes and closes the file. 0 on success.
    /* 4 */ virtual int Close() = 0;

protected:
    ~IRecord() = default;
};

extern "C" {
IRecord* CreateRecord();
void DestroyRecord(IRecord* recorder);
}
