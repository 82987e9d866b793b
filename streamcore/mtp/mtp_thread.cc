#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "mtp/logging.h"
#include "mtp/platform.h"
#include "mtp/thread.h"

namespace mtp {
namespace {

// Each OS thread's Thread, or null.
thread_local Thread* t_current = nullptr;

}  // namespace

// ---- ThreadRegistry

ThreadRegistry* ThreadRegistry::Instance() {
    // A function-local static is initialised exactly once even when several threads arrive
    // together; the others wait for it. The creator becomes the adopted thread.
    static ThreadRegistry* const registry = [] {
        ThreadRegistry* created = new ThreadRegistry;
        if (!t_current) {
            Thread* adopted = new Thread;  // never destroyed, like the registry
            if (adopted->AdoptCurrentThread()) created->m_pAdopted = adopted;
        }
        return created;
    }();
    return registry;
}

Thread* ThreadRegistry::CurrentThread() const { return t_current; }

void ThreadRegistry::SetCurrentThread(Thread* thread) { t_current = thread; }

// ---- Thread

Thread::Thread() : Thread(true) {}

Thread::Thread(bool register_now)
    : MessageQueue(false), m_pRunning(new os::Event(true, false)), m_pOsThread(new os::OsThread) {
    SetName("Thread", this);
    if (register_now) RegisterQueue();
}

Thread::~Thread() { DestroyThread(); }

void Thread::DestroyThread() {
    Quit();
    Join();
    DestroyQueue();  // clears the send list too, releasing waiting senders
}

Thread* Thread::Current() { return ThreadRegistry::Instance()->CurrentThread(); }

bool Thread::IsCurrent() const { return t_current == this; }

void CheckRunOn(const Thread* thread, const char* what, const char* file, int line) {
    if (thread != nullptr && thread->IsCurrent()) return;
    const Thread* current = t_current;
    std::fprintf(stderr, "%s:%d: must run on %s (%s), runs on %s\n", file, line, what,
                 thread ? thread->name().c_str() : "no thread", current ? current->name().c_str() : "a plain thread");
    std::fflush(stderr);
    std::abort();
}

bool Thread::SetName(const std::string& name, const void* object) {
    if (IsRunning()) return false;
    m_name = name;
    if (object) {
        // " 0x" and the address digits: 15 characters at most, as a 16-byte buffer holds.
        char buffer[32];
        snprintf(buffer, sizeof buffer, " 0x%" PRIxPTR, reinterpret_cast<uintptr_t>(object));
        m_name += std::string(buffer).substr(0, 15);
    }
    return true;
}

bool Thread::IsRunning() const { return m_pRunning->IsSet(); }

bool Thread::Start() {
    Orvane::Common::MutexLock lock(m_joinMutex);
    if (!m_bOwned || IsRunning()) return false;
    Restart();
    ThreadRegistry::Instance();
    if (!m_pOsThread->Start(&Thread::EntryRoutine, this)) return false;
    m_osId.store(m_pOsThread->Id());
    m_pRunning->Set();
    return true;
}

void Thread::EntryRoutine(void* arg) {
    Thread* thread = static_cast<Thread*>(arg);
    t_current = thread;
    os::SetCurrentThreadName(thread->m_name);
    const uint32_t id = os::CurrentThreadId();
    MTP_LOG(LS_INFO) << "Thread " << thread->m_name << " Id = " << id << " begin.";
    thread->Run();
    MTP_LOG(LS_INFO) << "Thread " << thread->m_name << " Id = " << id << " end.";
    t_current = nullptr;
}

void Thread::Run() { ProcessMessages(kWaitForever); }

bool Thread::ProcessMessages(int cms) {
    const uint32_t end = NowMs() + static_cast<uint32_t>(cms);
    int left = cms;
    while (true) {
        Message msg;
        if (!Get(&msg, left)) return !IsQuitting();
        Dispatch(&msg);
        if (cms != kWaitForever) {
            left = static_cast<int32_t>(end - NowMs());
            if (left < 0) left = 0;
        }
    }
}

void Thread::Stop() {
    Quit();
    Join();
}

void Thread::Join() {
    Orvane::Common::MutexLock lock(m_joinMutex);
    if (!IsRunning()) return;
    // An adopted OS thread was not created here; it is not ours to wait for.
    if (m_bOwned) m_pOsThread->Join();
    m_osId.store(0);
    m_pRunning->Reset();
}

bool Thread::AdoptCurrentThread() {
    if (IsRunning()) return false;
    int error = 0;
    if (!m_pOsThread->Adopt(&error)) {
        MTP_LOG_ERR(LS_ERROR, error) << "Unable to get handle to thread.";
        return false;
    }
    m_osId.store(m_pOsThread->Id());
    m_bOwned = false;
    m_pRunning->Set();
    t_current = this;
    return true;
}

void Thread::Send(MessageHandler* handler, uint32_t id, MessageData* data) {
    if (IsQuitting()) {
        delete data;
        return;
    }
    Message msg;
    msg.handler = handler;
    msg.id = id;
    msg.data = data;
    if (t_current == this) {
        handler->OnMessage(&msg);
        return;
    }

    // The caller needs a Thread of its own to be woken through and to serve our sends to it.
    std::optional<AutoThread> auto_thread;
    if (!t_current) auto_thread.emplace();
    Thread* sender = t_current;

    auto state = std::make_shared<SendState>();
    {
        os::ScopedLock lock(Lock());
        // Checked again under the lock: the destructor's clearing (after Quit) then either
        // sees this entry and releases us, or we see the stop flag here.
        if (IsQuitting()) {
            delete data;
            return;
        }
        m_sends.push_back(PendingSend{sender, msg, state});
        m_nSends.store(m_sends.size());
        // Woken while the lock is held: once it is released this object may be destroyed
        // (its destructor releases our entry), so nothing below touches it again.
        WakeUp();
    }

    bool waited = false;
    while (true) {
        {
            Orvane::Common::MutexLock lock(state->mutex);
            if (state->done) break;
        }
        // Only what this thread sends back to us, so that two threads sending to each other
        // both complete and no third thread's work runs inside our call. `this` is only
        // compared here, never dereferenced.
        sender->ReceiveSendsFrom(this);
        sender->WakeEvent().Wait(kWaitForever);
        waited = true;
    }
    // The waits may have consumed wake-ups meant for the sender's own queue.
    if (waited) sender->WakeUp();
}

void Thread::ReleaseSender(const PendingSend& send) {
    // Under the send's own lock: the sender cannot see `done` and leave (destroying its
    // thread object) before its wake event is set.
    Orvane::Common::MutexLock lock(send.state->mutex);
    send.state->done = true;
    send.sender->WakeUp();
}

void Thread::ReceiveSends() { ReceiveSendsFrom(nullptr); }

void Thread::ReceiveSendsFrom(const Thread* source) {
    // A send queued after this look is followed by a wake-up, so the loop looks again.
    if (m_nSends.load() == 0) return;
    os::ScopedLock lock(Lock());
    while (true) {
        auto it = m_sends.begin();
        while (it != m_sends.end() && source && it->sender != source) ++it;
        if (it == m_sends.end()) break;
        PendingSend send = *it;
        m_sends.erase(it);
        m_nSends.store(m_sends.size());
        Lock().Unlock();
        send.message.handler->OnMessage(&send.message);
        ReleaseSender(send);
        Lock().Lock();
    }
}

void Thread::Clear(MessageHandler* handler, uint32_t id, MessageList* removed) {
    MessageList local;
    MessageList& out = removed ? *removed : local;
    {
        os::ScopedLock lock(Lock());
        for (auto it = m_sends.begin(); it != m_sends.end();) {
            if (it->message.Match(handler, id)) {
                out.push_back(it->message);
                ReleaseSender(*it);
                it = m_sends.erase(it);
                m_nSends.store(m_sends.size());
            } else {
                ++it;
            }
        }
        MessageQueue::Clear(handler, id, &out);
    }
    if (!removed) DestroyData(local);
}

// ---- AutoThread

AutoThread::AutoThread() : Thread(false) {
    RegisterQueue();
    ThreadRegistry::Instance();
    if (!t_current) t_current = this;
}

AutoThread::~AutoThread() {
    Quit();
    Join();
    if (t_current == this) t_current = nullptr;
    DestroyThread();
}

// ---- ThreadAffinity

ThreadAffinity::ThreadAffinity() : m_boundId(os::CurrentThreadId()) {}

bool ThreadAffinity::IsOnBoundThread() {
    Orvane::Common::MutexLock lock(m_mutex);
    const uint32_t self = os::CurrentThreadId();
    if (m_boundId == 0) m_boundId = self;
    return m_boundId == self;
}

void ThreadAffinity::Unbind() {
    Orvane::Common::MutexLock lock(m_mutex);
    m_boundId = 0;
}

}  // namespace mtp
