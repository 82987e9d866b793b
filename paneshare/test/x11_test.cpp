// The library on a real X server: Xvfb with openbox (and without a window manager), windows
// made by a helper process, the list, raising, thumbnails and the hooked window's events.
#include "paneshare/IPaneShareMgr.h"
#include "support/peers.h"
#include "support/process.h"

// gtest before Xlib: Xlib's macros (None, Bool) clash with gtest's names.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

const std::string kTestWin = TESTWIN_PATH;

// The windows of one run of the helper program.
class Helper {
public:
    bool Start(const std::string& display, const std::vector<std::string>& specs, const std::string& exe = kTestWin) {
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), specs.begin(), specs.end());
        const std::string out = m_dir.file("out.txt");
        if (!m_proc.Start(argv, out, {{"DISPLAY", display}})) return false;
        if (!WaitUntil([&] { return ReadFile(out).find("ready\n") != std::string::npos || !m_proc.Running(); },
                       15000))
            return false;
        std::istringstream lines(ReadFile(out));
        std::string name, id;
        while (lines >> name && name != "ready" && lines >> id) m_ids[name] = std::strtoul(id.c_str(), nullptr, 16);
        return m_proc.Running();
    }
    OvHwnd operator[](const std::string& name) const {
        auto it = m_ids.find(name);
        return it == m_ids.end() ? 0 : it->second;
    }
    pid_t pid() const { return m_proc.pid(); }
    void Stop() { m_proc.Stop(2000); }

private:
    TempDir m_dir{"testwin"};
    ChildProcess m_proc;
    std::map<std::string, OvHwnd> m_ids;
};

const WindowProcessInfo* Find(std::vector<WindowProcessInfo*>* list, OvHwnd window) {
    for (const WindowProcessInfo* info : *list)
        if (info != nullptr && info->window == window) return info;
    return nullptr;
}

int IndexOf(std::vector<WindowProcessInfo*>* list, OvHwnd window) {
    for (size_t i = 0; i < list->size(); ++i)
        if ((*list)[i]->window == window) return static_cast<int>(i);
    return -1;
}

bool Listed(IPaneShareMgr* mgr, OvHwnd window) { return Find(mgr->RefreshWindowList(), window) != nullptr; }

// A connection of the test itself, for its own windows and for reading pixels back.
class TestConnection {
public:
    explicit TestConnection(const std::string& display) : m_d(XOpenDisplay(display.c_str())) {}
    ~TestConnection() {
        if (m_d != nullptr) XCloseDisplay(m_d);
    }
    Display* get() const { return m_d; }
    Window MakeWindow(int x, int y, unsigned w, unsigned h, unsigned long color, const char* title) {
        XSetWindowAttributes a;
        a.background_pixel = color;
        const Window win = XCreateWindow(m_d, DefaultRootWindow(m_d), x, y, w, h, 0, CopyFromParent, InputOutput,
                                         CopyFromParent, CWBackPixel, &a);
        XSizeHints hints;
        hints.flags = USPosition | PPosition;
        hints.x = x;
        hints.y = y;
        XSetWMNormalHints(m_d, win, &hints);
        XStoreName(m_d, win, title);
        XMapWindow(m_d, win);
        XSync(m_d, False);
        return win;
    }
    bool Viewable(Window w) {
        XWindowAttributes a;
        return XGetWindowAttributes(m_d, w, &a) && a.map_state == IsViewable;
    }
    // The pixel at (x, y) of what is shown on the screen at that point of the window.
    unsigned long Pixel(Window w, int x, int y) {
        int rx = 0, ry = 0;
        Window child;
        XTranslateCoordinates(m_d, w, DefaultRootWindow(m_d), x, y, &rx, &ry, &child);
        XImage* image = XGetImage(m_d, DefaultRootWindow(m_d), rx, ry, 1, 1, AllPlanes, ZPixmap);
        if (image == nullptr) return ~0ul;
        const unsigned long p = XGetPixel(image, 0, 0) & 0xFFFFFF;
        XDestroyImage(image);
        return p;
    }
    Window ActiveWindow() {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        Window active = None;
        if (XGetWindowProperty(m_d, DefaultRootWindow(m_d), XInternAtom(m_d, "_NET_ACTIVE_WINDOW", False), 0, 1, False,
                               XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
            count == 1)
            active = *reinterpret_cast<unsigned long*>(data);
        if (data != nullptr) XFree(data);
        return active;
    }
    void SaveScreen(const std::string& path) {
        const Window root = DefaultRootWindow(m_d);
        XWindowAttributes a;
        XGetWindowAttributes(m_d, root, &a);
        XImage* image = XGetImage(m_d, root, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                                  AllPlanes, ZPixmap);
        if (image == nullptr) return;
        std::ofstream out(path, std::ios::binary);
        out << "P6\n" << a.width << " " << a.height << "\n255\n";
        for (int y = 0; y < a.height; ++y)
            for (int x = 0; x < a.width; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                const char rgb[3] = {static_cast<char>(p >> 16), static_cast<char>(p >> 8), static_cast<char>(p)};
                out.write(rgb, 3);
            }
        XDestroyImage(image);
    }
    void SetColor(Window w, unsigned long color) {
        const long value = static_cast<long>(color);
        XChangeProperty(m_d, w, XInternAtom(m_d, "_TEST_COLOR", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&value), 1);
        XSync(m_d, False);
    }

private:
    Display* m_d;
};

// openbox announces itself on the root before it has finished starting, and a window mapped
// in that gap is never managed (seen here: it stays unmapped). Ready means a probe window,
// mapped again until it shows, came up.
bool WaitForWindowManager(const std::string& display) {
    TestConnection probe(display);
    if (probe.get() == nullptr) return false;
    XSetWindowAttributes a;
    a.background_pixel = 0;
    const Window w = XCreateWindow(probe.get(), DefaultRootWindow(probe.get()), 0, 0, 10, 10, 0, CopyFromParent,
                                   InputOutput, CopyFromParent, CWBackPixel, &a);
    bool shown = false;
    for (int attempt = 0; attempt < 50 && !shown; ++attempt) {
        XMapWindow(probe.get(), w);
        XSync(probe.get(), False);
        shown = WaitUntil([&] { return probe.Viewable(w); }, 200);
    }
    XDestroyWindow(probe.get(), w);
    XSync(probe.get(), False);
    return shown;
}

// The whole suite shares one display with a window manager; each test makes its own windows.
class X11 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_x = new XvfbDisplay;
        s_up = s_x->Start(true) && WaitForWindowManager(s_x->display());
        if (s_up) setenv("DISPLAY", s_x->display().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete s_x;
        s_x = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_up) << "Xvfb with openbox did not start";
        m_mgr = CreatePaneShareMgr(nullptr);
        ASSERT_NE(m_mgr, nullptr);
    }
    void TearDown() override { DestroyPaneShareMgr(m_mgr); }
    const std::string& display() const { return s_x->display(); }

    static XvfbDisplay* s_x;
    static bool s_up;
    IPaneShareMgr* m_mgr = nullptr;
};
XvfbDisplay* X11::s_x = nullptr;
bool X11::s_up = false;

TEST_F(X11, ListShowsApplicationWindowsOnly) {
    TestConnection own(display());
    ASSERT_NE(own.get(), nullptr);
    // Our own window never shows, whatever it looks like.
    const Window ownWindow = own.MakeWindow(700, 50, 100, 100, 0x00FF00, "Our own window");

    Helper early;
    ASSERT_TRUE(early.Start(display(), {"Panel:type=dock;title=Panel;size=1280x20;pos=0,700"}));
    // The manager under test is made after the first panel, before everything else.
    DestroyPaneShareMgr(m_mgr);
    m_mgr = CreatePaneShareMgr(nullptr);
    ASSERT_NE(m_mgr, nullptr);

    Helper h;
    ASSERT_TRUE(h.Start(display(), {
        "A:title=Alpha;class=AlphaClass;pid",
        "B:title=Beta;class=BetaClass",
        "C:wmname=Gamma Latin\xe9;class=GammaClass",
        "NoTitle:class=NoTitleClass",
        "Long:longtitle=1400",
        "LatePanel:type=dock;title=Late panel",
        "Desk:type=desktop;title=Desktop icons",
        "Util:type=utility",
        "UtilT:type=utility;title=Tools",
        "Splash:type=splash",
        "Trans:transient=A;title=Dialog of Alpha",
        "TransRoot:transient=root;title=Free dialog",
        "Hidden:unmapped;title=Hidden",
    }));

    std::vector<WindowProcessInfo*>* list = nullptr;
    const std::vector<std::string> listed = {"A", "B", "C", "NoTitle", "Long", "UtilT", "TransRoot"};
    ASSERT_TRUE(WaitUntil(
        [&] {
            list = m_mgr->RefreshWindowList();
            for (const std::string& n : listed)
                if (Find(list, h[n]) == nullptr) return false;
            return true;
        },
        10000))
        << "not every application window was listed";

    const WindowProcessInfo& desk = *(*list)[0];
    EXPECT_EQ(desk.window, DefaultRootWindow(own.get()));
    EXPECT_EQ(desk.title, "desktop");
    EXPECT_EQ(desk.filePath, "desktop");
    EXPECT_EQ(desk.className, "desktop");

    EXPECT_EQ(Find(list, early["Panel"]), nullptr);
    for (const char* n : {"LatePanel", "Desk", "Util", "Splash", "Trans", "Hidden"})
        EXPECT_EQ(Find(list, h[n]), nullptr) << n;
    EXPECT_EQ(Find(list, ownWindow), nullptr);

    char real[4096];
    const ssize_t n = readlink(kTestWin.c_str(), real, sizeof real - 1);
    const std::string path = n > 0 ? std::string(real, static_cast<size_t>(n)) : kTestWin;
    for (const std::string& name : listed) {
        const WindowProcessInfo* info = Find(list, h[name]);
        EXPECT_EQ(info->filePath, path) << name;  // with and without _NET_WM_PID
        EXPECT_FALSE(info->exception) << name;
    }
    EXPECT_EQ(Find(list, h["A"])->title, "Alpha");
    EXPECT_EQ(Find(list, h["A"])->className, "AlphaClass");
    EXPECT_EQ(Find(list, h["B"])->className, "BetaClass");
    EXPECT_EQ(Find(list, h["C"])->title, "Gamma Latin\xc3\xa9");
    EXPECT_EQ(Find(list, h["NoTitle"])->title, "paneshare_testwin");
    EXPECT_EQ(Find(list, h["NoTitle"])->className, "NoTitleClass");
    std::string cut;
    for (int i = 0; i < 1299; ++i) cut += "\xc3\xa4";
    EXPECT_EQ(Find(list, h["Long"])->title, cut);
    EXPECT_EQ(Find(list, h["UtilT"])->title, "Tools");

    // Topmost first: the helper's windows came up one above the other.
    EXPECT_LT(IndexOf(list, h["B"]), IndexOf(list, h["A"]));
    EXPECT_LT(IndexOf(list, h["C"]), IndexOf(list, h["B"]));
    EXPECT_LT(IndexOf(list, h["NoTitle"]), IndexOf(list, h["C"]));

    // The window of a process: its topmost visible one; none for a process without windows.
    const OvHwnd first = m_mgr->GetWindowsHandleByProcessid(h.pid());
    EXPECT_NE(first, 0u);
    EXPECT_EQ(m_mgr->GetWindowsHandleByProcessid(static_cast<int>(getpid())), ownWindow);
    Helper hidden;
    ASSERT_TRUE(hidden.Start(display(), {"Only:unmapped;title=nothing shown"}));
    EXPECT_EQ(m_mgr->GetWindowsHandleByProcessid(hidden.pid()), 0u);

    // Exceptions added by callers apply to the upper-cased file name.
    m_mgr->AddExceptionExeName("PaneShare_TestWin");
    EXPECT_TRUE(Find(m_mgr->RefreshWindowList(), h["A"])->exception);
}

TEST_F(X11, ProgramsNamedInTheRulesByTheirFileName) {
    TempDir dir("progs");
    auto copy = [&](const std::string& name) {
        const std::string target = dir.file(name);
        std::ifstream in(kTestWin, std::ios::binary);
        std::ofstream out(target, std::ios::binary);
        out << in.rdbuf();
        out.close();
        chmod(target.c_str(), 0755);
        return target;
    };
    Helper kavrin, edge, edgeOtherCase;
    const std::string kavrinPath = copy("kavrinTool.exe");
    ASSERT_TRUE(kavrin.Start(display(),
                             {"K:title=Kavrin board;class=KavrinMain;leaf=AfxWnd100u;leaf=AfxWnd100u;"
                              "branch=AfxWnd100u;leaf=OtherClass"},
                             kavrinPath));
    ASSERT_TRUE(edge.Start(display(), {"E:title=Edge"}, copy("MicrosoftEdge.exe")));
    ASSERT_TRUE(edgeOtherCase.Start(display(), {"E:title=edge"}, copy("microsoftedge.exe")));

    std::vector<WindowProcessInfo*>* list = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] {
            list = m_mgr->RefreshWindowList();
            return Find(list, edgeOtherCase["E"]) && Find(list, kavrin["K.leaf0"]) && Find(list, kavrin["K.leaf1"]);
        },
        10000));
    EXPECT_EQ(Find(list, edge["E"]), nullptr);
    EXPECT_EQ(Find(list, kavrin["K"]), nullptr);
    EXPECT_EQ(Find(list, kavrin["K.branch0"]), nullptr);
    EXPECT_EQ(Find(list, kavrin["K.leaf2"]), nullptr);
    for (const char* leaf : {"K.leaf0", "K.leaf1"}) {
        const WindowProcessInfo* info = Find(list, kavrin[leaf]);
        EXPECT_EQ(info->title, "Kavrin board");
        EXPECT_EQ(info->className, "KavrinMain");
        EXPECT_EQ(info->filePath, kavrinPath);
    }
}

TEST_F(X11, ShowWindowToTopRaisesAndRestores) {
    Helper h;
    ASSERT_TRUE(h.Start(display(), {"Low:title=Low;pos=100,100", "High:title=High;pos=150,150"}));
    ASSERT_TRUE(WaitUntil([&] { return Listed(m_mgr, h["Low"]) && Listed(m_mgr, h["High"]); }, 10000));
    auto above = [&](OvHwnd a, OvHwnd b) {
        std::vector<WindowProcessInfo*>* list = m_mgr->RefreshWindowList();
        const int ia = IndexOf(list, a), ib = IndexOf(list, b);
        return ia > 0 && ib > 0 && ia < ib;
    };
    ASSERT_TRUE(WaitUntil([&] { return above(h["High"], h["Low"]); }, 5000));

    EXPECT_TRUE(m_mgr->ShowWindowToTop(h["Low"]));
    EXPECT_TRUE(WaitUntil([&] { return above(h["Low"], h["High"]); }, 5000)) << "raising changed nothing";

    // A minimised window stays in the list and comes back on top.
    TestConnection test(display());
    XIconifyWindow(test.get(), h["High"], DefaultScreen(test.get()));
    XSync(test.get(), False);
    ASSERT_TRUE(WaitUntil([&] { return !test.Viewable(h["High"]); }, 5000));
    EXPECT_TRUE(Listed(m_mgr, h["High"]));
    const Window activeBefore = test.ActiveWindow();
    EXPECT_NE(activeBefore, h["High"]);
    EXPECT_TRUE(m_mgr->ShowWindowToTop(h["High"]));
    EXPECT_TRUE(WaitUntil([&] { return test.Viewable(h["High"]) && above(h["High"], h["Low"]); }, 5000));
    // Brought back without taking the focus.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(test.ActiveWindow(), activeBefore);

    EXPECT_FALSE(m_mgr->ShowWindowToTop(0));
    EXPECT_FALSE(m_mgr->ShowWindowToTop(0x7FFFFFF));  // no such window
}

TEST_F(X11, ThumbnailShowsTheSourceScaledAndLive) {
    Helper h;
    // Left half red, right half blue.
    ASSERT_TRUE(h.Start(display(), {"S:title=Source;size=200x100;pos=50,50;color=ff0000;color2=0000ff"}));
    TestConnection test(display());
    const Window dest = test.MakeWindow(900, 300, 100, 100, 0x000000, "Thumbnail");
    ASSERT_TRUE(WaitUntil([&] { return test.Viewable(dest) && test.Viewable(h["S"]); }, 5000));


    EXPECT_EQ(m_mgr->RegisterAppThumbnail(0x7FFFFFF, dest), nullptr);
    void* thumb = m_mgr->RegisterAppThumbnail(h["S"], dest);
    ASSERT_NE(thumb, nullptr);
    // 200x100 fitted into 100x100: the top 100x50 of the destination.
    EXPECT_TRUE(WaitUntil([&] { return test.Pixel(dest, 25, 25) == 0xFF0000; }, 5000))
        << std::hex << test.Pixel(dest, 25, 25);
    EXPECT_EQ(test.Pixel(dest, 75, 25), 0x0000FFu);
    EXPECT_EQ(test.Pixel(dest, 50, 80), 0x000000u);
    // PANESHARE_SHOT=file.ppm keeps a picture of the screen at this point, to look at.
    if (const char* shot = std::getenv("PANESHARE_SHOT")) test.SaveScreen(shot);

    // Live: the source repaints, the thumbnail follows.
    test.SetColor(h["S"], 0x00FF00);
    EXPECT_TRUE(WaitUntil([&] { return test.Pixel(dest, 75, 25) == 0x00FF00; }, 5000))
        << std::hex << test.Pixel(dest, 75, 25);
    // The source's own content, even where another window covers it.
    const Window cover = test.MakeWindow(20, 20, 400, 300, 0xFFFFFF, "Cover");
    ASSERT_TRUE(WaitUntil([&] { return test.Viewable(cover); }, 5000));
    test.SetColor(h["S"], 0xFF00FF);
    EXPECT_TRUE(WaitUntil([&] { return test.Pixel(dest, 25, 25) == 0xFF00FF; }, 5000))
        << std::hex << test.Pixel(dest, 25, 25);
    XDestroyWindow(test.get(), cover);
    test.SetColor(h["S"], 0x00FF00);

    // Still shown after the destination was cleared and exposed.
    XClearArea(test.get(), dest, 0, 0, 0, 0, True);
    XSync(test.get(), False);
    EXPECT_TRUE(WaitUntil([&] { return test.Pixel(dest, 25, 25) == 0x00FF00; }, 5000));


    m_mgr->UnregisterAppThumbnail(thumb);
    m_mgr->UnregisterAppThumbnail(thumb);  // twice: ignored
    m_mgr->UnregisterAppThumbnail(nullptr);
    test.SetColor(h["S"], 0xFFFF00);
    XClearWindow(test.get(), dest);
    XSync(test.get(), False);
    EXPECT_TRUE(WaitUntil([&] { return test.Pixel(dest, 25, 25) == 0x000000; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(test.Pixel(dest, 25, 25), 0x000000u);

    // A thumbnail whose source goes away is ended quietly.
    thumb = m_mgr->RegisterAppThumbnail(h["S"], dest);
    ASSERT_NE(thumb, nullptr);
    h.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    m_mgr->UnregisterAppThumbnail(thumb);
}

struct Recorder : IPaneShareMgrSink {
    std::mutex mutex;
    std::vector<std::pair<OvHwnd, unsigned>> messages;
    std::vector<uintptr_t> atoms;
    void OnWindowMessage(OvHwnd window, unsigned int message, uintptr_t wParam, intptr_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({window, message});
        if (message == PropertyNotify) atoms.push_back(wParam);
    }
    bool Saw(OvHwnd window, unsigned message) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::find(messages.begin(), messages.end(), std::make_pair(window, message)) != messages.end();
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
};

TEST_F(X11, HookedWindowEventsReachTheSink) {
    Recorder sink;
    DestroyPaneShareMgr(m_mgr);
    m_mgr = CreatePaneShareMgr(&sink);
    ASSERT_NE(m_mgr, nullptr);
    Helper h;
    ASSERT_TRUE(h.Start(display(), {"W:title=Watched", "V:title=Other"}));
    TestConnection test(display());
    const Atom probe = XInternAtom(test.get(), "_PANESHARE_PROBE", False);
    auto touch = [&](Window w) {
        const long v = 1;
        XChangeProperty(test.get(), w, probe, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&v), 1);
        XSync(test.get(), False);
    };

    m_mgr->AddWindow(h["W"]);
    touch(h["W"]);
    // Wait for the probe's own change: the helper may still be setting properties of its own.
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(sink.mutex);
        return std::find(sink.atoms.begin(), sink.atoms.end(), probe) != sink.atoms.end();
    }, 5000));
    EXPECT_TRUE(sink.Saw(h["W"], PropertyNotify));

    // Hooking another window lets go of the first.
    m_mgr->AddWindow(h["V"]);
    const size_t before = sink.Count();
    touch(h["W"]);
    touch(h["V"]);
    ASSERT_TRUE(WaitUntil([&] { return sink.Saw(h["V"], PropertyNotify); }, 5000));
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        for (size_t i = before; i < sink.messages.size(); ++i) EXPECT_EQ(sink.messages[i].first, h["V"]);
    }

    m_mgr->RemoveWindow(h["V"]);
    const size_t removed = sink.Count();
    touch(h["V"]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sink.Count(), removed);

    // The end of a hooked window is reported too.
    m_mgr->AddWindow(h["W"]);
    XDestroyWindow(test.get(), h["W"]);
    XSync(test.get(), False);
    EXPECT_TRUE(WaitUntil([&] { return sink.Saw(h["W"], DestroyNotify); }, 5000));

    m_mgr->AddWindow(0x7FFFFFF);  // no such window: only logged
    m_mgr->RemoveWindow(0x7FFFFFF);
}

TEST(X11NoWindowManager, RootChildrenAreTheTopLevelWindows) {
    XvfbDisplay x;
    ASSERT_TRUE(x.Start(false));
    const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", x.display().c_str(), 1);
    IPaneShareMgr* mgr = CreatePaneShareMgr(nullptr);
    ASSERT_NE(mgr, nullptr);
    Helper h;
    ASSERT_TRUE(h.Start(x.display(), {"P:title=Plain;pos=10,10", "Q:title=Second;pos=40,40", "O:override;title=Popup",
                                      "D:type=dock;title=Bar", "U:unmapped;title=Unmapped"}));
    std::vector<WindowProcessInfo*>* list = mgr->RefreshWindowList();
    EXPECT_NE(Find(list, h["P"]), nullptr);
    EXPECT_NE(Find(list, h["Q"]), nullptr);
    EXPECT_EQ(Find(list, h["O"]), nullptr);
    EXPECT_EQ(Find(list, h["D"]), nullptr);
    EXPECT_EQ(Find(list, h["U"]), nullptr);
    EXPECT_LT(IndexOf(list, h["Q"]), IndexOf(list, h["P"]));
    EXPECT_TRUE(mgr->ShowWindowToTop(h["P"]));
    list = mgr->RefreshWindowList();
    EXPECT_LT(IndexOf(list, h["P"]), IndexOf(list, h["Q"]));
    DestroyPaneShareMgr(mgr);
    DestroyPaneShareMgr(nullptr);
    setenv("DISPLAY", saved.c_str(), 1);
}

}  // namespace

namespace {

// An Xvfb of our own for the cases the shared fixture cannot make (a server without
// Composite). Returns the display name, "" when none came up.
std::string StartOwnXvfb(ChildProcess* server, const std::vector<std::string>& extra) {
    for (int n = 700 + (getpid() % 200); n < 1000; ++n) {
        const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
        if (FileExists(sock) || FileExists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        const std::string display = ":" + std::to_string(n);
        std::vector<std::string> argv = {"Xvfb", display, "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!server->Start(argv)) return "";
        if (WaitUntil([&] {
                TestConnection probe(display);
                return probe.get() != nullptr || !server->Running();
            },
                      10000) &&
            server->Running())
            return display;
        server->Stop();
    }
    return "";
}

class ScopedDisplayEnv {
public:
    explicit ScopedDisplayEnv(const std::string& display) : m_saved(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") {
        setenv("DISPLAY", display.c_str(), 1);
    }
    ~ScopedDisplayEnv() { setenv("DISPLAY", m_saved.c_str(), 1); }

private:
    std::string m_saved;
};

TEST(X11Server, NoThumbnailWithoutComposite) {
    ChildProcess server;
    const std::string display = StartOwnXvfb(&server, {"-extension", "Composite"});
    ASSERT_FALSE(display.empty());
    ScopedDisplayEnv env(display);
    IPaneShareMgr* mgr = CreatePaneShareMgr(nullptr);
    ASSERT_NE(mgr, nullptr);
    TestConnection test(display);
    const Window a = test.MakeWindow(0, 0, 50, 50, 0xFF0000, "a");
    const Window b = test.MakeWindow(60, 0, 50, 50, 0x0000FF, "b");
    EXPECT_EQ(mgr->RegisterAppThumbnail(a, b), nullptr);
    DestroyPaneShareMgr(mgr);
}

TEST(X11Server, AManagerOutlivesItsServer) {
    ChildProcess server;
    const std::string display = StartOwnXvfb(&server, {});
    ASSERT_FALSE(display.empty());
    ScopedDisplayEnv env(display);
    IPaneShareMgr* mgr = CreatePaneShareMgr(nullptr);
    ASSERT_NE(mgr, nullptr);
    {
        Helper h;
        ASSERT_TRUE(h.Start(display, {"W:title=Watched", "S:title=Source"}));
        mgr->AddWindow(h["W"]);  // the event connection is open too
        EXPECT_NE(mgr->RegisterAppThumbnail(h["S"], h["W"]), nullptr);
        EXPECT_GE(mgr->RefreshWindowList()->size(), 3u);
        h.Stop();
        // The server goes away between calls, as it does when a session ends.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.Stop();
    }
    // Losing the server ends nothing but the window services.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<WindowProcessInfo*>* list = mgr->RefreshWindowList();
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0]->title, "desktop");
    EXPECT_FALSE(mgr->ShowWindowToTop(1234));
    EXPECT_EQ(mgr->RegisterAppThumbnail(1234, 5678), nullptr);
    mgr->AddWindow(1234);
    DestroyPaneShareMgr(mgr);
}

}  // namespace

namespace {

TEST(X11Server, WithoutAServerOnlyTheDesktopIsListed) {
    ScopedDisplayEnv env(":65000");  // nothing listens there
    IPaneShareMgr* mgr = CreatePaneShareMgr(nullptr);
    ASSERT_NE(mgr, nullptr);
    std::vector<WindowProcessInfo*>* list = mgr->RefreshWindowList();
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0]->window, 0u);
    EXPECT_EQ((*list)[0]->title, "desktop");
    EXPECT_EQ(mgr->GetWindowsHandleByProcessid(static_cast<int>(getpid())), 0u);
    EXPECT_FALSE(mgr->ShowWindowToTop(5));
    EXPECT_EQ(mgr->RegisterAppThumbnail(5, 6), nullptr);
    mgr->AddWindow(5);
    mgr->RemoveWindow(5);
    DestroyPaneShareMgr(mgr);
}

}  // namespace
