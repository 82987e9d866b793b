// Test media: H.264 access units and AAC frames made with ffmpeg (testsrc, a sine tone) and
// split here, plus a recording sink for publish events.
#pragma once

#include "rtmplink/IRtmpMgr.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace rtmptest {

struct Frame {
    std::vector<uint8_t> data;
    uint32_t timestamp = 0;
    bool key = false;
};

struct TestMedia {
    std::vector<Frame> video;  // Annex-B access units (AUD removed), 25 fps
    std::vector<Frame> audio;  // raw AAC frames (ADTS header removed), 16 kHz mono
    std::vector<uint8_t> aacConfig;
};

// Made once per process: `seconds` of 320x240 video with a key frame every 10 frames and
// no B-frames, and AAC at 16 kHz mono. Empty on failure.
const TestMedia& Media(int seconds = 2);

// Splits Annex-B H.264 made with access unit delimiters into access units.
std::vector<Frame> SplitAccessUnits(const std::vector<uint8_t>& stream, int fps);
// Splits ADTS AAC into raw frames; fills the AudioSpecificConfig.
std::vector<Frame> SplitAdts(const std::vector<uint8_t>& stream, std::vector<uint8_t>* config);

struct Event {
    int id;
    std::string name;
    RTMP_RESULT result;
    bool infoNull;
    int infoLen;
};

class RecordingSink : public IRtmpMgrSink {
public:
    bool OnPublishEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) override;
    bool OnPlayEvent(int, std::string, RTMP_RESULT, char*, int) override { return true; }
    bool OnPlayVideoData(int, unsigned long long, unsigned char*, int, bool) override { return true; }
    bool OnPlayAudioData(int, unsigned long long, unsigned char*, int) override { return true; }

    std::vector<Event> Events();
    int Count(RTMP_RESULT result);
    // Waits until `count` events with this result arrived (at most timeoutMs).
    bool WaitFor(RTMP_RESULT result, int count, int timeoutMs);

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
};

// Feeds frames to a publisher in timestamp order, at real-time pace (times speed).
void FeedRealTime(IRtmpMgr* mgr, int id, const std::vector<Frame>& video, const std::vector<Frame>& audio,
                  double speed = 1.0);

// ffprobe output (csv) for a recording.
std::string Probe(const std::vector<std::string>& args);

}  // namespace rtmptest
