// The library's factory functions.
#include "PaneShareMgr.h"
#ifdef _WIN32
#include "Win32WindowSystem.h"
#else
#include "X11WindowSystem.h"
#endif

#include <new>

extern "C" {

IPaneShareMgr* CreatePaneShareMgr(IPaneShareMgrSink* sink) {
    paneshare::SetGlobalSink(sink);
    try {
#ifdef _WIN32
        return new paneshare::PaneShareMgr(paneshare::CreateWin32WindowSystem());
#else
        return new paneshare::PaneShareMgr(paneshare::CreateX11WindowSystem());
#endif
    } catch (...) {
        // Nothing throws across the library boundary; no memory means no manager.
        return nullptr;
    }
}

void DestroyPaneShareMgr(IPaneShareMgr* mgr) {
    // Every manager handed out is a PaneShareMgr; the interface has no destructor of its own.
    delete static_cast<paneshare::PaneShareMgr*>(mgr);
}

}  // extern "C"
