// The drawing half of the camera plug-in (libCamPort.so) as the engine sees it: one renderer
// per video window, fed with frames in the CapturedFrameInfo layout.
//
// Binary contract: slots are only ever appended, never reordered or changed, and callbacks
// into a host are opt-in (made only through interfaces the host registered).
//
// Windows are X11 window ids. The plug-in opens its own connections to the X server named by
// the DISPLAY environment variable (read when the first renderer is created).
//
// A renderer either draws the frames itself into the window (the window object answers
// IsSelfDrawn() true), fitted, filled or stretched by GetDisplayMode(), on the plug-in's one
// redraw thread; or it converts each frame to RGB24 and hands it back to the window object
// (IsSelfDrawn() false), drawing nothing.
//
// Every object a factory returns belongs to the engine until it hands it to the matching
// destroyer; never delete it any other way. Nothing throws.
#pragma once

#include "camport/CameraTypes.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <atomic>
#include <cstdint>

namespace Orvane {

// The redraw callback a renderer installs in its window object.
// Threads: Redraw may be called from any thread (it takes the renderer's state lock).
class RenderRedraw {
public:
    /* 0 */ virtual ~RenderRedraw() = default;
    // One drawing pass for this renderer.
    /* 1 */ virtual void Redraw() = 0;
};

// The engine's window object, as the renderer uses it. Implemented by the engine; it must
// outlive its use by a renderer: until the renderer is destroyed or attached to another
// window (a detached renderer keeps the object, see DetachWindow).
// Threads: the renderer calls the virtual operations from engine threads (RenderFrame) and
// from its redraw thread; they must be safe to call from any thread.
class EngineVideoWindow {
public:
    /* 0 */ virtual void Reserved0() {}
    // A frame converted to RGB24 (info->format 10, B, G, R bytes, rows without padding) for a
    // window that draws by itself. The buffer is valid only during the call.
    /* 1 */ virtual void OnConvertedFrame(const CapturedFrameInfo* info, const uint8_t* rgb, int length) = 0;
    /* 2 */ virtual void Reserved2() {}
    // The X11 window id (0: none).
    /* 3 */ virtual unsigned long GetHwnd() = 0;
    // True: the renderer draws into the window. False: the window object draws what it is
    // given through OnConvertedFrame.
    /* 4 */ virtual bool IsSelfDrawn() = 0;
    // 1 fit (whole frame, aspect kept, black bars), 2 fill (aspect kept, overflow clipped),
    // anything else stretches. Frames taller than wide are always fitted.
    /* 5 */ virtual int GetDisplayMode() = 0;

    // Touched by the renderer when it installs or removes its redraw pointer: it sets
    // m_busy to 1, waits for m_event at most 1000 ms, stores m_pRedraw under m_mutex, and sets
    // m_busy back to 0. The window reads m_pRedraw under m_mutex.
    Poco::Mutex m_mutex;
    Poco::Event m_event{Poco::Event::EVENT_MANUALRESET};
    std::atomic<uint8_t> m_busy{0};
    RenderRedraw* m_pRedraw = nullptr;

protected:
    ~EngineVideoWindow() = default;
};

// One renderer, from CreateWinVideoRenderer.
// Threads: any engine thread. RenderFrame never waits for a drawing pass.
class VideoRendererPlatform {
public:
    // Binds the renderer to a window object (false for none). Attaching the window that is
    // already attached is a no-op (true); a new window starts empty until the next frame.
    // Note: after DetachWindow the window id is kept, so attaching the same window again
    // returns true but leaves the renderer detached.
    /* 0 */ virtual bool AttachWindow(EngineVideoWindow* window) = 0;
    // Drops the surfaces and the frame and leaves the attached state; keeps the window object
    // and its id (a second detach forgets the id). A kept window object that does not draw
    // by itself still gets converted frames from RenderFrame.
    /* 1 */ virtual void DetachWindow() = 0;
    /* 2 */ virtual EngineVideoWindow* GetAttachedWindow() = 0;
    // Labels are stored (text up to 254 characters) but not drawn.
    /* 3 */ virtual void SetLabelText(const char* text) = 0;
    /* 4 */ virtual void SetLabelValue(int value) = 0;
    // Hands over one frame (any EnginePixelFormat; data valid only during the call; I420
    // planes Y, U, V with chroma planes of ceil(w / 2) x ceil(h / 2)). A window object that
    // does not draw by itself gets it converted (true). Otherwise false when not attached;
    // true when taken (a frame without data leaves nothing new to draw).
    /* 5 */ virtual bool RenderFrame(const CapturedFrameInfo* info, const uint8_t* data, int length) = 0;
    // True when format is the input format the display draws best (1 I420 or 10 RGB24).
    /* 6 */ virtual bool IsPreferredFormat(int format) = 0;

protected:
    ~VideoRendererPlatform() = default;
};

}  // namespace Orvane

#ifndef CAMPORT_EXPORT
#define CAMPORT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Creates a renderer (probing the display on first use); null only when it cannot be made.
CAMPORT_EXPORT Orvane::VideoRendererPlatform* CreateWinVideoRenderer();
// Unregisters and detaches a renderer; it is freed once no drawing pass holds it. Null and
// pointers that are not live renderers are ignored.
CAMPORT_EXPORT void DestroyWinVideoRenderer(Orvane::VideoRendererPlatform* renderer);

typedef Orvane::VideoRendererPlatform* (*PFN_CreateWinVideoRenderer)();
typedef void (*PFN_DestroyWinVideoRenderer)(Orvane::VideoRendererPlatform*);

#define CAMPORT_CREATE_RENDERER_NAME "CreateWinVideoRenderer"
#define CAMPORT_DESTROY_RENDERER_NAME "DestroyWinVideoRenderer"
