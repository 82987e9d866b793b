// Helpers shared by the camera plug-in's tests: captured log lines, a pattern clip made with
// ffmpeg's testsrc, and a frame sink that keeps what it receives.
#pragma once

#include "camport/IVideoCapture.h"
#include "common/slogger.h"
#include "support/process.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace camtest {

// Switches the process logger on into a fresh folder for the life of the object.
class LogCapture {
public:
    LogCapture() : m_dir("camlog") {
        auto* log = Orvane::Common::slogger::Inst();
        log->InitLogInfoPath(m_dir.path());
        log->m_bLogEnabled = true;
    }
    ~LogCapture() {
        auto* log = Orvane::Common::slogger::Inst();
        log->m_bLogEnabled = false;
        Orvane::Common::slogger::Release();
    }
    std::string Text() const { return testsupport::ReadFile(Orvane::Common::slogger::Inst()->GetLogFile()); }
    bool Has(const std::string& line) const { return Text().find(line) != std::string::npos; }
    size_t Count(const std::string& line) const {
        const std::string text = Text();
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
        return n;
    }

private:
    testsupport::TempDir m_dir;
};

// A one-frame clip of ffmpeg's testsrc pattern (lossless), made once per test binary.
inline const std::string& PatternClip() {
    static testsupport::TempDir dir("campattern");
    static std::string path;
    if (path.empty()) {
        const std::string file = dir.file("testsrc.nut");
        int status = -1;
        testsupport::RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30",
                                 "-frames:v", "1", "-c:v", "rawvideo", "-pix_fmt", "yuv420p", file},
                                60000, &status);
        if (status == 0 && testsupport::FileExists(file)) path = file;
    }
    return path;
}

struct Frame {
    Orvane::CapturedFrameInfo info;
    std::vector<uint8_t> bytes;
};

// Keeps every frame it is given (up to a bound) and wakes waiters.
class RecordingSink : public Orvane::CameraFrameSink {
public:
    int OnCameraFrame(const Orvane::CapturedFrameInfo* info, Orvane::Common::CDataPacket* packet) override {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_count;
        if (m_frames.size() < 8) {
            Frame f;
            std::memcpy(&f.info, info, sizeof(f.info));
            f.bytes.assign(packet->Data(), packet->Data() + packet->Length());
            m_frames.push_back(std::move(f));
        }
        m_cv.notify_all();
        return 0;
    }
    bool WaitFor(size_t count, int timeoutMs = 15000) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_count >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_count;
    }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_frames;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    size_t m_count = 0;
    std::vector<Frame> m_frames;
};

}  // namespace camtest
