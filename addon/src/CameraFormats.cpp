#include "CameraFormats.h"

#include "camport/IVideoCapture.h"

#include <dlfcn.h>

#include <mutex>

namespace streamaddon {

namespace {

// The folder this module was loaded from, with a trailing slash ("" when unknown).
std::string OwnFolder() {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&OwnFolder), &info) || !info.dli_fname) return "";
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

struct CapsApi {
    PFN_CreateWinVideoCaptureCaps create = nullptr;
    PFN_DestroyWinVideoCaptureCaps destroy = nullptr;
};

// Loads the plug-in once, next to this module first (where the build puts every library),
// then from the library search path, as the engine does. It stays loaded: the engine holds it
// for the life of the process too.
CapsApi LoadCaps() {
    static std::once_flag once;
    static CapsApi api;
    std::call_once(once, [] {
        const int mode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
        const std::string folder = OwnFolder();
        void* handle = folder.empty() ? nullptr : dlopen((folder + CAMPORT_LIBRARY_NAME).c_str(), mode);
        if (!handle) handle = dlopen(CAMPORT_LIBRARY_NAME, mode);
        if (!handle) return;
        auto create = reinterpret_cast<PFN_CreateWinVideoCaptureCaps>(dlsym(handle, CAMPORT_CREATE_CAPS_NAME));
        auto destroy = reinterpret_cast<PFN_DestroyWinVideoCaptureCaps>(dlsym(handle, CAMPORT_DESTROY_CAPS_NAME));
        if (create && destroy) {
            api.create = create;
            api.destroy = destroy;
        }
    });
    return api;
}

}  // namespace

const char* PixelFormatName(int engineFormat) {
    switch (engineFormat) {
    case kEnginePixelI420: return "I420";
    case kEnginePixelYUY2: return "YUY2";
    case kEnginePixelUYVY: return "UYVY";
    case kEnginePixelIYUV: return "IYUV";
    case kEnginePixelRGB24: return "RGB24";
    case kEnginePixelRGB565: return "RGB565";
    case kEnginePixelMJPEG: return "MJPG";
    default: return "unknown";
    }
}

std::vector<CameraFormat> CameraFormats(const std::string& cameraId) {
    std::vector<CameraFormat> formats;
    const CapsApi api = LoadCaps();
    if (!api.create) return formats;
    Orvane::VideoCaptureCapsPlatform* caps = api.create();
    if (!caps) return formats;
    const int count = caps->GetCapabilityCount(cameraId.c_str());
    for (int i = 0; i < count; ++i) {
        Orvane::CapsEntry entry{};
        if (caps->GetCapabilityAt(cameraId.c_str(), i, &entry) != 0) continue;
        formats.push_back(CameraFormat{entry.width, entry.height, entry.fps, PixelFormatName(entry.format)});
    }
    api.destroy(caps);
    return formats;
}

}  // namespace streamaddon
