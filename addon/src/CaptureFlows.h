// Recording to a file and publishing to an RTMP url, each of an application-window capture
// mixed with the sound card and microphone.
//
// Each use keeps the capture it runs on. A use that asks for a window at the same size,
// bitrate and frame rate as a capture already running shares that capture; otherwise it gets
// a capture of its own. A capture is stopped when its last use stops (or fails to start), and
// the sound mixer's encoder when no use is left, so nothing keeps capturing or encoding once
// both uses have ended.
//
// Threads: not thread-safe; every call comes from the one thread that drives the endpoint
// (the script thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace streamaddon {

// The mixer every use takes its sound from.
extern const char kSoundMixer[];

// Result codes of StartRecord and StartPublish.
enum FlowResult {
    kFlowDone = 0,              // started, or already active (nothing done)
    kFlowCaptureFailed = 6001,  // the application capture could not be started
    kFlowRecordFailed = 6002,   // the recording could not be started
    kFlowPublishFailed = 5002,  // the publication could not be started
};

// The endpoint operations the flows need. Window ids are native window ids (X11 ids here).
class ICaptureEndpoint {
public:
    // The window that stands for "the whole desktop" (the root window).
    virtual uint64_t DesktopWindow() = 0;
    // Starts capturing window, scaled to width x height, encoded at kbps kbit/s and fps frames
    // per second; fills *uniName with the new source's name.
    virtual bool StartCapture(uint64_t window, int width, int height, int kbps, int fps, std::string* uniName) = 0;
    virtual bool StopCapture(const std::string& uniName) = 0;
    virtual bool StopMixer(const std::string& mixer) = 0;
    // The record id, or -1.
    virtual int StartRecord(const std::string& file, const std::string& video, const std::string& audio,
                            bool flag) = 0;
    virtual bool StopRecord(int recordId) = 0;
    virtual bool Publish(const std::string& url, const std::string& video, const std::string& audio, int mode) = 0;
    virtual void StopPublish(const std::string& url) = 0;

protected:
    ~ICaptureEndpoint() = default;
};

// What a use asks to capture: window 0 is the desktop; width, height, bitrate in kbit/s and
// frame rate as the script gives them (the rate already clamped by the caller).
struct CaptureAsk {
    uint64_t window = 0;
    int width = 0;
    int height = 0;
    int kbps = 0;
    int fps = 0;
};

class CaptureFlows {
public:
    explicit CaptureFlows(ICaptureEndpoint& endpoint) : m_endpoint(endpoint) {}

    // 0 when recording starts or is already running; 6001 or 6002 on failure.
    int StartRecord(const std::string& file, const CaptureAsk& ask, bool flag);
    // 0 when publishing starts or is already running; 6001 or 5002 on failure.
    int StartPublish(const std::string& url, const CaptureAsk& ask, int mode);
    // true when nothing was recording; else the endpoint's StopRecord result.
    bool StopRecord();
    // Always true.
    bool StopPublish();

    bool Recording() const { return m_recordId != -1; }
    bool Publishing() const { return m_publishing; }
    // Captures started by the flows and not yet stopped.
    std::size_t RunningCaptures() const { return m_captures.size(); }

private:
    struct Capture {
        std::string uniName;
        CaptureAsk ask;
        int users = 0;
    };

    // The name of a capture for ask (shared or new, one more user); "" when none could start.
    std::string Acquire(CaptureAsk ask);
    // One user less; the capture stops with its last user.
    void Release(const std::string& uniName);

    ICaptureEndpoint& m_endpoint;
    std::vector<Capture> m_captures;
    int m_recordId = -1;
    std::string m_recordCapture;
    bool m_publishing = false;
    std::string m_publishUrl;
    std::string m_publishCapture;
};

}  // namespace streamaddon
