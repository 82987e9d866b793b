// The endpoint's use of the message-thread runtime in one place: starting a worker, the
// start-up message, synchronous and fire-and-forget calls.
// Threads: as the runtime's (any thread may post or send to a running worker).
#pragma once

#include "mtp/asyncinvoker.h"
#include "mtp/thread.h"

#include <string>
#include <utility>

namespace streamcore {
namespace worker {

// A started worker thread named name (the runtime appends the object's address).
inline mtp::Thread* StartThread(const char* name) {
    mtp::Thread* thread = new mtp::Thread();
    thread->SetName(name, thread);
    thread->Start();
    return thread;
}

inline uint32_t OsThreadId(const mtp::Thread* thread) { return thread->OsId(); }

inline void PostMessage(mtp::Thread* thread, mtp::MessageHandler* handler, uint32_t id) {
    thread->Post(handler, id, nullptr);
}

inline uint32_t MessageId(const mtp::Message* msg) { return msg->id; }

inline void ClearHandler(mtp::Thread* thread, mtp::MessageHandler* handler, uint32_t id) {
    thread->Clear(handler, id);
}

// Runs f on thread and waits for its result; failure when the thread did not run it (it was
// quitting).
template <class R, class F>
R Invoke(mtp::Thread* thread, F&& f, R failure) {
    bool ran = false;
    auto call = [&f, &ran]() -> R {
        ran = true;
        return f();
    };
    R result = mtp::Invoke<R>(thread, call);
    return ran ? result : failure;
}

// Queues f to run later on thread, in posting order.
template <class F>
void AsyncInvoke(mtp::AsyncInvoker& invoker, mtp::Thread* thread, F&& f) {
    mtp::AsyncInvoke(&invoker, thread, std::forward<F>(f));
}

}  // namespace worker
}  // namespace streamcore
