// What the endpoint's source files share: the log macro, small helpers and the two ways of
// handing work to a worker. Private to the endpoint.
#pragma once

#include "LiveMediaEndpoint.h"

#include "common/slogger.h"

#include <string>
#include <utility>

// Every log line of the endpoint carries this source name.
#define EP_LOG(...) OV_LOG_AS("LiveMediaEndpoint", __VA_ARGS__)

namespace streamcore {

inline constexpr char kMixerUniName[] = "#soundcard#mix#mic";

inline std::string Str(const char* s) { return s ? std::string(s) : std::string(); }

// Turns the support library's logger on or off for Initialize; with logging on, the "log"
// folder under the current folder is made first.
void SetUpLogging(bool enableLog);

template <class F>
bool LiveMediaEndpoint::PostTo(mtp::Thread* LiveMediaEndpoint::*which, F&& f) {
    Orvane::Common::ReadLock lock(m_threadsLock);
    mtp::Thread* thread = this->*which;
    if (thread == nullptr) return false;
    worker::AsyncInvoke(m_invoker, thread, std::forward<F>(f));
    return true;
}

template <class R, class F>
R LiveMediaEndpoint::CallOn(mtp::Thread* LiveMediaEndpoint::*which, F&& f, R failure) {
    Orvane::Common::ReadLock lock(m_threadsLock);
    mtp::Thread* thread = this->*which;
    if (thread == nullptr) return failure;
    return worker::Invoke<R>(thread, std::forward<F>(f), failure);
}

}  // namespace streamcore
