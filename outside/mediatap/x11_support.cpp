#include "x11_support.h"

#include "x11trap/x11_trap.h"

#include <mutex>

namespace mediatap {

void InitXlib() {
    static std::once_flag once;
    std::call_once(once, [] { XInitThreads(); });
}

Display* OpenDisplay() {
    InitXlib();
    return x11trap::Open(nullptr);
}

void CloseDisplay(Display* display) { x11trap::Close(display); }

bool DisplayLost(Display* display) { return x11trap::Lost(display); }

ErrorTrap::ErrorTrap(Display* display) : m_display(display) { x11trap::TakeError(display); }

int ErrorTrap::Sync() {
    const int error = x11trap::SyncError(m_display);
    if (!m_error) m_error = error;
    return m_error;
}

int ErrorTrap::Error() const {
    const int error = x11trap::TakeError(m_display);
    if (!m_error) m_error = error;
    return m_error;
}

}  // namespace mediatap
