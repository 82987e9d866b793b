#include "Render/x11_error_trap.h"

#include <map>
#include <mutex>

namespace Orvane {
namespace render {

namespace {

std::mutex g_trapMutex;
std::map<Display*, int>* g_trapped = nullptr;  // display → first error code since last take
XErrorHandler g_previousHandler = nullptr;
XIOErrorHandler g_previousIOHandler = nullptr;
bool Ours(Display* display);
void MarkConnectionLost(Display* display);

int OnXError(Display* display, XErrorEvent* event) {
    {
        std::lock_guard<std::mutex> lock(g_trapMutex);
        auto it = g_trapped->find(display);
        if (it != g_trapped->end()) {
            if (it->second == 0) it->second = event->error_code;
            return 0;
        }
    }
    return g_previousHandler ? g_previousHandler(display, event) : 0;
}

// A broken connection of ours must not end the host process (Xlib's default handler exits):
// it is marked lost; the connection exit handler set on each of ours then returns too.
int OnXIOError(Display* display) {
    if (Ours(display)) {
        MarkConnectionLost(display);
        return 0;
    }
    return g_previousIOHandler ? g_previousIOHandler(display) : 0;
}

bool Ours(Display* display) {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    return g_trapped->count(display) != 0;
}

void MarkConnectionLost(Display* display) {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    auto it = g_trapped->find(display);
    if (it != g_trapped->end()) it->second = kConnectionLost;
}

void TrapDisplay(Display* display) {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    (*g_trapped)[display] = 0;
}

void UntrapDisplay(Display* display) {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    g_trapped->erase(display);
}

void OnConnectionLost(Display* display, void*) { MarkConnectionLost(display); }

}  // namespace

void InstallTrap() {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    if (g_trapped) return;
    g_trapped = new std::map<Display*, int>();  // lives as long as the process
    g_previousHandler = XSetErrorHandler(OnXError);
    g_previousIOHandler = XSetIOErrorHandler(OnXIOError);
}

int TakeError(Display* display) {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    auto it = g_trapped->find(display);
    if (it == g_trapped->end()) return 0;
    const int code = it->second;
    if (code != kConnectionLost) it->second = 0;  // a broken connection stays broken
    return code;
}

bool ConnectionLost(Display* display) {
    std::lock_guard<std::mutex> lock(g_trapMutex);
    auto it = g_trapped->find(display);
    return it != g_trapped->end() && it->second == kConnectionLost;
}

Display* OpenTrapped() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    TrapDisplay(display);
    XSetIOErrorExitHandler(display, OnConnectionLost, nullptr);
    return display;
}

void CloseTrapped(Display* display) {
    if (!display) return;
    // A broken connection is only forgotten: closing it would talk to the server again.
    if (!ConnectionLost(display)) XCloseDisplay(display);
    UntrapDisplay(display);
}

}  // namespace render
}  // namespace Orvane
