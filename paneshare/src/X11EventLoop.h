// The X11 backend's event thread: live thumbnails (Composite, Damage, Render) and the events
// of the hooked window, on a connection of its own.
//
// Threads: Start, the Thumbnail and Hook calls and the destructor on the manager's thread.
// Callbacks run on the event thread, never while the manager's thread waits in Unhook or the
// destructor.
#pragma once

#include "WindowSystem.h"

#include "common/thread_annotations.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xrender.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace paneshare {

class X11EventLoop {
public:
    explicit X11EventLoop(const std::string& displayName);
    ~X11EventLoop();
    X11EventLoop(const X11EventLoop&) = delete;
    X11EventLoop& operator=(const X11EventLoop&) = delete;

    // Opens the connection and starts the thread. False when the display cannot be opened.
    bool Start();

    void* RegisterThumbnail(Window source, Window destination);
    void UnregisterThumbnail(void* thumbnail);
    int Hook(Window window, WindowEventCallback callback);
    void Unhook(Window window);

private:
    struct Thumbnail {
        Window source = None;
        Window destination = None;
        Damage damage = None;
        Pixmap pixmap = None;
        Picture sourcePicture = None;
        Picture destinationPicture = None;
        XRenderPictFormat* sourceFormat = nullptr;
        int sourceWidth = 0, sourceHeight = 0;
        int destinationWidth = 0, destinationHeight = 0;
        bool dead = false;  // one of its windows is gone
    };
    struct Pending {
        OvHwnd window;
        unsigned int message;
        uintptr_t wParam;
        intptr_t lParam;
    };

    void Run();
    void Wake();
    // The members below run with m_mutex held.
    void HandleEvent(const XEvent& event, std::vector<Pending>* pending) OV_REQUIRES(m_mutex);
    void UpdateEventMask(Window window) OV_REQUIRES(m_mutex);
    bool AttachSource(Thumbnail* thumb) OV_REQUIRES(m_mutex);
    void ReleaseSource(Thumbnail* thumb) OV_REQUIRES(m_mutex);
    void ReleaseThumbnail(Thumbnail* thumb) OV_REQUIRES(m_mutex);
    void Paint(Thumbnail* thumb) OV_REQUIRES(m_mutex);

    const std::string m_strDisplay;
    Display* m_lpDisplay = nullptr;
    bool m_bComposite = false, m_bRender = false, m_bDamage = false;
    int m_nDamageEventBase = 0;
    int m_wakePipe[2] = {-1, -1};
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};

    Orvane::Common::Mutex m_mutex;  // the connection and everything below
    std::map<uintptr_t, Thumbnail> m_mapThumbnails OV_GUARDED_BY(m_mutex);
    // Source windows we redirected, with their users.
    std::map<Window, int> m_mapRedirected OV_GUARDED_BY(m_mutex);
    uintptr_t m_nextThumbnail OV_GUARDED_BY(m_mutex) = 1;
    Window m_hookedWindow OV_GUARDED_BY(m_mutex) = None;
    WindowEventCallback m_hookCallback OV_GUARDED_BY(m_mutex);
    std::atomic<unsigned> m_hookGeneration{0};

    std::mutex m_deliverMutex;  // held while a callback runs
};

}  // namespace paneshare
