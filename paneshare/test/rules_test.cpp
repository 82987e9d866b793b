// The list-building, exception and window-service rules, over a window system double.
#include "PaneShareMgr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace paneshare;
using ::testing::ElementsAre;

namespace {

const OvHwnd kDesktop = 1;
const int kOwnPid = 4242;

struct FakeWindow {
    bool visible = true;
    bool minimised = false;
    bool child = false;
    bool tool = false;
    bool shell = false;
    int pid = 100;
    OvHwnd owner = 0;
    std::string title;
    std::string cls = "Cls";
    std::vector<OvHwnd> children;
};

struct FakeState {
    std::vector<OvHwnd> top;  // topmost first
    std::map<OvHwnd, FakeWindow> windows;
    std::vector<OvHwnd> shellAtStart;
    std::map<int, std::string> paths;
    std::map<std::string, int> progIds;
    SystemVersion version{10, 0, 0};
    std::vector<std::string> calls;
    bool raiseResult = true;
    int hookError = 0;
    std::map<OvHwnd, WindowEventCallback> hooks;
    std::vector<void*> unregistered;

    FakeWindow& Add(OvHwnd id, int pid, const std::string& title) {
        top.push_back(id);
        FakeWindow& w = windows[id];
        w.pid = pid;
        w.title = title;
        return w;
    }
};

class FakeWindowSystem : public IWindowSystem {
public:
    explicit FakeWindowSystem(FakeState* s) : m_s(s) {}
    OvHwnd DesktopWindow() override { return kDesktop; }
    std::vector<OvHwnd> TopLevelWindows() override { return m_s->top; }
    bool IsVisible(OvHwnd w) override { return m_s->windows[w].visible; }
    bool IsMinimised(OvHwnd w) override { return m_s->windows[w].minimised; }
    bool HasChildStyle(OvHwnd w) override { return m_s->windows[w].child; }
    bool HasToolWindowStyle(OvHwnd w) override { return m_s->windows[w].tool; }
    std::vector<OvHwnd> ShellWindows() override { return m_s->shellAtStart; }
    bool IsShellWindow(OvHwnd w) override { return m_s->windows[w].shell; }
    int ProcessId(OvHwnd w) override { return m_s->windows[w].pid; }
    int CurrentProcessId() override { return kOwnPid; }
    OvHwnd Owner(OvHwnd w) override { return m_s->windows[w].owner; }
    std::string Title(OvHwnd w) override { return m_s->windows[w].title; }
    std::string ClassName(OvHwnd w) override { return m_s->windows[w].cls; }
    std::string ExecutablePath(int pid) override { return m_s->paths.count(pid) ? m_s->paths[pid] : ""; }
    std::vector<OvHwnd> ChildWindows(OvHwnd w) override { return m_s->windows[w].children; }
    SystemVersion GetSystemVersion() override { return m_s->version; }
    int ProgIdVersion(const std::string& id) override { return m_s->progIds.count(id) ? m_s->progIds[id] : -1; }
    bool RestoreNoActivate(OvHwnd w) override {
        m_s->calls.push_back("restore " + std::to_string(w));
        return true;
    }
    bool Raise(OvHwnd w) override {
        m_s->calls.push_back("raise " + std::to_string(w));
        return m_s->raiseResult;
    }
    void* RegisterThumbnail(OvHwnd s, OvHwnd d) override { return reinterpret_cast<void*>(s * 1000 + d); }
    void UnregisterThumbnail(void* t) override { m_s->unregistered.push_back(t); }
    int Hook(OvHwnd w, WindowEventCallback cb) override {
        m_s->calls.push_back("hook " + std::to_string(w));
        if (m_s->hookError != 0) return m_s->hookError;
        m_s->hooks[w] = std::move(cb);
        return 0;
    }
    void Unhook(OvHwnd w) override {
        m_s->calls.push_back("unhook " + std::to_string(w));
        m_s->hooks.erase(w);
    }

private:
    FakeState* m_s;
};

// Opens the protected steps to the tests.
class TestMgr : public PaneShareMgr {
public:
    explicit TestMgr(FakeState* s) : PaneShareMgr(std::unique_ptr<IWindowSystem>(new FakeWindowSystem(s))) {}
    using PaneShareMgr::HasException;
    using PaneShareMgr::IsExcludeHwnd;
};

std::vector<OvHwnd> Handles(const std::vector<WindowProcessInfo*>& list) {
    std::vector<OvHwnd> out;
    for (const WindowProcessInfo* i : list) out.push_back(i->window);
    return out;
}

class Rules : public ::testing::Test {
protected:
    FakeState s;
    void SetUp() override {
        s.paths[100] = "/usr/bin/editor";
        s.paths[200] = "/opt/web/browser";
    }
};

TEST_F(Rules, DesktopEntryFirstThenWindowsInZOrder) {
    s.Add(30, 100, "top");
    s.Add(20, 200, "middle");
    s.Add(10, 100, "bottom");
    TestMgr mgr(&s);
    std::vector<WindowProcessInfo*>* list = mgr.RefreshWindowList();
    ASSERT_THAT(Handles(*list), ElementsAre(kDesktop, 30, 20, 10));
    const WindowProcessInfo& desk = *(*list)[0];
    EXPECT_EQ(desk.title, "desktop");
    EXPECT_EQ(desk.filePath, "desktop");
    EXPECT_EQ(desk.className, "desktop");
    EXPECT_FALSE(desk.exception);
    EXPECT_EQ((*list)[2]->title, "middle");
    EXPECT_EQ((*list)[2]->filePath, "/opt/web/browser");
    EXPECT_EQ((*list)[2]->className, "Cls");

    // The same vector, rebuilt: the entries of the last call are gone.
    s.top = {10};
    EXPECT_EQ(mgr.RefreshWindowList(), list);
    EXPECT_THAT(Handles(*list), ElementsAre(kDesktop, 10));

    // With nothing open the desktop is still offered.
    s.top.clear();
    EXPECT_THAT(Handles(*mgr.RefreshWindowList()), ElementsAre(kDesktop));
}

TEST_F(Rules, EveryExclusion) {
    s.Add(2, 100, "invisible").visible = false;
    s.Add(3, 100, "panel at start");
    s.shellAtStart = {3};
    s.Add(4, 100, "panel started later").shell = true;
    s.Add(5, 100, "child style").child = true;
    s.Add(6, 100, "").tool = true;  // untitled tool window
    s.Add(7, 100, "Palette").tool = true;  // titled tool window: listed
    s.Add(8, kOwnPid, "our own window");
    s.Add(9, 100, "dialog").owner = 7;
    s.Add(10, 100, "owned by the desktop").owner = kDesktop;
    s.Add(11, 300, "edge");
    s.paths[300] = "/opt/edge/MicrosoftEdge.exe";
    s.Add(12, 301, "edge other case");
    s.paths[301] = "/opt/edge/microsoftedge.exe";
    s.Add(13, 100, "minimised").minimised = true;  // still visible: listed
    TestMgr mgr(&s);
    EXPECT_TRUE(mgr.IsExcludeHwnd(3));
    EXPECT_TRUE(mgr.IsExcludeHwnd(4));
    EXPECT_FALSE(mgr.IsExcludeHwnd(7));
    EXPECT_THAT(Handles(*mgr.RefreshWindowList()), ElementsAre(kDesktop, 7, 10, 12, 13));
}

TEST_F(Rules, TitlesPathsAndClasses) {
    s.Add(2, 100, "");                                // no title: the executable's file name
    s.Add(3, 999, "");                                // process without a readable path
    s.Add(4, 0, "");                                  // no known process
    s.Add(5, 100, std::string(3000, 'x'));            // cut to the buffer
    s.Add(6, 100, std::string(2598, 'y') + "\xc3\xa4" + "tail");  // a character across the cut
    s.windows[6].cls = std::string(300, 'c');
    s.Add(7, 200, "windows path");
    s.paths[200] = "C:\\Program Files\\App\\app.exe";
    TestMgr mgr(&s);
    const std::vector<WindowProcessInfo*>& list = *mgr.RefreshWindowList();
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[1]->title, "editor");
    EXPECT_EQ(list[1]->filePath, "/usr/bin/editor");
    EXPECT_EQ(list[2]->title, "unknown");
    EXPECT_EQ(list[2]->filePath, "unknown");
    EXPECT_EQ(list[3]->filePath, "unknown");
    EXPECT_EQ(list[4]->title, std::string(2599, 'x'));
    EXPECT_EQ(list[5]->title, std::string(2598, 'y'));
    EXPECT_EQ(list[5]->className, std::string(254, 'c'));
    EXPECT_EQ(list[6]->filePath, "C:\\Program Files\\App\\app.exe");
}

TEST_F(Rules, KavrinToolListsItsLeafChildrenOfOneClass) {
    s.paths[500] = "/opt/kavrin/kavrinTool.exe";
    FakeWindow& tool = s.Add(50, 500, "Kavrin");
    tool.cls = "KavrinMain";
    tool.children = {51, 52, 53, 54};
    s.windows[51].cls = "AfxWnd100u";
    s.windows[52].cls = "AfxWnd100u";
    s.windows[52].children = {60};  // not a leaf
    s.windows[53].cls = "afxwnd100u";  // other letter case
    s.windows[54].cls = "AfxWnd100u";
    s.Add(70, 100, "after");
    s.paths[501] = "/opt/kavrin/KAVRINTOOL.EXE";  // other letter case: an ordinary window
    s.Add(80, 501, "upper");
    TestMgr mgr(&s);
    mgr.AddExceptionExeNameForAllOs("kavrintool.exe");
    const std::vector<WindowProcessInfo*>& list = *mgr.RefreshWindowList();
    ASSERT_THAT(Handles(list), ElementsAre(kDesktop, 51, 54, 70, 80));
    for (int i : {1, 2}) {
        EXPECT_EQ(list[i]->title, "Kavrin");
        EXPECT_EQ(list[i]->filePath, "/opt/kavrin/kavrinTool.exe");
        EXPECT_EQ(list[i]->className, "KavrinMain");
        EXPECT_TRUE(list[i]->exception);
    }
}

TEST_F(Rules, ExceptionsOnWindows7) {
    s.version = {6, 1, 1};
    TestMgr mgr(&s);
    EXPECT_TRUE(mgr.HasException("QQ.EXE"));
    EXPECT_FALSE(mgr.HasException("WINWORD.EXE"));
    EXPECT_FALSE(mgr.HasException("CHROME.EXE"));
    // Added for current systems only: no effect here.
    mgr.AddExceptionExeName("player.exe");
    EXPECT_FALSE(mgr.HasException("PLAYER.EXE"));
    mgr.AddExceptionExeNameForAllOs("viewer.exe");
    EXPECT_TRUE(mgr.HasException("VIEWER.EXE"));
}

TEST_F(Rules, ExceptionsOnWindows8DependOnTheOfficeVersion) {
    s.version = {6, 2, 0};
    s.progIds["Word.Application"] = 16;
    s.progIds["Excel.Application"] = 14;
    s.progIds["PowerPoint.Application"] = 15;
    TestMgr mgr(&s);
    EXPECT_TRUE(mgr.HasException("WINWORD.EXE"));
    EXPECT_FALSE(mgr.HasException("EXCEL.EXE"));
    EXPECT_TRUE(mgr.HasException("POWERPNT.EXE"));
    EXPECT_TRUE(mgr.HasException("OUTLOOK.EXE"));  // version unknown (-1)
    EXPECT_TRUE(mgr.HasException("CHROME.EXE"));   // no ProgID
    EXPECT_TRUE(mgr.HasException("QQ.EXE"));
    EXPECT_FALSE(mgr.HasException("EDITOR"));

    mgr.AddExceptionExeName("player.exe");
    EXPECT_TRUE(mgr.HasException("PLAYER.EXE"));
    // A name already there keeps its ProgID: Excel 2010 stays capturable.
    mgr.AddExceptionExeName("excel.exe");
    mgr.AddExceptionExeName("EXCEL.EXE");
    EXPECT_FALSE(mgr.HasException("EXCEL.EXE"));
    mgr.AddExceptionExeName(nullptr);
    mgr.AddExceptionExeNameForAllOs(nullptr);

    // The flag reaches the list through the upper-cased file name.
    s.paths[600] = "/opt/office/Excel.exe";
    s.paths[601] = "/opt/office/winword.exe";
    s.Add(2, 600, "sheet");
    s.Add(3, 601, "letter");
    const std::vector<WindowProcessInfo*>& list = *mgr.RefreshWindowList();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_FALSE(list[1]->exception);
    EXPECT_TRUE(list[2]->exception);
}

TEST_F(Rules, ExceptionsByVersion) {
    struct Case {
        SystemVersion v;
        bool word16, chrome, editor;
    } cases[] = {
        {{5, 1, 0}, true, true, true},     // XP: everything
        {{5, 2, 2}, true, true, true},     // XP x64 / Server 2003
        {{6, 0, 0}, false, false, false},  // Vista
        {{6, 1, 1}, false, false, false},  // 7
        {{6, 2, 0}, true, true, false},    // 8
        {{10, 0, 0}, true, true, false},   // 10
        {{5, 0, 4}, false, false, false},  // 2000
    };
    for (const Case& c : cases) {
        s.version = c.v;
        s.progIds["Word.Application"] = 16;
        TestMgr mgr(&s);
        SCOPED_TRACE(std::to_string(c.v.major) + "." + std::to_string(c.v.minor));
        EXPECT_EQ(mgr.HasException("WINWORD.EXE"), c.word16);
        EXPECT_EQ(mgr.HasException("CHROME.EXE"), c.chrome);
        EXPECT_EQ(mgr.HasException("EDITOR"), c.editor);
    }
}

TEST_F(Rules, ShowWindowToTopRestoresMinimisedWindowsFirst) {
    s.Add(2, 100, "normal");
    s.Add(3, 100, "minimised").minimised = true;
    TestMgr mgr(&s);
    EXPECT_TRUE(mgr.ShowWindowToTop(2));
    EXPECT_TRUE(mgr.ShowWindowToTop(3));
    EXPECT_THAT(s.calls, ElementsAre("raise 2", "restore 3", "raise 3"));
    s.raiseResult = false;
    EXPECT_FALSE(mgr.ShowWindowToTop(2));
    s.calls.clear();
    EXPECT_FALSE(mgr.ShowWindowToTop(0));
    EXPECT_FALSE(mgr.ShowWindowToTop(kDesktop));
    EXPECT_TRUE(s.calls.empty());
}

TEST_F(Rules, WindowOfAProcess) {
    s.Add(2, 100, "hidden").visible = false;
    s.Add(3, 200, "other");
    s.Add(4, 100, "first visible");
    s.Add(5, 100, "second visible");
    s.Add(6, 0, "unknown owner");
    TestMgr mgr(&s);
    EXPECT_EQ(mgr.GetWindowsHandleByProcessid(100), 4u);
    EXPECT_EQ(mgr.GetWindowsHandleByProcessid(200), 3u);
    EXPECT_EQ(mgr.GetWindowsHandleByProcessid(777), 0u);
    // No process owns the windows whose owner is unknown.
    EXPECT_EQ(mgr.GetWindowsHandleByProcessid(0), 0u);
    EXPECT_EQ(mgr.GetWindowsHandleByProcessid(-1), 0u);
}

struct RecordingSink : IPaneShareMgrSink {
    std::vector<std::pair<OvHwnd, unsigned>> got;
    void OnWindowMessage(OvHwnd w, unsigned int m, uintptr_t, intptr_t) override { got.push_back({w, m}); }
};

TEST_F(Rules, OneHookedWindowAtATime) {
    RecordingSink sink;
    SetGlobalSink(&sink);
    {
        TestMgr mgr(&s);
        mgr.AddWindow(2);
        mgr.AddWindow(2);  // again: nothing changes
        ASSERT_EQ(s.hooks.count(2), 1u);
        s.hooks[2](2, 22, 0, 0);
        EXPECT_EQ(sink.got.size(), 1u);

        mgr.AddWindow(3);  // lets go of 2
        EXPECT_EQ(s.hooks.count(2), 0u);
        mgr.RemoveWindow(2);  // not hooked: nothing happens
        EXPECT_EQ(s.hooks.count(3), 1u);
        mgr.RemoveWindow(3);
        EXPECT_TRUE(s.hooks.empty());
        EXPECT_THAT(s.calls, ElementsAre("hook 2", "unhook 2", "hook 3", "unhook 3"));

        s.hookError = 3;
        s.calls.clear();
        mgr.AddWindow(4);  // refused: only logged, and nothing to remove later
        mgr.RemoveWindow(4);
        EXPECT_THAT(s.calls, ElementsAre("hook 4"));

        s.hookError = 0;
        mgr.AddWindow(5);
    }
    // The manager lets go of its hooked window when it goes.
    EXPECT_TRUE(s.hooks.empty());
    SetGlobalSink(nullptr);
}

TEST_F(Rules, ThumbnailsPassThroughAndNullIsIgnored) {
    TestMgr mgr(&s);
    void* t = mgr.RegisterAppThumbnail(7, 8);
    EXPECT_EQ(t, reinterpret_cast<void*>(7008));
    EXPECT_EQ(mgr.RegisterAppThumbnail(0, 8), nullptr);
    mgr.UnregisterAppThumbnail(nullptr);
    mgr.UnregisterAppThumbnail(t);
    EXPECT_THAT(s.unregistered, ElementsAre(t));
}

TEST(RuleHelpers, CutUtf8AndFileNames) {
    EXPECT_EQ(CutUtf8("abc", 5), "abc");
    EXPECT_EQ(CutUtf8("abc", 2), "ab");
    EXPECT_EQ(CutUtf8("a\xe2\x82\xac", 3), "a");  // euro sign needs 3 bytes after 'a'
    EXPECT_EQ(CutUtf8("a\xe2\x82\xac", 4), "a\xe2\x82\xac");
    EXPECT_EQ(CutUtf8("\xf0\x9f\x98\x80z", 2), "");
    EXPECT_EQ(ExecutableFileName("/usr/bin/xterm"), "xterm");
    EXPECT_EQ(ExecutableFileName("C:\\a\\b.exe"), "b.exe");
    EXPECT_EQ(ExecutableFileName("unknown"), "unknown");
    EXPECT_TRUE(VersionAtLeast({6, 2, 0}, 6, 2, 0));
    EXPECT_FALSE(VersionAtLeast({6, 1, 9}, 6, 2, 0));
    EXPECT_TRUE(VersionAtLeast({7, 0, 0}, 6, 2, 1));
}

}  // namespace
