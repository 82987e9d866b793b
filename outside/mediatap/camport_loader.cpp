#include "camport_loader.h"

#include "common/slogger.h"

#include <dlfcn.h>

#include <string>

namespace mediatap {
namespace {
const char* const kExports[] = {
    "CreateWinVideoCapture",   "DestroyWinVideoCapture",  "CreateWinVideoCaptureCaps",
    "DestroyWinVideoCaptureCaps", "CreateWinVideoRenderer", "DestroyWinVideoRenderer",
};

// The folder this library was loaded from, with a trailing slash ("" when unknown).
std::string OwnFolder() {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&OwnFolder), &info) || !info.dli_fname) return "";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}
}  // namespace

CamPortLoader::~CamPortLoader() {
    if (m_handle) dlclose(m_handle);
}

bool CamPortLoader::Load() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_tried) return m_handle != nullptr;
    m_tried = true;
    std::string folder = OwnFolder();
    void* handle = folder.empty() ? nullptr : dlopen((folder + kFileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) handle = dlopen(kFileName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        OV_LOG("camera plug-in %s not found: no cameras", kFileName);
        return false;
    }
    for (const char* name : kExports) {
        if (!dlsym(handle, name)) {
            OV_LOG("camera plug-in %s lacks %s: not used", kFileName, name);
            dlclose(handle);
            return false;
        }
    }
    m_handle = handle;
    OV_LOG("camera plug-in %s loaded", kFileName);
    return true;
}

bool CamPortLoader::Present() { return Load(); }

}  // namespace mediatap
