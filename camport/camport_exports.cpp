// The plug-in's exported factories.

#include "Capture/device_info_windows.h"
#include "Capture/device_layer.h"
#include "Capture/video_capture_windows.h"
#include "Render/video_renderer_windows.h"
#include "camport/IVideoCapture.h"
#include "camport/IVideoRenderer.h"

#include <new>

CAMPORT_EXPORT Orvane::VideoCapturePlatform* CreateWinVideoCapture() {
    try {
        return new Orvane::VideoCaptureDS(Orvane::camdev::CreateDefaultDeviceLayer());
    } catch (...) {
        return nullptr;
    }
}

// One destroyer for capture and capability objects, exported under both names: each object
// goes through its own virtual destructor.
CAMPORT_EXPORT void DestroyWinVideoCapture(Orvane::CaptureObject* object) { delete object; }
CAMPORT_EXPORT void DestroyWinVideoCaptureCaps(Orvane::CaptureObject* object)
    __attribute__((alias("DestroyWinVideoCapture")));

CAMPORT_EXPORT Orvane::VideoCaptureCapsPlatform* CreateWinVideoCaptureCaps() {
    try {
        auto* caps = new Orvane::CVideoCaptureCapsWindows(Orvane::camdev::CreateDefaultDeviceLayer());
        caps->CreateDeviceEnumerator();
        return caps;
    } catch (...) {
        return nullptr;
    }
}

CAMPORT_EXPORT Orvane::VideoRendererPlatform* CreateWinVideoRenderer() {
    try {
        return Orvane::CRendererDrawCapsWindows::Instance().CreateRenderer();
    } catch (...) {
        return nullptr;
    }
}

CAMPORT_EXPORT void DestroyWinVideoRenderer(Orvane::VideoRendererPlatform* renderer) {
    try {
        Orvane::CRendererDrawCapsWindows::Instance().DestroyRenderer(renderer);
    } catch (...) {
    }
}
