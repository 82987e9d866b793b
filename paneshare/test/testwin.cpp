// Helper program of the window tests: makes the windows its arguments describe, prints
// "NAME 0xID" for each and then "ready", and keeps them painted until it is terminated.
//
//   testwin NAME:key=value;key=value ...
//
// keys: type=normal|dialog|dock|desktop|utility|toolbar|menu|splash (sets _NET_WM_WINDOW_TYPE)
//       title=TEXT (_NET_WM_NAME and WM_NAME)   wmname=TEXT (WM_NAME only, Latin-1)
//       longtitle=N (a title of N two-byte characters)
//       class=CLASS (WM_CLASS)   pid (sets _NET_WM_PID)   unmapped   override (override-redirect)
//       transient=NAME|root (WM_TRANSIENT_FOR)   size=WxH   pos=X,Y
//       color=RRGGBB, color2=RRGGBB (left and right halves of the content)
//       leaf=CLASS (a child window of that class without children)
//       branch=CLASS (a child window of that class with a child of its own)
// Setting the CARDINAL property _TEST_COLOR on a window repaints it in that colour.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct WindowDesc {
    std::string name;
    std::map<std::string, std::vector<std::string>> keys;
    bool Has(const std::string& k) const { return keys.count(k) != 0; }
    std::string Get(const std::string& k, const std::string& def = "") const {
        auto it = keys.find(k);
        return it == keys.end() || it->second.empty() ? def : it->second.back();
    }
};

struct Made {
    Window window;
    unsigned long color;
    unsigned long color2;
};

WindowDesc Parse(const std::string& arg) {
    WindowDesc desc;
    const size_t colon = arg.find(':');
    desc.name = arg.substr(0, colon);
    if (colon == std::string::npos) return desc;
    std::string rest = arg.substr(colon + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(';', start);
        if (end == std::string::npos) end = rest.size();
        const std::string item = rest.substr(start, end - start);
        if (!item.empty()) {
            const size_t eq = item.find('=');
            if (eq == std::string::npos)
                desc.keys[item].push_back("");
            else
                desc.keys[item.substr(0, eq)].push_back(item.substr(eq + 1));
        }
        start = end + 1;
    }
    return desc;
}

void SetClass(Display* d, Window w, const std::string& cls) {
    XClassHint hint;
    std::string name = cls;
    hint.res_name = &name[0];
    hint.res_class = const_cast<char*>(cls.c_str());
    XSetClassHint(d, w, &hint);
}

void Paint(Display* d, const Made& m) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, m.window, &a)) return;
    GC gc = XCreateGC(d, m.window, 0, nullptr);
    XSetForeground(d, gc, m.color);
    XFillRectangle(d, m.window, gc, 0, 0, static_cast<unsigned>(a.width / 2), static_cast<unsigned>(a.height));
    XSetForeground(d, gc, m.color2);
    XFillRectangle(d, m.window, gc, a.width / 2, 0, static_cast<unsigned>(a.width - a.width / 2),
                   static_cast<unsigned>(a.height));
    XFreeGC(d, gc);
}

}  // namespace

int main(int argc, char** argv) {
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        std::fprintf(stderr, "testwin: cannot open display\n");
        return 1;
    }
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
    const Atom netPid = XInternAtom(d, "_NET_WM_PID", False);
    const Atom netType = XInternAtom(d, "_NET_WM_WINDOW_TYPE", False);
    const Atom testColor = XInternAtom(d, "_TEST_COLOR", False);

    std::map<std::string, Window> byName;
    std::vector<Made> made;
    std::vector<std::pair<std::string, Window>> order;
    for (int i = 1; i < argc; ++i) {
        const WindowDesc desc = Parse(argv[i]);
        unsigned width = 200, height = 150;
        int x = 10 * i, y = 10 * i;
        std::sscanf(desc.Get("size", "200x150").c_str(), "%ux%u", &width, &height);
        std::sscanf(desc.Get("pos", "0,0").c_str(), "%d,%d", &x, &y);
        const unsigned long color = std::strtoul(desc.Get("color", "808080").c_str(), nullptr, 16);
        const unsigned long color2 = std::strtoul(desc.Get("color2", desc.Get("color", "808080")).c_str(), nullptr, 16);
        XSetWindowAttributes attrs;
        attrs.background_pixel = color;
        attrs.event_mask = ExposureMask | PropertyChangeMask | StructureNotifyMask;
        attrs.override_redirect = desc.Has("override") ? True : False;
        const Window w = XCreateWindow(d, root, x, y, width, height, 0, CopyFromParent, InputOutput, CopyFromParent,
                                       CWBackPixel | CWEventMask | CWOverrideRedirect, &attrs);
        // Keep the manager from moving it around: the position is what the test asked for.
        XSizeHints hints;
        std::memset(&hints, 0, sizeof hints);
        hints.flags = USPosition | PPosition;
        hints.x = x;
        hints.y = y;
        XSetWMNormalHints(d, w, &hints);

        std::string title = desc.Get("title");
        if (desc.Has("longtitle")) {
            const int n = std::atoi(desc.Get("longtitle").c_str());
            title.clear();
            for (int k = 0; k < n; ++k) title += "\xc3\xa4";  // a-umlaut, two bytes
        }
        if (!title.empty()) {
            XChangeProperty(d, w, netName, utf8, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
            XChangeProperty(d, w, XA_WM_NAME, utf8, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
        }
        if (desc.Has("wmname")) {
            const std::string latin = desc.Get("wmname");
            XChangeProperty(d, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(latin.data()), static_cast<int>(latin.size()));
        }
        if (desc.Has("class")) SetClass(d, w, desc.Get("class"));
        if (desc.Has("pid")) {
            const long pid = getpid();
            XChangeProperty(d, w, netPid, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
        }
        if (desc.Has("type")) {
            const std::string t = desc.Get("type");
            std::string atomName = "_NET_WM_WINDOW_TYPE_";
            for (char c : t) atomName += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const long type = static_cast<long>(XInternAtom(d, atomName.c_str(), False));
            XChangeProperty(d, w, netType, XA_ATOM, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&type), 1);
        }
        if (desc.Has("transient")) {
            const std::string owner = desc.Get("transient");
            XSetTransientForHint(d, w, owner == "root" ? root : byName[owner]);
        }
        auto addChildren = [&](const char* key, bool withGrandchild) {
            auto it = desc.keys.find(key);
            if (it == desc.keys.end()) return;
            int n = 0;
            for (const std::string& cls : it->second) {
                const Window c = XCreateSimpleWindow(d, w, 5 + 20 * n, 5, 15, 15, 0, 0, color);
                SetClass(d, c, cls);
                if (withGrandchild) XMapWindow(d, XCreateSimpleWindow(d, c, 1, 1, 5, 5, 0, 0, color));
                XMapWindow(d, c);
                order.push_back({desc.name + "." + key + std::to_string(n), c});
                ++n;
            }
        };
        addChildren("leaf", false);
        addChildren("branch", true);
        if (!desc.Has("unmapped")) XMapWindow(d, w);
        byName[desc.name] = w;
        made.push_back({w, color, color2});
        order.push_back({desc.name, w});
        XSync(d, False);
    }
    for (const auto& entry : order) std::printf("%s 0x%lx\n", entry.first.c_str(), entry.second);
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        XEvent event;
        XNextEvent(d, &event);
        for (Made& m : made) {
            if (event.xany.window != m.window) continue;
            if (event.type == Expose && event.xexpose.count == 0) Paint(d, m);
            if (event.type == ConfigureNotify) Paint(d, m);
            if (event.type == PropertyNotify && event.xproperty.atom == testColor) {
                Atom type;
                int format;
                unsigned long count, after;
                unsigned char* data = nullptr;
                if (XGetWindowProperty(d, m.window, testColor, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                                       &after, &data) == Success &&
                    count == 1) {
                    m.color = m.color2 = *reinterpret_cast<unsigned long*>(data);
                    XSetWindowBackground(d, m.window, m.color);
                }
                if (data != nullptr) XFree(data);
                Paint(d, m);
            }
        }
        XFlush(d);
    }
}
