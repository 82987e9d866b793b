// Finds and loads the camera plug-in (libCamPort.so), binds its capture and renderer exports
// and keeps the camera list object the engine asks for cameras.
// The engine looks next to its own library first, then on the normal library search path.
// Threads: every call from any thread (guarded). The loader outlives every capture object
// made through CaptureApi (the library is unloaded in the destructor).
#pragma once

#include "camera_source.h"
#include "camport/IVideoCapture.h"
#include "video_window.h"

#include <mutex>
#include <string>

namespace mediatap {

class CamPortLoader {
public:
    static constexpr const char* kFileName = CAMPORT_LIBRARY_NAME;
    CamPortLoader() = default;
    ~CamPortLoader();
    CamPortLoader(const CamPortLoader&) = delete;
    CamPortLoader& operator=(const CamPortLoader&) = delete;

    // Loads the plug-in once; true when it is there with its four capture exports. The two
    // renderer exports are bound when present (a plug-in without them only captures).
    bool Load();
    bool Present();

    // Number of cameras the plug-in lists now (0 without the plug-in).
    int CameraCount();
    // Display name and unique id of camera index; false when there is no such camera.
    bool CameraAt(int index, std::string* name, std::string* uniqueId);
    // True when a camera with exactly this unique id is listed now.
    bool HasCamera(const std::string& uniqueId);
    // The capture factories (null members without the plug-in).
    CamPortCaptureApi CaptureApi();
    // The renderer factories (null members without the plug-in or its renderer).
    CamPortRenderApi RenderApi();

private:
    bool LoadLocked();
    Orvane::VideoCaptureCapsPlatform* CapsLocked();

    std::mutex m_lock;
    bool m_tried = false;
    void* m_handle = nullptr;
    CamPortCaptureApi m_capture;
    CamPortRenderApi m_render;
    PFN_CreateWinVideoCaptureCaps m_createCaps = nullptr;
    PFN_DestroyWinVideoCaptureCaps m_destroyCaps = nullptr;
    Orvane::VideoCaptureCapsPlatform* m_caps = nullptr;  // made on first use
};

}  // namespace mediatap
