#include "video_window.h"

#include "common/slogger.h"
#include "common/util.h"
#include "window_grabber.h"

#include <utility>
#include <vector>

namespace mediatap {

Orvane::CapturedFrameInfo I420FrameInfo(int width, int height) {
    Orvane::CapturedFrameInfo info{};
    info.format = kEnginePixelI420;
    info.width = static_cast<uint16_t>(width);
    info.height = static_cast<uint16_t>(height);
    info.flag1 = 1;
    info.flag2 = 1;
    info.timestamp = static_cast<uint32_t>(Orvane::Common::ovGetTickCount());
    return info;
}

// ---------------------------------------------------------------------------------------------
// CEngineVideoWindow

CEngineVideoWindow::CEngineVideoWindow(OvHwnd window, int displayMode)
    : m_window(window), m_displayMode(displayMode) {
    m_event.set();  // not inside a redraw request
}

CEngineVideoWindow::~CEngineVideoWindow() = default;

void CEngineVideoWindow::OnConvertedFrame(const Orvane::CapturedFrameInfo*, const uint8_t*, int) {
    // The renderer draws into a self-drawn window and hands nothing back; count it anyway so
    // a renderer that does is noticed.
    m_converted.fetch_add(1);
}

bool CEngineVideoWindow::RequestRedraw() {
    // A renderer sets the busy byte, waits for the event and then takes the mutex to change
    // the pointer: while it does, no pass is asked for.
    if (m_busy.load()) return false;
    m_event.reset();
    bool ran = false;
    {
        Poco::Mutex::ScopedLock lock(m_mutex);
        if (m_pRedraw) {
            m_pRedraw->Redraw();
            ran = true;
        }
    }
    m_event.set();
    return ran;
}

// ---------------------------------------------------------------------------------------------
// WindowRenderer

WindowRenderer::WindowRenderer(const CamPortRenderApi& api, OvHwnd window)
    : m_api(api), m_window(window), m_object(new CEngineVideoWindow(window)) {}

std::unique_ptr<WindowRenderer> WindowRenderer::Open(const CamPortRenderApi& api, OvHwnd window,
                                                     std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!api.Present()) {
        *error = "the camera plug-in with its renderer is not loaded";
        return nullptr;
    }
    if (!window) {
        *error = "no window";
        return nullptr;
    }
    if (!X11WindowExists(window)) {
        *error = "the X server has no such window";
        return nullptr;
    }
    std::unique_ptr<WindowRenderer> renderer(new WindowRenderer(api, window));
    renderer->m_renderer = api.createRenderer();
    if (!renderer->m_renderer) {
        *error = "the camera plug-in could not make a renderer";
        return nullptr;
    }
    if (!renderer->m_renderer->AttachWindow(renderer->m_object.get())) {
        *error = "the renderer did not attach to the window";
        return nullptr;
    }
    return renderer;
}

WindowRenderer::~WindowRenderer() {
    // Detaches (waiting for a pass that draws it) and removes the redraw pointer from the
    // window object; after that the object may go.
    if (m_renderer) m_api.destroyRenderer(m_renderer);
    m_renderer = nullptr;
}

bool WindowRenderer::Render(const Orvane::CapturedFrameInfo& info, const uint8_t* data, int length) {
    if (!m_renderer || !m_renderer->RenderFrame(&info, data, length)) return false;
    m_given.fetch_add(1);
    return true;
}

bool WindowRenderer::RenderI420(const I420Frame& picture) {
    if (picture.width <= 0 || picture.height <= 0 || picture.pixels.empty()) return false;
    const Orvane::CapturedFrameInfo info = I420FrameInfo(picture.width, picture.height);
    return Render(info, picture.pixels.data(), static_cast<int>(picture.pixels.size()));
}

// ---------------------------------------------------------------------------------------------
// PreviewWindows

PreviewWindows::~PreviewWindows() { RemoveAll(); }

int PreviewWindows::Add(const CamPortRenderApi& api, OvHwnd window, const std::string& source) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_windows.count(window)) return 0;
    }
    std::string error;
    std::unique_ptr<WindowRenderer> renderer = WindowRenderer::Open(api, window, &error);
    if (!renderer) {
        OV_LOG("AddVideoWindow %s, window 0x%lx: %s", source.c_str(), static_cast<unsigned long>(window),
               error.c_str());
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // Added by another call meanwhile: that one stays, this renderer goes below.
        if (m_windows.emplace(window, std::move(renderer)).second) {
            m_count.store(m_windows.size());
            OV_LOG("AddVideoWindow %s: window 0x%lx", source.c_str(), static_cast<unsigned long>(window));
        }
    }
    return 0;
}

int PreviewWindows::Remove(OvHwnd window) {
    std::unique_ptr<WindowRenderer> removed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_windows.find(window);
        if (it == m_windows.end()) return -1;
        removed = std::move(it->second);
        m_windows.erase(it);
        m_count.store(m_windows.size());
    }
    removed.reset();  // waits for a drawing pass, so outside the lock the frames take
    return 0;
}

int PreviewWindows::RemoveAll() {
    std::map<OvHwnd, std::unique_ptr<WindowRenderer>> removed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        removed.swap(m_windows);
        m_count.store(0);
    }
    return static_cast<int>(removed.size());
}

void PreviewWindows::Render(const Orvane::CapturedFrameInfo& info, const uint8_t* data, int length) {
    if (Empty()) return;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& entry : m_windows) entry.second->Render(info, data, length);
}

void PreviewWindows::RenderI420(const I420Frame& picture) {
    if (Empty()) return;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& entry : m_windows) entry.second->RenderI420(picture);
}

}  // namespace mediatap
