// Helpers shared by the runtime's tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "mtp/messagequeue.h"
#include "mtp/platform.h"

namespace mtp_test {

// A payload that counts its destructions.
class CountedData : public mtp::MessageData {
public:
    explicit CountedData(std::atomic<int>* destroyed, int value = 0) : m_destroyed(destroyed), value(value) {}
    ~CountedData() override { m_destroyed->fetch_add(1); }

private:
    std::atomic<int>* m_destroyed;

public:
    int value;
};

// Records (handler-local) the ids it gets, on whatever thread the queue runs.
class RecordingHandler : public mtp::MessageHandler {
public:
    void OnMessage(mtp::Message* msg) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ids.push_back(msg->id);
        delete msg->data;
        msg->data = nullptr;
    }
    std::vector<uint32_t> ids() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ids;
    }

private:
    std::mutex m_mutex;
    std::vector<uint32_t> m_ids;
};

// A clock the test moves by hand.
class FakeClock {
public:
    explicit FakeClock(uint32_t start) {
        Now().store(start);
        mtp::SetClockForTesting(&FakeClock::Read);
    }
    ~FakeClock() { mtp::SetClockForTesting(nullptr); }
    void Set(uint32_t now) { Now().store(now); }

private:
    static std::atomic<uint32_t>& Now() {
        static std::atomic<uint32_t> now{0};
        return now;
    }
    static uint32_t Read() { return Now().load(); }
};

// A one-shot gate: Wait blocks until Open.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = true;
        m_cond.notify_all();
    }
    bool Wait(int timeout_ms = 30000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_bOpen; });
    }
    bool IsOpen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bOpen;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bOpen = false;
};

// Polls cond for up to timeout_ms; true once it holds.
template <class Cond>
bool WaitUntil(Cond cond, int timeout_ms = 30000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace mtp_test
