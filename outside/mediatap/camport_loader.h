// Finds and loads the camera plug-in (libCamPort.so) and binds its six exports.
// The engine looks next to its own library first, then on the normal library search path.
// Threads: Load and the queries from any thread (guarded).
#pragma once

#include <mutex>
#include <string>

namespace mediatap {

class CamPortLoader {
public:
    static constexpr const char* kFileName = "libCamPort.so";
    CamPortLoader() = default;
    ~CamPortLoader();
    CamPortLoader(const CamPortLoader&) = delete;
    CamPortLoader& operator=(const CamPortLoader&) = delete;

    // Loads the plug-in once; true when it is there with all six exports.
    bool Load();
    bool Present();

private:
    std::mutex m_lock;
    bool m_tried = false;
    void* m_handle = nullptr;
};

}  // namespace mediatap
