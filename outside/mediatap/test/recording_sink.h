// An engine sink that keeps a copy of every video frame it is given, and every source it is
// told has ended (as "uniName: why").
#pragma once

#include "mediatap/IMediaTap.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mediatap_test {

class RecordingSink final : public IMediaTapSink {
public:
    struct Frame {
        std::string uniName;
        std::vector<uint8_t> data;
        bool key;
        unsigned timestamp;
        std::chrono::steady_clock::time_point at;
        std::thread::id thread;
    };
    int OnSendVideoPacketCount(const char*) override { return 0; }
    int OnRtpVideoData(const char* uniName, const unsigned char* data, int len, bool key, unsigned ts) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_frames.push_back(Frame{uniName, std::vector<uint8_t>(data, data + len), key, ts,
                                 std::chrono::steady_clock::now(), std::this_thread::get_id()});
        return 0;
    }
    int OnAudioData(int, int, const unsigned char*, int, int, unsigned) override { return 0; }
    int OnMixerAudioData(const char*, const unsigned char*, int) override { return 0; }
    int OnMixerAudioHeaderData(const char*, char*, int) override { return 0; }
    int OnSourceEnded(const char* uniName, const char* why) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ended.push_back(std::string(uniName) + ": " + why);
        return 0;
    }

    std::vector<Frame> Frames(const std::string& uniName = "") {
        std::lock_guard<std::mutex> lock(m_lock);
        if (uniName.empty()) return m_frames;
        std::vector<Frame> out;
        for (const Frame& f : m_frames)
            if (f.uniName == uniName) out.push_back(f);
        return out;
    }
    size_t Count(const std::string& uniName = "") { return Frames(uniName).size(); }
    // Sorted.
    std::vector<std::string> Ended() {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<std::string> sorted = m_ended;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

private:
    std::mutex m_lock;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_ended;
};

}  // namespace mediatap_test
