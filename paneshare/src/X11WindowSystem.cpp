#include "X11WindowSystem.h"

#include "X11EventLoop.h"
#include "X11Util.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace paneshare {

namespace {

// The system version the exception rules are given. X11 with Composite captures like a
// compositing desktop of Windows 8 and later: both exception tables apply, so programs that
// callers add as exceptions are marked.
const SystemVersion kX11SystemVersion = {10, 0, 0};

enum WindowKind { kKindNormal, kKindShell, kKindTool };

class X11WindowSystem : public IWindowSystem {
public:
    explicit X11WindowSystem(const char* displayName);
    ~X11WindowSystem() override;

    OvHwnd DesktopWindow() override { return m_root; }
    std::vector<OvHwnd> TopLevelWindows() override;
    bool IsVisible(OvHwnd window) override;
    bool IsMinimised(OvHwnd window) override;
    bool HasChildStyle(OvHwnd) override { return false; }
    bool HasToolWindowStyle(OvHwnd window) override { return Kind(window) == kKindTool; }
    std::vector<OvHwnd> ShellWindows() override;
    bool IsShellWindow(OvHwnd window) override { return Kind(window) == kKindShell; }
    int ProcessId(OvHwnd window) override;
    int CurrentProcessId() override { return static_cast<int>(getpid()); }
    OvHwnd Owner(OvHwnd window) override;
    std::string Title(OvHwnd window) override;
    std::string ClassName(OvHwnd window) override;
    std::string ExecutablePath(int processId) override;
    std::vector<OvHwnd> ChildWindows(OvHwnd window) override;
    SystemVersion GetSystemVersion() override { return kX11SystemVersion; }
    // There is no registry of COM classes here.
    int ProgIdVersion(const std::string&) override { return -1; }
    bool RestoreNoActivate(OvHwnd window) override;
    bool Raise(OvHwnd window) override;
    void* RegisterThumbnail(OvHwnd source, OvHwnd destination) override;
    void UnregisterThumbnail(void* thumbnail) override;
    int Hook(OvHwnd window, WindowEventCallback callback) override;
    void Unhook(OvHwnd window) override;

private:
    enum AtomIndex {
        kNetClientListStacking,
        kNetSupportingWmCheck,
        kNetWmPid,
        kNetWmName,
        kUtf8String,
        kWmState,
        kNetWmState,
        kNetWmStateHidden,
        kNetWmWindowType,
        kTypeNormal,
        kTypeDialog,
        kTypeDock,
        kTypeDesktop,
        kTypeUtility,
        kTypeToolbar,
        kTypeMenu,
        kTypeSplash,
        kTypeDropdownMenu,
        kTypePopupMenu,
        kTypeTooltip,
        kTypeNotification,
        kTypeCombo,
        kTypeDnd,
        kNetRestackWindow,
        kWmClientMachine,
        kAtomCount
    };

    // The connection is open and not lost (checked on the socket, before Xlib could trip).
    bool Usable() const { return m_lpDisplay != nullptr && CheckConnection(m_lpDisplay); }
    bool HasWindowManager();
    Window ClientOf(Window frame, int depth);
    // The top-level client window that contains window (itself when it is one).
    Window TopLevelOf(Window window);
    long WmState(Window window);
    WindowKind Kind(Window window);
    bool EnsureEventLoop();

    Display* m_lpDisplay = nullptr;
    std::string m_strDisplay;
    Window m_root = 0;
    Atom m_atoms[kAtomCount] = {};
    bool m_bXRes = false;
    std::string m_strHost;
    std::unique_ptr<X11EventLoop> m_lpEventLoop;
};

const char* const kAtomNames[] = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_PID",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "WM_STATE",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
    "_NET_RESTACK_WINDOW",
    "WM_CLIENT_MACHINE",
};
static_assert(sizeof(kAtomNames) / sizeof(kAtomNames[0]) == 25, "one name per atom");

// Titles longer than this are cut by the rules anyway; read a little more so that the cut
// can find a character boundary.
const long kTitleReadBytes = 4096;
// How long a restore waits for the manager to take the window out of the iconic state.
const int kRestoreWaitSteps = 50;
const useconds_t kRestoreStepUs = 10000;

X11WindowSystem::X11WindowSystem(const char* displayName) {
    if (displayName != nullptr) m_strDisplay = displayName;
    m_lpDisplay = OpenTrappedDisplay(displayName);
    if (m_lpDisplay == nullptr) return;
    // Remember the name actually used, so that the event connection reaches the same server.
    m_strDisplay = DisplayString(m_lpDisplay);
    m_root = DefaultRootWindow(m_lpDisplay);
    XInternAtoms(m_lpDisplay, const_cast<char**>(kAtomNames), kAtomCount, False, m_atoms);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    // Client ids with process ids came with X-Resource 1.2.
    m_bXRes = XResQueryExtension(m_lpDisplay, &eventBase, &errorBase) &&
              XResQueryVersion(m_lpDisplay, &major, &minor) && (major > 1 || (major == 1 && minor >= 2));
    char host[HOST_NAME_MAX + 1] = {0};
    if (gethostname(host, sizeof host - 1) == 0) m_strHost = host;
}

X11WindowSystem::~X11WindowSystem() {
    m_lpEventLoop.reset();
    CloseTrappedDisplay(m_lpDisplay);
}

bool X11WindowSystem::HasWindowManager() {
    std::vector<unsigned long> check;
    if (!GetProperty32(m_lpDisplay, m_root, m_atoms[kNetSupportingWmCheck], &check, 1) || check.empty()) return false;
    // The check window must exist and point at itself; a stale one is left by a manager that died.
    std::vector<unsigned long> self;
    const bool alive = GetProperty32(m_lpDisplay, check[0], m_atoms[kNetSupportingWmCheck], &self, 1) &&
                       !self.empty() && self[0] == check[0];
    TakeXError(m_lpDisplay);
    return alive;
}

long X11WindowSystem::WmState(Window window) {
    std::vector<unsigned long> state;
    if (!GetProperty32(m_lpDisplay, window, m_atoms[kWmState], &state, 2) || state.empty()) return -1;
    return static_cast<long>(state[0]);
}

Window X11WindowSystem::ClientOf(Window frame, int depth) {
    if (WmState(frame) >= 0) return frame;
    if (depth <= 0) return None;
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_lpDisplay, frame, &root, &parent, &children, &count)) return None;
    Window found = None;
    for (unsigned int i = count; i-- > 0 && found == None;) found = ClientOf(children[i], depth - 1);
    if (children != nullptr) XFree(children);
    return found;
}

Window X11WindowSystem::TopLevelOf(Window window) {
    // A few levels are enough: listed child windows sit right under their top-level window.
    for (int depth = 0; depth < 16 && window != None && window != m_root; ++depth) {
        if (WmState(window) >= 0) return window;
        Window root = None, parent = None, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(m_lpDisplay, window, &root, &parent, &children, &count)) break;
        if (children != nullptr) XFree(children);
        if (parent == m_root || parent == None) return window;
        window = parent;
    }
    return window;
}

std::vector<OvHwnd> X11WindowSystem::TopLevelWindows() {
    std::vector<OvHwnd> windows;
    if (!Usable()) return windows;
    std::vector<unsigned long> stacking;
    if (HasWindowManager() &&
        GetProperty32(m_lpDisplay, m_root, m_atoms[kNetClientListStacking], &stacking)) {
        // Bottom to top in the property.
        windows.assign(stacking.rbegin(), stacking.rend());
        TakeXError(m_lpDisplay);
        return windows;
    }
    // No EWMH manager: the root's children, topmost last; behind a reparenting manager the
    // client is the descendant that carries WM_STATE.
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_lpDisplay, m_root, &root, &parent, &children, &count)) return windows;
    for (unsigned int i = count; i-- > 0 && Usable();) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(m_lpDisplay, children[i], &attributes)) continue;
        // Menus, tooltips and other override-redirect pop-ups are nobody's client windows.
        if (attributes.override_redirect || attributes.c_class != InputOutput) continue;
        Window client = ClientOf(children[i], 2);
        windows.push_back(client != None ? client : children[i]);
    }
    if (children != nullptr) XFree(children);
    TakeXError(m_lpDisplay);
    return windows;
}

bool X11WindowSystem::IsVisible(OvHwnd window) {
    if (!Usable()) return false;
    XWindowAttributes attributes;
    const bool known = XGetWindowAttributes(m_lpDisplay, window, &attributes);
    const bool visible = known && (attributes.map_state == IsViewable || IsMinimised(window));
    TakeXError(m_lpDisplay);
    return visible;
}

bool X11WindowSystem::IsMinimised(OvHwnd handle) {
    if (!Usable()) return false;
    const Window window = TopLevelOf(handle);
    // A minimised window is unmapped by its manager but still belongs on the screen.
    if (WmState(window) == IconicState) return true;
    std::vector<unsigned long> states;
    bool hidden = false;
    if (GetProperty32(m_lpDisplay, window, m_atoms[kNetWmState], &states, 64))
        hidden = std::find(states.begin(), states.end(), m_atoms[kNetWmStateHidden]) != states.end();
    TakeXError(m_lpDisplay);
    return hidden;
}

WindowKind X11WindowSystem::Kind(Window window) {
    if (!Usable()) return kKindNormal;
    std::vector<unsigned long> types;
    WindowKind kind = kKindNormal;
    if (GetProperty32(m_lpDisplay, window, m_atoms[kNetWmWindowType], &types, 32)) {
        // The first type we know wins; the list is in order of preference.
        for (unsigned long type : types) {
            if (type == m_atoms[kTypeNormal] || type == m_atoms[kTypeDialog]) break;
            if (type == m_atoms[kTypeDock] || type == m_atoms[kTypeDesktop]) {
                kind = kKindShell;
                break;
            }
            bool tool = false;
            for (int i = kTypeUtility; i <= kTypeDnd; ++i) tool = tool || type == m_atoms[i];
            if (tool) {
                kind = kKindTool;
                break;
            }
        }
    }
    TakeXError(m_lpDisplay);
    return kind;
}

std::vector<OvHwnd> X11WindowSystem::ShellWindows() {
    std::vector<OvHwnd> shell;
    for (OvHwnd window : TopLevelWindows())
        if (Kind(window) == kKindShell) shell.push_back(window);
    return shell;
}

int X11WindowSystem::ProcessId(OvHwnd window) {
    if (!Usable() || window == 0) return 0;
    int pid = 0;
    std::vector<unsigned long> value;
    if (GetProperty32(m_lpDisplay, window, m_atoms[kNetWmPid], &value, 1) && !value.empty()) {
        // A process id of another machine means nothing here.
        std::string machine;
        if (!GetProperty8(m_lpDisplay, window, m_atoms[kWmClientMachine], &machine, nullptr, 256) ||
            machine == m_strHost)
            pid = static_cast<int>(value[0]);
    }
    if (pid <= 0 && m_bXRes) {
        // Many clients never set _NET_WM_PID; the server knows the process of a local client.
        XResClientIdSpec idSpec;
        idSpec.client = window;
        idSpec.mask = XRES_CLIENT_ID_PID_MASK;
        long count = 0;
        XResClientIdValue* ids = nullptr;
        if (XResQueryClientIds(m_lpDisplay, 1, &idSpec, &count, &ids) == Success) {
            for (long i = 0; i < count && pid <= 0; ++i) {
                const pid_t owner = XResGetClientPid(&ids[i]);
                if (owner > 0) pid = static_cast<int>(owner);
            }
            XResClientIdsDestroy(count, ids);
        }
    }
    TakeXError(m_lpDisplay);
    return pid > 0 ? pid : 0;
}

OvHwnd X11WindowSystem::Owner(OvHwnd window) {
    if (!Usable()) return 0;
    Window owner = None;
    if (!XGetTransientForHint(m_lpDisplay, window, &owner)) owner = None;
    TakeXError(m_lpDisplay);
    return owner;
}

std::string X11WindowSystem::Title(OvHwnd window) {
    if (!Usable()) return std::string();
    std::string title;
    Atom type = None;
    if (!GetProperty8(m_lpDisplay, window, m_atoms[kNetWmName], &title, &type, kTitleReadBytes) ||
        type != m_atoms[kUtf8String]) {
        title.clear();
        XTextProperty text;
        if (XGetWMName(m_lpDisplay, window, &text) && text.value != nullptr) {
            const std::string raw(reinterpret_cast<const char*>(text.value),
                                  std::min<unsigned long>(text.nitems, kTitleReadBytes));
            if (text.encoding == XA_STRING) {
                title = Latin1ToUtf8(raw);
            } else if (text.encoding == m_atoms[kUtf8String]) {
                title = raw;
            } else {
                char** list = nullptr;
                int count = 0;
                if (Xutf8TextPropertyToTextList(m_lpDisplay, &text, &list, &count) >= Success && count > 0 && list)
                    title = list[0];
                else
                    title = raw;
                if (list != nullptr) XFreeStringList(list);
            }
            XFree(text.value);
        }
    }
    TakeXError(m_lpDisplay);
    // A title ends at its first NUL, as a C string would.
    const size_t nul = title.find('\0');
    if (nul != std::string::npos) title.resize(nul);
    return title;
}

std::string X11WindowSystem::ClassName(OvHwnd window) {
    if (!Usable()) return std::string();
    std::string name;
    XClassHint hint = {nullptr, nullptr};
    if (XGetClassHint(m_lpDisplay, window, &hint)) {
        if (hint.res_class != nullptr) name = hint.res_class;
        if (hint.res_name != nullptr) XFree(hint.res_name);
        if (hint.res_class != nullptr) XFree(hint.res_class);
    }
    TakeXError(m_lpDisplay);
    return name;
}

std::string X11WindowSystem::ExecutablePath(int processId) {
    if (processId <= 0) return std::string();
    const std::string link = "/proc/" + std::to_string(processId) + "/exe";
    char path[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), path, sizeof path);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof path)) return std::string();
    return std::string(path, static_cast<size_t>(n));
}

std::vector<OvHwnd> X11WindowSystem::ChildWindows(OvHwnd window) {
    std::vector<OvHwnd> result;
    if (!Usable()) return result;
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(m_lpDisplay, window, &root, &parent, &children, &count)) {
        // Topmost first, like the top-level list.
        for (unsigned int i = count; i-- > 0;) result.push_back(children[i]);
        if (children != nullptr) XFree(children);
    }
    TakeXError(m_lpDisplay);
    return result;
}

bool X11WindowSystem::RestoreNoActivate(OvHwnd handle) {
    if (!Usable()) return false;
    TakeXError(m_lpDisplay);
    const Window window = TopLevelOf(handle);
    if (HasWindowManager()) {
        // Asking the manager to drop the hidden state brings the window back without giving it
        // the focus (mapping it would activate it under openbox).
        XEvent event;
        std::memset(&event, 0, sizeof event);
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = m_atoms[kNetWmState];
        event.xclient.format = 32;
        event.xclient.data.l[0] = 0;  // remove
        event.xclient.data.l[1] = static_cast<long>(m_atoms[kNetWmStateHidden]);
        event.xclient.data.l[3] = 2;  // on behalf of a pager
        XSendEvent(m_lpDisplay, m_root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(m_lpDisplay);
        for (int i = 0; i < kRestoreWaitSteps && WmState(window) == IconicState; ++i) usleep(kRestoreStepUs);
        if (TakeXError(m_lpDisplay) != 0) return false;
        if (WmState(window) != IconicState) return true;
    }
    // No manager, or one that ignores the request: mapping an iconic window asks for the
    // normal state (and may activate it).
    XMapWindow(m_lpDisplay, window);
    return TakeXError(m_lpDisplay) == 0;
}

bool X11WindowSystem::Raise(OvHwnd handle) {
    if (!Usable()) return false;
    TakeXError(m_lpDisplay);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(m_lpDisplay, handle, &attributes)) {
        TakeXError(m_lpDisplay);
        return false;
    }
    // A listed child window is raised with the window it belongs to.
    const Window window = TopLevelOf(handle);
    if (HasWindowManager()) {
        // Ask the manager, as a pager would (source 2): it restacks the frame, not the client.
        XEvent event;
        std::memset(&event, 0, sizeof event);
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = m_atoms[kNetRestackWindow];
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;
        event.xclient.data.l[1] = None;
        event.xclient.data.l[2] = Above;
        XSendEvent(m_lpDisplay, m_root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
        XRaiseWindow(m_lpDisplay, window);
    }
    return TakeXError(m_lpDisplay) == 0;
}

bool X11WindowSystem::EnsureEventLoop() {
    if (!Usable()) return false;
    if (!m_lpEventLoop) {
        std::unique_ptr<X11EventLoop> loop(new X11EventLoop(m_strDisplay));
        if (!loop->Start()) return false;
        m_lpEventLoop = std::move(loop);
    }
    return true;
}

void* X11WindowSystem::RegisterThumbnail(OvHwnd source, OvHwnd destination) {
    if (!EnsureEventLoop()) return nullptr;
    return m_lpEventLoop->RegisterThumbnail(source, destination);
}

void X11WindowSystem::UnregisterThumbnail(void* thumbnail) {
    if (m_lpEventLoop) m_lpEventLoop->UnregisterThumbnail(thumbnail);
}

int X11WindowSystem::Hook(OvHwnd window, WindowEventCallback callback) {
    if (!EnsureEventLoop()) return BadImplementation;
    return m_lpEventLoop->Hook(window, std::move(callback));
}

void X11WindowSystem::Unhook(OvHwnd window) {
    if (m_lpEventLoop) m_lpEventLoop->Unhook(window);
}

}  // namespace

std::unique_ptr<IWindowSystem> CreateX11WindowSystem(const char* displayName) {
    return std::unique_ptr<IWindowSystem>(new X11WindowSystem(displayName));
}

}  // namespace paneshare
