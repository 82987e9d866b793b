// The real peers that tests talk to, each started by the test and stopped with it.
#pragma once

#include "support/process.h"

#include <memory>
#include <string>

namespace testsupport {

// nginx with its RTMP module in the foreground, on a free 127.0.0.1 port, with one
// application "live" that records everything it receives into its folder as NAME.flv.
// The server's error log is at info level, so every publish command shows there.
class NginxRtmp {
public:
    NginxRtmp();
    ~NginxRtmp();
    // Starts (or starts again on the same port). False when nginx did not come up.
    bool Start();
    // Listen on [::1] too, from the next Start on (same port).
    void AlsoListenOnIpv6() { m_bIpv6 = true; }
    void Stop();
    bool Running() { return m_proc.Running(); }
    int port() const { return m_port; }
    std::string Url(const std::string& stream) const;  // rtmp://127.0.0.1:PORT/live/STREAM
    std::string Recording(const std::string& stream) const { return m_dir.file(stream + ".flv"); }
    std::string ErrorLog() const { return m_dir.file("error.log"); }
    const std::string& dir() const { return m_dir.path(); }

private:
    TempDir m_dir;
    int m_port;
    bool m_bIpv6 = false;
    ChildProcess m_proc;
};

// An Xvfb display (1280x720x24, -noreset) on a free display number, optionally with the
// openbox window manager (Start returns once it manages windows). DISPLAY is not changed;
// pass display() to the code under test.
class XvfbDisplay {
public:
    XvfbDisplay();
    ~XvfbDisplay();
    bool Start(bool withWindowManager);
    void Stop();
    const std::string& display() const { return m_display; }

private:
    std::string m_display;
    ChildProcess m_server;
    ChildProcess m_wm;
    TempDir m_dir;
};

// ffmpeg publishing testsrc (320x240, 25 fps, a key frame every second) and a 1 kHz tone
// (AAC, 44.1 kHz mono) in real time for up to two minutes, for tests that play a stream.
class TestPatternPublisher {
public:
    TestPatternPublisher() : m_dir("playpub") {}
    ~TestPatternPublisher() { m_proc.Stop(); }
    bool Start(const std::string& url);

private:
    TempDir m_dir;
    ChildProcess m_proc;
};

}  // namespace testsupport
