#include "support/peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <cstring>
#include <fstream>

namespace testsupport {

namespace {

bool TcpAccepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool UnixAccepts(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// True once the window manager maps (and so manages) a fresh probe window. openbox announces
// itself on the root a moment before it manages windows; a window mapped in that gap would
// stay unmapped for good.
bool WindowManagerManages(const std::string& display) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) return false;
    XSetWindowAttributes a;
    a.background_pixel = 0;
    const Window w = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, 10, 10, 0, CopyFromParent, InputOutput,
                                   CopyFromParent, CWBackPixel, &a);
    bool shown = false;
    for (int attempt = 0; attempt < 50 && !shown; ++attempt) {
        XMapWindow(dpy, w);
        XSync(dpy, False);
        shown = WaitUntil(
            [&] {
                XWindowAttributes attr;
                return XGetWindowAttributes(dpy, w, &attr) && attr.map_state == IsViewable;
            },
            200);
    }
    XDestroyWindow(dpy, w);
    XCloseDisplay(dpy);
    return shown;
}

const char kRtmpModule[] = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

}  // namespace

NginxRtmp::NginxRtmp() : m_dir("nginx"), m_port(FreeTcpPort()) {}

NginxRtmp::~NginxRtmp() { Stop(); }

bool NginxRtmp::Start() {
    if (m_proc.Running()) return true;
    const std::string conf = m_dir.file("nginx.conf");
    std::ofstream out(conf);
    out << "load_module " << kRtmpModule << ";\n"
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << m_dir.file("nginx.pid") << ";\n"
        << "error_log " << ErrorLog() << " info;\n"
        << "events { worker_connections 256; }\n"
        << "rtmp {\n  server {\n    listen 127.0.0.1:" << m_port << ";\n"
        << (m_bIpv6 ? "    listen [::1]:" + std::to_string(m_port) + ";\n" : std::string())
        << "    chunk_size 4096;\n"
        << "    application live {\n      live on;\n      record all;\n"
        << "      record_path " << m_dir.path() << ";\n      record_unique off;\n"
        << "      record_append off;\n    }\n  }\n}\n";
    out.close();
    if (!m_proc.Start({"nginx", "-p", m_dir.path(), "-e", ErrorLog(), "-c", conf}, m_dir.file("nginx.out")))
        return false;
    return WaitUntil([&] { return TcpAccepts(m_port) || !m_proc.Running(); }, 10000) && m_proc.Running();
}

void NginxRtmp::Stop() {
    // SIGQUIT lets nginx finish its recordings; SIGTERM would cut them short.
    if (m_proc.Running()) {
        kill(m_proc.pid(), SIGQUIT);
        if (m_proc.Wait(5000) == -1) m_proc.Stop(1000);
    }
}

std::string NginxRtmp::Url(const std::string& stream) const {
    return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/live/" + stream;
}

XvfbDisplay::XvfbDisplay() : m_dir("xvfb") {}

XvfbDisplay::~XvfbDisplay() { Stop(); }

bool XvfbDisplay::Start(bool withWindowManager) {
    // A display number whose socket and lock are free; start high to stay clear of real ones.
    for (int n = 90 + (getpid() % 200); n < 600; ++n) {
        const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (FileExists(sock) || FileExists(lock)) continue;
        m_display = ":" + std::to_string(n);
        if (!m_server.Start({"Xvfb", m_display, "-screen", "0", "1280x720x24", "-nolisten", "tcp", "-noreset"},
                            m_dir.file("xvfb.log")))
            return false;
        if (WaitUntil([&] { return UnixAccepts(sock) || !m_server.Running(); }, 10000) && m_server.Running())
            break;
        m_server.Stop();
        m_display.clear();
    }
    if (m_display.empty()) return false;
    if (!withWindowManager) return true;
    std::map<std::string, std::string> env = {{"DISPLAY", m_display}, {"HOME", m_dir.path()}};
    if (!m_wm.Start({"openbox", "--sm-disable"}, m_dir.file("openbox.log"), env)) return false;
    // Ready once the manager has announced itself on the root window and manages windows.
    const bool announced = WaitUntil(
        [&] {
            int st = 0;
            std::string out = RunCapture({"xprop", "-root", "-display", m_display, "_NET_SUPPORTING_WM_CHECK"},
                                         5000, &st);
            return st == 0 && out.find("window id") != std::string::npos;
        },
        10000);
    return announced && WindowManagerManages(m_display);
}

void XvfbDisplay::Stop() {
    m_wm.Stop(2000);
    m_server.Stop(2000);
}

bool TestPatternPublisher::Start(const std::string& url) {
    return m_proc.Start({"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                         "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100",
                         "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25", "-pix_fmt",
                         "yuv420p", "-threads", "1", "-c:a", "aac", "-ac", "1", "-b:a", "64k", "-t", "120", "-f", "flv",
                         url},
                        m_dir.file("ffmpeg.log"));
}

}  // namespace testsupport
