// The video renderer: one VideoRendererDDrawWindows per video window, all sharing one
// CRendererDrawCapsWindows that probes the display once, keeps the registry of live renderers
// and runs the redraw thread (a pass over every renderer each 16 ms).
//
// Frame hand-over: RenderFrame copies the frame into the pending packet under the frame mutex
// only; a drawing pass exchanges the pending and render packets, so the engine's thread never
// waits for drawing.
//
// Threads:
// - VideoRendererPlatform operations: any engine thread. AttachWindow / DetachWindow take the
//   state mutex (held for a whole pass), RenderFrame / SetLabel* only the frame mutex.
// - Redraw: the redraw thread, or any thread through the window object's redraw pointer.
// - CRendererDrawCapsWindows: every member from any thread; run is the redraw thread's.
#pragma once

#include "Render/draw_layer.h"
#include "camport/IVideoRenderer.h"
#include "common/buffer.h"
#include "common/id_table.h"
#include "common/thread.h"
#include "mediakit/IVideoConvert.h"

#include <Poco/Mutex.h>
#include <Poco/RefCountedObject.h>

#include <atomic>
#include <memory>
#include <vector>

namespace Orvane {

class VideoRendererDDrawWindows;

// The capability decision of the probe, from what the device reports.
struct RenderCapsDecision {
    uint32_t offscreenMemory = render::kMemNone;
    uint32_t primaryMemory = render::kMemNone;
    bool filteredStretch = false;
    int preferredFormat = kEnginePixelRGB24;
};
RenderCapsDecision DecideRenderCaps(const render::DeviceCaps& caps);

class CRendererDrawCapsWindows : public Common::CThreadSink {
public:
    enum { kPassIntervalMs = 16 };

    // startThread false: the probe does not start the redraw thread (tests drive passes).
    explicit CRendererDrawCapsWindows(std::shared_ptr<render::IDrawLayer> layer, bool startThread = true);
    // Stops the redraw thread. Renderers still registered are left alone (the engine owns them).
    virtual ~CRendererDrawCapsWindows();
    CRendererDrawCapsWindows(const CRendererDrawCapsWindows&) = delete;
    CRendererDrawCapsWindows& operator=(const CRendererDrawCapsWindows&) = delete;

    // The process-wide object over the X11 drawing layer, made on first use.
    static CRendererDrawCapsWindows& Instance();

    // Probes once (retried while the display cannot be reached); then starts the thread.
    bool EnsureProbed();
    int PreferredFormat() const { return m_preferredFormat.load(); }
    uint32_t OffscreenMemory() const { return m_offscreenMemory.load(); }
    uint32_t PrimaryMemory() const { return m_primaryMemory.load(); }
    bool FilteredStretch() const { return m_filteredStretch.load(); }

    bool DisplayChangePending() const { return m_bDisplayChangePending.load(); }
    void SetDisplayChangePending() { m_bDisplayChangePending = true; }

    render::IDrawLayer& Layer() { return *m_layer; }

    // Creates a renderer, registers it (the registry holds one reference) and returns it.
    VideoRendererDDrawWindows* CreateRenderer();
    // Unregisters, detaches and drops the registry's reference. False when not registered.
    bool DestroyRenderer(VideoRendererPlatform* renderer);
    size_t RegisteredCount();

    // One pass of the redraw thread (display-change handling, then every renderer).
    void RedrawPass();
    // Stops the redraw thread (passes end; the object stays usable for the exports' bookkeeping).
    void StopThread();
    // Passes run so far.
    uint64_t PassCount() const { return m_passes.load(); }

    // CThreadSink: one pass, then the wait to the next.
    bool run(unsigned, unsigned) override;

private:
    std::shared_ptr<render::IDrawLayer> m_layer;
    const bool m_bStartThread;

    std::atomic<int> m_preferredFormat{kEnginePixelRGB24};
    std::atomic<uint32_t> m_offscreenMemory{render::kMemNone};
    std::atomic<uint32_t> m_primaryMemory{render::kMemNone};
    std::atomic<bool> m_filteredStretch{false};
    std::atomic<bool> m_bInitialized{false};
    std::atomic<bool> m_bDisplayChangePending{false};
    std::atomic<uint64_t> m_passes{0};

    Poco::Mutex m_mutex;  // probe
    Common::IdTable<VideoRendererPlatform*, VideoRendererDDrawWindows*> m_renderers;

    Common::CThreadEx m_thread;
    Common::CAccurateWaitTime m_wait;  // the redraw thread's own
    bool m_bThreadNamed = false;       // the redraw thread's own
};

class VideoRendererDDrawWindows : public VideoRendererPlatform, public Poco::RefCountedObject, public RenderRedraw {
public:
    explicit VideoRendererDDrawWindows(CRendererDrawCapsWindows& caps);

    // VideoRendererPlatform
    bool AttachWindow(EngineVideoWindow* window) override;
    void DetachWindow() override;
    EngineVideoWindow* GetAttachedWindow() override { return m_pWindow.load(); }
    void SetLabelText(const char* text) override;
    void SetLabelValue(int value) override;
    bool RenderFrame(const CapturedFrameInfo* info, const uint8_t* data, int length) override;
    bool IsPreferredFormat(int format) override;

    // RenderRedraw: one drawing pass.
    void Redraw() override;

    // Set by the redraw thread after a display change: the next pass makes new surfaces.
    void RequestRecreate() { m_bRecreateRequested = true; }

    // For inspection.
    bool IsAttached();
    bool HasSurfaces();
    int SurfaceWidth();
    int SurfaceHeight();
    bool Yv12Mode();
    unsigned long WindowHandleKept();
    // Frames copied into the surface so far (each new frame a pass showed).
    uint64_t FramesShown() const { return m_framesShown.load(); }

protected:
    ~VideoRendererDDrawWindows() override;

private:
    enum class CopyResult { kOk, kFailed, kWrongSurface };

    void DetachLocked();
    bool MakeSurfaces(const CapturedFrameInfo& info, bool recordPresent);
    void ReleaseSurfaces();
    CopyResult CopyContent(const CapturedFrameInfo& info, const render::LockedSurface& surface);
    void DrawToWindow(const CapturedFrameInfo& info);
    static void InstallRedraw(EngineVideoWindow* window, RenderRedraw* redraw);

    CRendererDrawCapsWindows& m_caps;

    std::atomic<EngineVideoWindow*> m_pWindow{nullptr};
    std::atomic<unsigned long> m_hWnd{0};
    std::atomic<EngineVideoWindow*> m_pRedrawWindow{nullptr};  // holds our redraw pointer

    Poco::Mutex m_stateMutex;  // attach, detach, drawing
    Poco::Mutex m_frameMutex;  // hand-over: packets, record, flags below
    Poco::Mutex m_convertMutex;

    // Under the frame mutex.
    bool m_bAttached = false;
    Common::CDataPacket m_pending;
    Common::CDataPacket m_render;
    CapturedFrameInfo m_record{};
    bool m_bNewFrame = false;
    bool m_bRecordPresent = false;
    char m_label[255] = {};
    bool m_bLabelSet = false;
    int m_labelValue = 0;
    bool m_bLabelValueSet = false;

    // Under the state mutex.
    bool m_bCopyContent = false;
    bool m_bYv12 = false;
    std::unique_ptr<render::IDrawDevice> m_device;
    std::unique_ptr<render::IDrawSurface> m_offscreen;
    std::unique_ptr<render::IDrawSurface> m_black1;
    std::unique_ptr<render::IDrawSurface> m_black2;
    int m_surfaceWidth = 0;
    int m_surfaceHeight = 0;

    std::atomic<bool> m_bRecreateRequested{false};
    std::atomic<uint64_t> m_framesShown{0};
    IVideoConvert* m_pConverter;  // under the convert mutex
};

}  // namespace Orvane
