// The library's factory functions.
#include "PaneShareMgr.h"
#include "X11WindowSystem.h"

#include <new>

extern "C" {

IPaneShareMgr* CreatePaneShareMgr(IPaneShareMgrSink* sink) {
    paneshare::SetGlobalSink(sink);
    try {
        return new paneshare::PaneShareMgr(paneshare::CreateX11WindowSystem());
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
