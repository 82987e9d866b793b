#include "X11EventLoop.h"

#include "X11Util.h"

#include <X11/extensions/Xcomposite.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace paneshare {

namespace {

// What the hooked window reports: its geometry, state, properties, focus and visibility.
const long kHookMask = StructureNotifyMask | PropertyChangeMask | FocusChangeMask | VisibilityChangeMask | ExposureMask;
const long kSourceMask = StructureNotifyMask;
const long kDestinationMask = StructureNotifyMask | ExposureMask;
// The thread looks at the connection at least this often, even without a wake-up.
const int kPollMs = 100;

uintptr_t Pack16(int low, int high) {
    return (static_cast<uintptr_t>(static_cast<uint16_t>(low))) |
           (static_cast<uintptr_t>(static_cast<uint16_t>(high)) << 16);
}

}  // namespace

X11EventLoop::X11EventLoop(const std::string& displayName) : m_strDisplay(displayName) {}

X11EventLoop::~X11EventLoop() {
    if (m_thread.joinable()) {
        m_bStop = true;
        Wake();
        m_thread.join();
    }
    if (m_lpDisplay != nullptr && !DisplayLost(m_lpDisplay)) {
        for (auto& entry : m_mapThumbnails) ReleaseThumbnail(&entry.second);
        m_mapThumbnails.clear();
        for (auto& entry : m_mapRedirected) XCompositeUnredirectWindow(m_lpDisplay, entry.first, CompositeRedirectAutomatic);
        m_mapRedirected.clear();
        TakeXError(m_lpDisplay);
    }
    CloseTrappedDisplay(m_lpDisplay);
    for (int fd : m_wakePipe)
        if (fd >= 0) close(fd);
}

bool X11EventLoop::Start() {
    if (m_lpDisplay != nullptr) return true;
    m_lpDisplay = OpenTrappedDisplay(m_strDisplay.empty() ? nullptr : m_strDisplay.c_str());
    if (m_lpDisplay == nullptr) return false;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XCompositeQueryExtension(m_lpDisplay, &eventBase, &errorBase)) {
        major = 0;
        minor = 2;  // NameWindowPixmap came with 0.2
        m_bComposite = XCompositeQueryVersion(m_lpDisplay, &major, &minor) && (major > 0 || minor >= 2);
    }
    m_bRender = XRenderQueryExtension(m_lpDisplay, &eventBase, &errorBase);
    m_bDamage = XDamageQueryExtension(m_lpDisplay, &m_nDamageEventBase, &errorBase);
    if (m_bDamage) {
        major = 1;
        minor = 1;
        XDamageQueryVersion(m_lpDisplay, &major, &minor);
    }
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        CloseTrappedDisplay(m_lpDisplay);
        m_lpDisplay = nullptr;
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void X11EventLoop::Wake() {
    if (m_wakePipe[1] < 0) return;
    const char byte = 1;
    // A full pipe already means "wake up".
    ssize_t ignored = write(m_wakePipe[1], &byte, 1);
    (void)ignored;
}

void X11EventLoop::Run() {
    pollfd fds[2];
    fds[0].fd = ConnectionNumber(m_lpDisplay);
    fds[0].events = POLLIN;
    fds[1].fd = m_wakePipe[0];
    fds[1].events = POLLIN;
    std::vector<Pending> pending;
    while (!m_bStop) {
        fds[0].revents = fds[1].revents = 0;
        poll(fds, 2, kPollMs);
        if (fds[1].revents & POLLIN) {
            char buffer[64];
            while (read(m_wakePipe[0], buffer, sizeof buffer) > 0) {
            }
        }
        if (m_bStop) break;
        // The server is gone: nothing more will come, and the thread's work is over.
        if (DisplayLost(m_lpDisplay)) break;
        WindowEventCallback callback;
        unsigned generation;
        {
            Orvane::Common::MutexLock lock(m_mutex);
            // Read only what the socket holds (an end of the connection is caught before
            // Xlib reads it), then take the complete events without reading again.
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && CheckConnection(m_lpDisplay))
                XEventsQueued(m_lpDisplay, QueuedAfterReading);
            bool handled = false;
            while (!DisplayLost(m_lpDisplay) && XEventsQueued(m_lpDisplay, QueuedAlready) > 0) {
                XEvent event;
                XNextEvent(m_lpDisplay, &event);
                HandleEvent(event, &pending);
                handled = true;
            }
            // Errors of painting a window that just went away are expected; drop them. An idle
            // pass does no I/O at all.
            if (handled) TakeXError(m_lpDisplay);
            callback = m_hookCallback;
            generation = m_hookGeneration.load();
        }
        if (pending.empty()) continue;
        {
            std::lock_guard<std::mutex> lock(m_deliverMutex);
            // Unhook raises the generation before it waits for this lock: nothing is delivered
            // for a window after its Unhook returned.
            if (callback && generation == m_hookGeneration.load()) {
                for (const Pending& p : pending) callback(p.window, p.message, p.wParam, p.lParam);
            }
        }
        pending.clear();
    }
}

void X11EventLoop::HandleEvent(const XEvent& event, std::vector<Pending>* pending) {
    if (m_bDamage && event.type == m_nDamageEventBase + XDamageNotify) {
        const XDamageNotifyEvent& damage = reinterpret_cast<const XDamageNotifyEvent&>(event);
        for (auto& entry : m_mapThumbnails) {
            Thumbnail& thumb = entry.second;
            if (thumb.damage != damage.damage || thumb.dead) continue;
            XDamageSubtract(m_lpDisplay, thumb.damage, None, None);
            Paint(&thumb);
        }
        return;
    }

    const Window window = event.xany.window;
    switch (event.type) {
    case ConfigureNotify: {
        const XConfigureEvent& c = event.xconfigure;
        for (auto& entry : m_mapThumbnails) {
            Thumbnail& thumb = entry.second;
            if (thumb.dead) continue;
            if (thumb.source == c.window && (c.width != thumb.sourceWidth || c.height != thumb.sourceHeight)) {
                // A resized window gets a new pixmap.
                ReleaseSource(&thumb);
                AttachSource(&thumb);
                Paint(&thumb);
            } else if (thumb.destination == c.window) {
                thumb.destinationWidth = c.width;
                thumb.destinationHeight = c.height;
                Paint(&thumb);
            }
        }
        break;
    }
    case MapNotify:
        for (auto& entry : m_mapThumbnails) {
            Thumbnail& thumb = entry.second;
            if (thumb.dead || thumb.source != event.xmap.window) continue;
            ReleaseSource(&thumb);
            AttachSource(&thumb);
            Paint(&thumb);
        }
        break;
    case Expose:
        if (event.xexpose.count == 0) {
            for (auto& entry : m_mapThumbnails) {
                if (!entry.second.dead && entry.second.destination == event.xexpose.window) Paint(&entry.second);
            }
        }
        break;
    case DestroyNotify:
        for (auto& entry : m_mapThumbnails) {
            Thumbnail& thumb = entry.second;
            if (thumb.source != event.xdestroywindow.window && thumb.destination != event.xdestroywindow.window)
                continue;
            // The server freed what hung on the window; free the rest and stop painting.
            if (thumb.source == event.xdestroywindow.window) {
                thumb.damage = None;
                m_mapRedirected.erase(thumb.source);
            }
            ReleaseThumbnail(&thumb);
            thumb.dead = true;
        }
        break;
    default:
        break;
    }

    if (window == m_hookedWindow && window != None) {
        Pending p{window, static_cast<unsigned int>(event.type), 0, 0};
        switch (event.type) {
        case ConfigureNotify:
            // Events about the window itself only, not about its children.
            if (event.xconfigure.window != window) return;
            p.wParam = Pack16(event.xconfigure.x, event.xconfigure.y);
            p.lParam = static_cast<intptr_t>(Pack16(event.xconfigure.width, event.xconfigure.height));
            break;
        case PropertyNotify:
            p.wParam = event.xproperty.atom;
            p.lParam = event.xproperty.state;
            break;
        case VisibilityNotify:
            p.wParam = static_cast<uintptr_t>(event.xvisibility.state);
            break;
        case FocusIn:
        case FocusOut:
            p.wParam = static_cast<uintptr_t>(event.xfocus.mode);
            p.lParam = event.xfocus.detail;
            break;
        case Expose:
            p.wParam = Pack16(event.xexpose.x, event.xexpose.y);
            p.lParam = static_cast<intptr_t>(Pack16(event.xexpose.width, event.xexpose.height));
            break;
        case DestroyNotify:
            if (event.xdestroywindow.window != window) return;
            break;
        case MapNotify:
            if (event.xmap.window != window) return;
            break;
        case UnmapNotify:
            if (event.xunmap.window != window) return;
            break;
        default:
            break;
        }
        pending->push_back(p);
        if (event.type == DestroyNotify) {
            // Nothing more will come from it.
            m_hookedWindow = None;
        }
    }
}

void X11EventLoop::UpdateEventMask(Window window) {
    long mask = 0;
    if (window == m_hookedWindow) mask |= kHookMask;
    for (const auto& entry : m_mapThumbnails) {
        if (entry.second.dead) continue;
        if (entry.second.source == window) mask |= kSourceMask;
        if (entry.second.destination == window) mask |= kDestinationMask;
    }
    XSelectInput(m_lpDisplay, window, mask);
}

bool X11EventLoop::AttachSource(Thumbnail* thumb) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(m_lpDisplay, thumb->source, &attributes)) return false;
    thumb->sourceWidth = attributes.width;
    thumb->sourceHeight = attributes.height;
    thumb->sourceFormat = XRenderFindVisualFormat(m_lpDisplay, attributes.visual);
    // Only a viewable window has content to name; it is attached again when it is mapped.
    if (attributes.map_state != IsViewable || thumb->sourceFormat == nullptr) return false;
    TakeXError(m_lpDisplay);
    thumb->pixmap = XCompositeNameWindowPixmap(m_lpDisplay, thumb->source);
    XRenderPictureAttributes pa;
    pa.subwindow_mode = IncludeInferiors;
    thumb->sourcePicture = XRenderCreatePicture(m_lpDisplay, thumb->pixmap, thumb->sourceFormat, CPSubwindowMode, &pa);
    if (TakeXError(m_lpDisplay) != 0) {
        ReleaseSource(thumb);
        return false;
    }
    XRenderSetPictureFilter(m_lpDisplay, thumb->sourcePicture, FilterBilinear, nullptr, 0);
    return true;
}

void X11EventLoop::ReleaseSource(Thumbnail* thumb) {
    if (thumb->sourcePicture != None) XRenderFreePicture(m_lpDisplay, thumb->sourcePicture);
    if (thumb->pixmap != None) XFreePixmap(m_lpDisplay, thumb->pixmap);
    thumb->sourcePicture = None;
    thumb->pixmap = None;
}

void X11EventLoop::ReleaseThumbnail(Thumbnail* thumb) {
    if (thumb->dead) return;
    ReleaseSource(thumb);
    if (thumb->destinationPicture != None) XRenderFreePicture(m_lpDisplay, thumb->destinationPicture);
    thumb->destinationPicture = None;
    if (thumb->damage != None) XDamageDestroy(m_lpDisplay, thumb->damage);
    thumb->damage = None;
}

void X11EventLoop::Paint(Thumbnail* thumb) {
    if (thumb->dead || thumb->destinationPicture == None) return;
    if (thumb->sourcePicture == None && !AttachSource(thumb)) return;
    if (thumb->sourceWidth <= 0 || thumb->sourceHeight <= 0) return;
    // Scale to fit the destination, keeping the aspect ratio.
    const double scale = std::min(static_cast<double>(thumb->destinationWidth) / thumb->sourceWidth,
                                  static_cast<double>(thumb->destinationHeight) / thumb->sourceHeight);
    if (scale <= 0) return;
    const int width = std::max(1, static_cast<int>(thumb->sourceWidth * scale));
    const int height = std::max(1, static_cast<int>(thumb->sourceHeight * scale));
    XTransform transform = {{{XDoubleToFixed(1.0 / scale), 0, 0},
                             {0, XDoubleToFixed(1.0 / scale), 0},
                             {0, 0, XDoubleToFixed(1.0)}}};
    XRenderSetPictureTransform(m_lpDisplay, thumb->sourcePicture, &transform);
    XRenderComposite(m_lpDisplay, PictOpSrc, thumb->sourcePicture, None, thumb->destinationPicture, 0, 0, 0, 0, 0, 0,
                     static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(m_lpDisplay);
}

void* X11EventLoop::RegisterThumbnail(Window source, Window destination) {
    if (!m_bComposite || !m_bRender || !m_bDamage || source == destination) return nullptr;
    void* handle = nullptr;
    {
        Orvane::Common::MutexLock lock(m_mutex);
        if (!CheckConnection(m_lpDisplay)) return nullptr;
        TakeXError(m_lpDisplay);
        XWindowAttributes sa, da;
        if (!XGetWindowAttributes(m_lpDisplay, source, &sa) || !XGetWindowAttributes(m_lpDisplay, destination, &da) ||
            sa.c_class != InputOutput || da.c_class != InputOutput) {
            TakeXError(m_lpDisplay);
            return nullptr;
        }
        XRenderPictFormat* destinationFormat = XRenderFindVisualFormat(m_lpDisplay, da.visual);
        if (destinationFormat == nullptr) return nullptr;

        Thumbnail thumb;
        thumb.source = source;
        thumb.destination = destination;
        thumb.destinationWidth = da.width;
        thumb.destinationHeight = da.height;
        const bool redirect = m_mapRedirected.find(source) == m_mapRedirected.end();
        if (redirect) XCompositeRedirectWindow(m_lpDisplay, source, CompositeRedirectAutomatic);
        thumb.damage = XDamageCreate(m_lpDisplay, source, XDamageReportNonEmpty);
        thumb.destinationPicture = XRenderCreatePicture(m_lpDisplay, destination, destinationFormat, 0, nullptr);
        if (TakeXError(m_lpDisplay) != 0) {
            ReleaseThumbnail(&thumb);
            if (redirect) XCompositeUnredirectWindow(m_lpDisplay, source, CompositeRedirectAutomatic);
            TakeXError(m_lpDisplay);
            return nullptr;
        }
        ++m_mapRedirected[source];
        const uintptr_t id = m_nextThumbnail++;
        Thumbnail& stored = m_mapThumbnails.emplace(id, thumb).first->second;
        UpdateEventMask(source);
        UpdateEventMask(destination);
        AttachSource(&stored);
        Paint(&stored);
        TakeXError(m_lpDisplay);
        handle = reinterpret_cast<void*>(id);
    }
    Wake();
    return handle;
}

void X11EventLoop::UnregisterThumbnail(void* thumbnail) {
    Orvane::Common::MutexLock lock(m_mutex);
    auto it = m_mapThumbnails.find(reinterpret_cast<uintptr_t>(thumbnail));
    if (it == m_mapThumbnails.end()) return;
    if (!CheckConnection(m_lpDisplay)) {
        // The server and everything on it is gone.
        m_mapThumbnails.erase(it);
        return;
    }
    Thumbnail thumb = it->second;
    ReleaseThumbnail(&it->second);
    m_mapThumbnails.erase(it);
    // A destroyed source is no longer in the redirected map; a destroyed destination leaves
    // its source redirected until here.
    auto redirected = m_mapRedirected.find(thumb.source);
    if (redirected != m_mapRedirected.end() && --redirected->second == 0) {
        XCompositeUnredirectWindow(m_lpDisplay, thumb.source, CompositeRedirectAutomatic);
        m_mapRedirected.erase(redirected);
    }
    UpdateEventMask(thumb.source);
    UpdateEventMask(thumb.destination);
    TakeXError(m_lpDisplay);
}

int X11EventLoop::Hook(Window window, WindowEventCallback callback) {
    {
        Orvane::Common::MutexLock lock(m_mutex);
        if (!CheckConnection(m_lpDisplay)) return BadImplementation;
        TakeXError(m_lpDisplay);
        XWindowAttributes attributes;
        if (window == None || !XGetWindowAttributes(m_lpDisplay, window, &attributes)) {
            const int error = TakeXError(m_lpDisplay);
            return error != 0 ? error : BadWindow;
        }
        const Window previous = m_hookedWindow;
        m_hookedWindow = window;
        m_hookCallback = std::move(callback);
        ++m_hookGeneration;
        if (previous != None && previous != window) UpdateEventMask(previous);
        UpdateEventMask(window);
        const int error = TakeXError(m_lpDisplay);
        if (error != 0) {
            m_hookedWindow = None;
            m_hookCallback = nullptr;
            return error;
        }
    }
    Wake();
    return 0;
}

void X11EventLoop::Unhook(Window window) {
    {
        Orvane::Common::MutexLock lock(m_mutex);
        if (window != m_hookedWindow && m_hookedWindow != None) return;
        const Window hooked = m_hookedWindow;
        m_hookedWindow = None;
        m_hookCallback = nullptr;
        ++m_hookGeneration;
        if (hooked != None && CheckConnection(m_lpDisplay)) {
            UpdateEventMask(hooked);
            TakeXError(m_lpDisplay);
        }
    }
    // Wait for a delivery that is running now (unless this is that delivery).
    if (std::this_thread::get_id() != m_thread.get_id()) {
        std::lock_guard<std::mutex> lock(m_deliverMutex);
    }
}

}  // namespace paneshare
