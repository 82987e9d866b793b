// Helper program of the Windows window tests: makes the windows its arguments describe,
// prints "NAME 0xHWND" for each and then "ready", and keeps them alive until its standard
// input ends (or it is ended).
//
//   paneshare_testwin NAME:key=value;key ...
//
// keys: title=TEXT (UTF-8)   class=CLASS (window class, registered here)
//       tool (WS_EX_TOOLWINDOW)   owner=NAME (a pop-up owned by that window)
//       minimised   hidden   child (WS_CHILD with the desktop window as parent)
//       leaf=CLASS (a child window of that class without children)
//       branch=CLASS (a child window of that class with a child of its own)
// Child windows are printed as NAME.leafN and NAME.branchN.
#include <windows.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

const wchar_t* ClassFor(const std::string& name) {
    static std::map<std::string, std::wstring> registered;
    auto it = registered.find(name);
    if (it != registered.end()) return it->second.c_str();
    std::wstring wide = Widen(name);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = wide.c_str();
    RegisterClassW(&wc);
    return registered.emplace(name, wide).first->second.c_str();
}

DWORD WINAPI WaitForInputEnd(void* mainThread) {
    char buffer[256];
    DWORD n = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    }
    PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<uintptr_t>(mainThread)), WM_QUIT, 0, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, HWND> made;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t colon = arg.find(':');
        const std::string name = arg.substr(0, colon);
        std::map<std::string, std::string> keys;
        std::vector<std::pair<std::string, std::string>> children;
        if (colon != std::string::npos) {
            size_t start = colon + 1;
            while (start <= arg.size()) {
                size_t end = arg.find(';', start);
                if (end == std::string::npos) end = arg.size();
                const std::string item = arg.substr(start, end - start);
                const size_t eq = item.find('=');
                const std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
                if (key == "leaf" || key == "branch")
                    children.emplace_back(key, value);
                else if (!key.empty())
                    keys[key] = value;
                start = end + 1;
            }
        }
        DWORD style = WS_OVERLAPPEDWINDOW, exStyle = 0;
        HWND parent = nullptr;
        if (keys.count("tool")) exStyle |= WS_EX_TOOLWINDOW;
        if (keys.count("owner")) {
            style = WS_POPUP | WS_CAPTION;
            parent = made[keys["owner"]];
        }
        if (keys.count("child")) {
            style = WS_CHILD;
            parent = GetDesktopWindow();
        }
        const std::string cls = keys.count("class") ? keys["class"] : "PaneShareTestWin";
        HWND w = CreateWindowExW(exStyle, ClassFor(cls), Widen(keys["title"]).c_str(), style, 40 + 20 * i, 40 + 20 * i,
                                 200, 150, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!w) {
            std::fprintf(stderr, "cannot create %s: error %lu\n", name.c_str(), GetLastError());
            return 1;
        }
        int leaves = 0, branches = 0;
        for (const auto& child : children) {
            HWND c = CreateWindowExW(0, ClassFor(child.second), L"", WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, w, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
            std::string childName;
            if (child.first == "branch") {
                CreateWindowExW(0, ClassFor("Inner"), L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, c, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
                childName = name + ".branch" + std::to_string(branches++);
            } else {
                childName = name + ".leaf" + std::to_string(leaves++);
            }
            std::printf("%s 0x%lx\n", childName.c_str(), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c)));
        }
        if (!keys.count("hidden")) ShowWindow(w, keys.count("minimised") ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
        made[name] = w;
        std::printf("%s 0x%lx\n", name.c_str(), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(w)));
    }
    std::printf("ready\n");
    std::fflush(stdout);

    CreateThread(nullptr, 0, &WaitForInputEnd, reinterpret_cast<void*>(static_cast<uintptr_t>(GetCurrentThreadId())), 0,
                 nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
