// The lock that serializes the addon's script-thread entry points across script environments
// (the main thread and each worker thread run their own).
//
// It is recursive: an entry point may run inside another on the same thread (a finalizer that
// a runtime runs during a call, say). Threads: any.
#pragma once

#include "common/thread_annotations.h"

#include <mutex>

namespace streamaddon {

class OV_CAPABILITY("mutex") ScriptMutex {
public:
    ScriptMutex() = default;
    ScriptMutex(const ScriptMutex&) = delete;
    ScriptMutex& operator=(const ScriptMutex&) = delete;

    void lock() OV_ACQUIRE() { m_mutex.lock(); }
    void unlock() OV_RELEASE() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Holds a ScriptMutex for its scope.
class OV_SCOPED_CAPABILITY ScriptLock {
public:
    explicit ScriptLock(ScriptMutex& mutex) OV_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~ScriptLock() OV_RELEASE() { m_mutex.unlock(); }
    ScriptLock(const ScriptLock&) = delete;
    ScriptLock& operator=(const ScriptLock&) = delete;

private:
    ScriptMutex& m_mutex;
};

}  // namespace streamaddon
