// The renderers' shared half: the drawing capabilities probed once per process, the registry
// of renderers and the redraw thread that draws them all.
#include "Render/video_renderer_windows.h"

#include "Render/draw_layer_x11.h"
#include "common/slogger.h"

#include <pthread.h>

#include <new>

namespace Orvane {

RenderCapsDecision DecideRenderCaps(const render::DeviceCaps& caps) {
    RenderCapsDecision d;
    if (caps.nonLocalStretch) {
        d.offscreenMemory = render::kMemNonLocalVideo;
        d.primaryMemory = render::kMemVideo;
        d.filteredStretch = true;
    } else if (caps.videoStretch) {
        d.offscreenMemory = render::kMemVideo;
        d.primaryMemory = render::kMemVideo;
        d.filteredStretch = true;
    } else if (caps.systemToVideoStretch) {
        d.offscreenMemory = render::kMemSystem;
        d.primaryMemory = render::kMemVideo;
        d.filteredStretch = true;
    } else {
        d.offscreenMemory = render::kMemSystem;
        d.primaryMemory = render::kMemSystem;
    }
    if (d.filteredStretch && caps.anyFourcc && caps.yv12) d.preferredFormat = kEnginePixelI420;
    return d;
}

// ---------------------------------------------------------------------------------------------
// CRendererDrawCapsWindows

CRendererDrawCapsWindows::CRendererDrawCapsWindows(std::shared_ptr<render::IDrawLayer> layer, bool startThread)
    : m_layer(std::move(layer)), m_bStartThread(startThread) {}

CRendererDrawCapsWindows::~CRendererDrawCapsWindows() {
    try {
        if (m_thread.isRunning()) m_thread.stop();
    } catch (...) {
    }
}

void CRendererDrawCapsWindows::StopThread() {
    try {
        if (m_thread.isRunning()) m_thread.stop();
    } catch (...) {
    }
}

CRendererDrawCapsWindows& CRendererDrawCapsWindows::Instance() {
    // At unload the redraw thread is stopped, but the object and its display connections are
    // left to the process: the X server may already be gone then, and renderers the engine
    // never destroyed still point at the object.
    struct Holder {
        CRendererDrawCapsWindows* object = nullptr;
        ~Holder() {
            if (object) object->StopThread();
        }
    };
    static Poco::FastMutex mutex;
    static Holder holder;
    Poco::FastMutex::ScopedLock lock(mutex);
    if (!holder.object) holder.object = new CRendererDrawCapsWindows(render::CreateX11DrawLayer());
    return *holder.object;
}

bool CRendererDrawCapsWindows::EnsureProbed() {
    if (m_bInitialized.load()) return true;
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (m_bInitialized.load()) return true;
    std::unique_ptr<render::IDrawDevice> device = m_layer->CreateDevice();
    if (!device) {
        OV_LOG("renderer: the display cannot be reached; probing again on next use");
        return false;
    }
    render::DeviceCaps caps;
    if (m_layer->GetCaps(*device, &caps)) {
        const RenderCapsDecision d = DecideRenderCaps(caps);
        m_offscreenMemory = d.offscreenMemory;
        m_primaryMemory = d.primaryMemory;
        m_filteredStretch = d.filteredStretch;
        m_preferredFormat = d.preferredFormat;
    }
    OV_LOG("renderer caps: offscreen 0x%x, primary 0x%x, filtered %d, preferred format %d",
           static_cast<unsigned>(m_offscreenMemory.load()), static_cast<unsigned>(m_primaryMemory.load()),
           m_filteredStretch.load() ? 1 : 0, m_preferredFormat.load());
    m_bInitialized = true;
    if (m_bStartThread && !m_thread.isRunning()) {
        m_thread.start(0, this, 0);
    }
    return true;
}

VideoRendererDDrawWindows* CRendererDrawCapsWindows::CreateRenderer() {
    EnsureProbed();
    VideoRendererDDrawWindows* renderer = new (std::nothrow) VideoRendererDDrawWindows(*this);
    if (!renderer) return nullptr;
    m_renderers.Set(renderer, renderer);
    return renderer;
}

bool CRendererDrawCapsWindows::DestroyRenderer(VideoRendererPlatform* key) {
    VideoRendererDDrawWindows* renderer = m_renderers.Remove(key);
    if (!renderer) return false;
    renderer->DetachWindow();  // waits for a pass in progress
    renderer->release();       // freed here, or by the pass that still holds it
    return true;
}

size_t CRendererDrawCapsWindows::RegisteredCount() { return m_renderers.Size(); }

void CRendererDrawCapsWindows::RedrawPass() {
    bool recreate = false;
    if (m_bDisplayChangePending.load()) {
        // Drawing resumes once the display offers what was probed at start.
        std::unique_ptr<render::IDrawDevice> device = m_layer->CreateDevice();
        if (!device) return;
        render::DeviceCaps caps;
        const uint32_t memory = m_layer->GetCaps(*device, &caps) ? DecideRenderCaps(caps).offscreenMemory
                                                                  : render::kMemNone;
        if (memory != m_offscreenMemory.load()) return;
        m_bDisplayChangePending = false;
        recreate = true;
        OV_LOG("renderer: display is back, surfaces are made again");
    }
    std::vector<VideoRendererDDrawWindows*> renderers;
    m_renderers.ForEach([&](VideoRendererPlatform*, VideoRendererDDrawWindows* renderer) {
        renderer->duplicate();  // under the table's lock, so a DestroyRenderer cannot free it first
        renderers.push_back(renderer);
    });
    for (VideoRendererDDrawWindows* renderer : renderers) {
        if (recreate) renderer->RequestRecreate();
        renderer->Redraw();
        renderer->release();
    }
    ++m_passes;
}

bool CRendererDrawCapsWindows::run(unsigned, unsigned) {
    if (!m_bThreadNamed) {
        pthread_setname_np(pthread_self(), "render_thread");
        m_bThreadNamed = true;
    }
    try {
        RedrawPass();
    } catch (...) {
        // A pass never takes the thread down; the next one tries again.
    }
    m_wait.Wait(kPassIntervalMs);
    return true;
}

}  // namespace Orvane
