// Cameras and their preview windows. They live in the camera plug-in, which the engine loads
// by file name; without it there are no cameras and every camera call fails.
#include "mediatap_engine.h"

#include "common/slogger.h"

namespace mediatap {

int CMediaTap::GetCameraCount() {
    // Cameras are listed by the plug-in; until the engine drives its capture objects, a
    // loaded plug-in contributes none either.
    m_camPort.Load();
    return 0;
}

int CMediaTap::GetCameraNames(int index, char* name, char* uniName) {
    (void)index;
    (void)name;
    (void)uniName;
    return -1;
}

int CMediaTap::OpenCamera(const char* uniName, int a, int b, int c) {
    OV_LOG("OpenCamera %s (%d, %d, %d): no such camera", uniName ? uniName : "(null)", a, b, c);
    return -1;
}

int CMediaTap::CloseCamera(const char* uniName) {
    (void)uniName;
    return -1;
}

int CMediaTap::AddVideoWindow(const char* uniName, OvHwnd window) {
    (void)uniName;
    (void)window;
    return -1;
}

int CMediaTap::RemoveVideoWindow(const char* uniName, OvHwnd window) {
    (void)uniName;
    (void)window;
    return -1;
}

int CMediaTap::RemoveAllVideoWindows(const char* uniName) {
    (void)uniName;
    return -1;
}

}  // namespace mediatap
