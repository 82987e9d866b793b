#include "camport_loader.h"

#include "common/slogger.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

namespace mediatap {
namespace {

// The folder this library was loaded from, with a trailing slash ("" when unknown).
std::string OwnFolder() {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&OwnFolder), &info) || !info.dli_fname) return "";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

template <typename T>
bool Bind(void* handle, const char* name, T* out) {
    *out = reinterpret_cast<T>(dlsym(handle, name));
    if (*out) return true;
    OV_LOG("camera plug-in %s lacks %s: not used", CamPortLoader::kFileName, name);
    return false;
}

enum : int { kNameSize = 128 };

}  // namespace

CamPortLoader::~CamPortLoader() {
    if (m_caps) m_destroyCaps(m_caps);
    if (m_handle) dlclose(m_handle);
}

bool CamPortLoader::Load() {
    std::lock_guard<std::mutex> lock(m_lock);
    return LoadLocked();
}

bool CamPortLoader::LoadLocked() {
    if (m_tried) return m_handle != nullptr;
    m_tried = true;
    std::string folder = OwnFolder();
    // Once loaded the plug-in stays mapped for the life of the process (RTLD_NODELETE): its
    // process-wide state would otherwise be dropped, unreachable, on each engine's end, and
    // its code must outlive any thread-exit or exit handler it registered.
    const int mode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
    void* handle = folder.empty() ? nullptr : dlopen((folder + kFileName).c_str(), mode);
    if (!handle) handle = dlopen(kFileName, mode);
    if (!handle) {
        OV_LOG("camera plug-in %s not found: no cameras", kFileName);
        return false;
    }
    CamPortCaptureApi capture;
    if (!Bind(handle, CAMPORT_CREATE_CAPTURE_NAME, &capture.createCapture) ||
        !Bind(handle, CAMPORT_DESTROY_CAPTURE_NAME, &capture.destroyCapture) ||
        !Bind(handle, CAMPORT_CREATE_CAPS_NAME, &m_createCaps) ||
        !Bind(handle, CAMPORT_DESTROY_CAPS_NAME, &m_destroyCaps)) {
        m_createCaps = nullptr;
        m_destroyCaps = nullptr;
        dlclose(handle);
        return false;
    }
    m_capture = capture;
    m_handle = handle;
    // The renderer exports draw the video windows; capture works without them.
    CamPortRenderApi render;
    if (Bind(handle, CAMPORT_CREATE_RENDERER_NAME, &render.createRenderer) &&
        Bind(handle, CAMPORT_DESTROY_RENDERER_NAME, &render.destroyRenderer))
        m_render = render;
    OV_LOG("camera plug-in %s loaded%s", kFileName, m_render.Present() ? "" : " without its renderer");
    return true;
}

bool CamPortLoader::Present() { return Load(); }

Orvane::VideoCaptureCapsPlatform* CamPortLoader::CapsLocked() {
    if (!LoadLocked()) return nullptr;
    if (!m_caps) {
        m_caps = m_createCaps();
        if (!m_caps) OV_LOG("camera plug-in %s: no camera list object", kFileName);
    }
    return m_caps;
}

int CamPortLoader::CameraCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    Orvane::VideoCaptureCapsPlatform* caps = CapsLocked();
    if (!caps) return 0;
    int count = caps->GetDeviceCount();
    return count > 0 ? count : 0;
}

bool CamPortLoader::CameraAt(int index, std::string* name, std::string* uniqueId) {
    std::lock_guard<std::mutex> lock(m_lock);
    Orvane::VideoCaptureCapsPlatform* caps = CapsLocked();
    if (!caps || index < 0) return false;
    char nameBuf[kNameSize] = {0};
    char idBuf[kNameSize] = {0};
    if (caps->GetDeviceNameAt(index, nameBuf, idBuf) != 0) return false;
    nameBuf[kNameSize - 1] = 0;
    idBuf[kNameSize - 1] = 0;
    *name = nameBuf;
    *uniqueId = idBuf;
    return !uniqueId->empty();
}

bool CamPortLoader::HasCamera(const std::string& uniqueId) {
    // The plug-in's own HasDevice matches prefixes ("/dev/video1" would find "/dev/video10"):
    // the engine compares whole ids.
    const int count = CameraCount();
    for (int i = 0; i < count; ++i) {
        std::string name, id;
        if (CameraAt(i, &name, &id) && id == uniqueId) return true;
    }
    return false;
}

CamPortCaptureApi CamPortLoader::CaptureApi() {
    std::lock_guard<std::mutex> lock(m_lock);
    return LoadLocked() ? m_capture : CamPortCaptureApi();
}

CamPortRenderApi CamPortLoader::RenderApi() {
    std::lock_guard<std::mutex> lock(m_lock);
    return LoadLocked() ? m_render : CamPortRenderApi();
}

}  // namespace mediatap
