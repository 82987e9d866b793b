// Win32 backend of the runtime's OS layer: kernel events, threads from _beginthreadex,
// critical sections, the multimedia timer, debugger output and console colours.
#include "mtp/platform.h"

#include <windows.h>
#include <mmsystem.h>
#include <process.h>

#include <cstdio>

namespace mtp {
namespace {

std::atomic<ClockFunction> g_clock{nullptr};

CRITICAL_SECTION* Section(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

// Debuggers learn a thread's name from this exception; without a debugger nobody handles
// it, so it is raised only under one, with a handler that continues should the debugger
// pass it on.
const DWORD kSetThreadNameException = 0x406D1388;

#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD type;       // 0x1000
    LPCSTR name;
    DWORD threadId;
    DWORD flags;
};
#pragma pack(pop)

LONG CALLBACK ContinueAfterThreadName(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == kSetThreadNameException) return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

}  // namespace

uint32_t NowMs() {
    ClockFunction clock = g_clock.load(std::memory_order_acquire);
    return clock ? clock() : static_cast<uint32_t>(timeGetTime());
}

void SetClockForTesting(ClockFunction clock) { g_clock.store(clock, std::memory_order_release); }

namespace os {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(RecursiveLock), "critical section storage too small");

ThreadId CurrentThreadId() { return static_cast<ThreadId>(GetCurrentThreadId()); }

void SetCurrentThreadName(const std::string& name) {
    // Windows 10 keeps a description that debuggers and crash dumps show; older systems
    // only have the debugger exception.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const SetDescription setDescription = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription) setDescription(GetCurrentThread(), Widen(name).c_str());

    if (!IsDebuggerPresent()) return;
    ThreadNameInfo info = {0x1000, name.c_str(), GetCurrentThreadId(), 0};
    void* handler = AddVectoredExceptionHandler(0, &ContinueAfterThreadName);
    RaiseException(kSetThreadNameException, 0, sizeof info / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&info));
    if (handler) RemoveVectoredExceptionHandler(handler);
}

std::string SystemErrorMessage(int error) {
    char buffer[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                             GetModuleHandleA(nullptr), static_cast<DWORD>(error),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' || text.back() == '\t'))
        text.pop_back();
    return text;
}

void WriteLogLine(const std::string& line, int colourAttribute) {
    OutputDebugStringA(line.c_str());
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "%s", line.c_str());
        std::fflush(stderr);
        return;
    }
    DWORD written = 0;
    CONSOLE_SCREEN_BUFFER_INFO console;
    // Not a console (a file or a pipe): the attribute cannot be read, and the line goes as it is.
    if (GetConsoleScreenBufferInfo(err, &console) && console.wAttributes != colourAttribute) {
        SetConsoleTextAttribute(err, static_cast<WORD>(colourAttribute));
        WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        SetConsoleTextAttribute(err, console.wAttributes);
    } else {
        WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

// ---- Event

Event::Event(bool manual_reset, bool initially_signalled)
    : m_hEvent(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, initially_signalled ? TRUE : FALSE, nullptr)) {}

Event::~Event() {
    if (m_hEvent) CloseHandle(m_hEvent);
}

void Event::Set() { SetEvent(m_hEvent); }

void Event::Reset() { ResetEvent(m_hEvent); }

bool Event::Wait(int timeout_ms) {
    const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    return WaitForSingleObject(m_hEvent, wait) == WAIT_OBJECT_0;
}

bool Event::IsSet() const { return WaitForSingleObject(m_hEvent, 0) == WAIT_OBJECT_0; }

// ---- RecursiveLock

RecursiveLock::RecursiveLock() {
    // A critical section is re-entrant by itself; the spin count lets a waiter spin briefly
    // before it sleeps in the kernel.
    InitializeCriticalSectionAndSpinCount(Section(m_section), 256);
}

RecursiveLock::~RecursiveLock() { DeleteCriticalSection(Section(m_section)); }

void RecursiveLock::Lock() { EnterCriticalSection(Section(m_section)); }

void RecursiveLock::Unlock() { LeaveCriticalSection(Section(m_section)); }

// ---- OsThread

struct OsThread::StartRecord {
    Entry entry;
    void* arg;
};

OsThread::~OsThread() { Join(); }

unsigned __stdcall OsThread::Trampoline(void* p) {
    StartRecord* record = static_cast<StartRecord*>(p);
    const Entry entry = record->entry;
    void* arg = record->arg;
    delete record;
    entry(arg);
    return 0;
}

bool OsThread::Start(Entry entry, void* arg) {
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_bAttached) return false;
    StartRecord* record = new StartRecord{entry, arg};
    unsigned id = 0;
    // _beginthreadex rather than CreateThread, so that the C runtime sets up its per-thread
    // data for the new thread.
    const uintptr_t handle = _beginthreadex(nullptr, 0, &OsThread::Trampoline, record, 0, &id);
    if (handle == 0) {
        delete record;
        return false;
    }
    m_handle = reinterpret_cast<void*>(handle);
    m_id.store(static_cast<ThreadId>(id), std::memory_order_release);
    m_bAttached = true;
    return true;
}

bool OsThread::Adopt(int* error) {
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_bAttached) {
        if (error) *error = ERROR_BUSY;
        return false;
    }
    // Synchronize-only access is all a waiter needs.
    HANDLE handle = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    if (handle == nullptr) {
        if (error) *error = static_cast<int>(GetLastError());
        return false;
    }
    m_handle = handle;
    m_bAttached = m_bAdopted = true;
    m_id.store(CurrentThreadId(), std::memory_order_release);
    return true;
}

void OsThread::Join() {
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (!m_bAttached) return;
    if (!m_bAdopted) WaitForSingleObject(m_handle, INFINITE);
    CloseHandle(m_handle);
    m_handle = nullptr;
    m_bAttached = m_bAdopted = false;
    m_id.store(0, std::memory_order_release);
}

}  // namespace os
}  // namespace mtp
