// A message queue with an OS thread running its loop, and synchronous delivery (Send) from
// other threads; the per-thread registry; a stack-scoped thread object for plain threads;
// a thread-affinity check.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "common/thread_annotations.h"
#include "mtp/messagequeue.h"

namespace mtp {

namespace os {
class OsThread;
}

// Threads: Start, Stop, Join, SetName from a controlling thread (not the thread itself);
// Send, Post*, Clear, Quit from any thread; Run, ReceiveSends, ProcessMessages on the thread.
// Deleting a running thread quits it and waits for its current message to finish; messages
// still queued are destroyed and waiting senders are released without their handler run.
// A class deriving from Thread (to override Run, say) builds its base with Thread(false) and
// calls RegisterQueue() at the end of its constructor, and calls DestroyThread() first in its
// destructor, so that neither the loop nor another thread's clearing meets a half-built or
// half-destroyed object.
class Thread : public MessageQueue {
public:
    Thread();
    ~Thread() override;

    // The calling OS thread's Thread (creating the registry on first use adopts the caller).
    static Thread* Current();
    bool IsCurrent() const;

    // False while running. With an object, " 0x<address>" is appended to the name.
    bool SetName(const std::string& name, const void* object = nullptr);
    const std::string& name() const { return m_name; }

    // Attaches a new OS thread that runs Run(). False when running, adopted, or when the
    // system refuses to create a thread.
    bool Start();
    // Quit, then Join.
    virtual void Stop();
    // The thread's body: ProcessMessages without a time limit.
    virtual void Run();
    // Delivers the message on this thread and returns after OnMessage has returned. On the
    // thread itself the handler runs at once. When the thread is quitting, or the message is
    // cleared before it is served, the handler does not run and the data is destroyed.
    // While waiting, the caller serves sends that this thread makes to the caller.
    virtual void Send(MessageHandler* handler, uint32_t id = 0, MessageData* data = nullptr);

    // Waits for the OS thread to end and detaches it. No effect when not running.
    void Join();
    bool IsRunning() const;
    bool IsOwned() const { return m_bOwned; }
    // The kernel id of the attached OS thread, 0 when none.
    uint32_t OsId() const { return m_osId.load(); }

    // Runs the loop: Get then Dispatch, for at most cms ms (kWaitForever: no limit).
    // False when it ended because the thread is quitting.
    bool ProcessMessages(int cms);

    void Clear(MessageHandler* handler, uint32_t id = kAnyId, MessageList* removed = nullptr) override;
    void ReceiveSends() override;

protected:
    // With register_now false the most derived constructor calls RegisterQueue last.
    explicit Thread(bool register_now);
    // Quit, Join and clear everything; the most derived destructor calls it first.
    void DestroyThread();

private:
    friend class ThreadRegistry;
    // What a waiting sender and the thread serving it share; it outlives whichever of the
    // two finishes first, so neither touches the other's memory after the release.
    struct SendState {
        Orvane::Common::Mutex mutex;
        bool done OV_GUARDED_BY(mutex) = false;
    };
    struct PendingSend {
        Thread* sender;
        Message message;
        std::shared_ptr<SendState> state;
    };

    bool AdoptCurrentThread();
    // Marks a send as finished and wakes its sender.
    static void ReleaseSender(const PendingSend& send);
    // Serves pending sends, only those from `source` unless it is null.
    void ReceiveSendsFrom(const Thread* source);
    static void EntryRoutine(void* thread);

    std::list<PendingSend> m_sends;  // guarded by the queue's lock
    std::atomic<size_t> m_nSends{0};  // its size, for a look without the lock
    std::string m_name;
    std::unique_ptr<os::Event> m_pRunning;  // manual reset: set while an OS thread is attached
    std::unique_ptr<os::OsThread> m_pOsThread;
    std::atomic<uint32_t> m_osId{0};
    bool m_bOwned = true;
    Orvane::Common::Mutex m_joinMutex;
};

// Gives a plain OS thread a Thread for the object's lifetime (registered only when the
// thread has none). Never started. Create and destroy on the same thread.
class AutoThread : public Thread {
public:
    AutoThread();
    ~AutoThread() override;
};

// The per-thread slot that holds each OS thread's Thread. Created on first use (safely,
// however many threads get there at once) and never destroyed; its creation adopts the
// creating OS thread when that thread has no Thread yet. Any thread; CurrentThread and
// SetCurrentThread act on the calling OS thread's slot.
class ThreadRegistry {
public:
    static ThreadRegistry* Instance();
    Thread* CurrentThread() const;
    void SetCurrentThread(Thread* thread);
    // The Thread adopted when the registry was made (null when the creator had one).
    Thread* Adopted() const { return m_pAdopted; }

private:
    ThreadRegistry() = default;
    Thread* m_pAdopted = nullptr;
};

// Answers whether the caller runs on the bound OS thread; binds to the first caller after
// Unbind. Any thread.
class ThreadAffinity {
public:
    ThreadAffinity();
    bool IsOnBoundThread();
    void Unbind();

private:
    Orvane::Common::Mutex m_mutex;
    uint32_t m_boundId OV_GUARDED_BY(m_mutex);
};

// Ends the process with a line naming the check and the place when thread is null or not the
// calling OS thread's Thread. Use it through MTP_DCHECK_RUN_ON.
void CheckRunOn(const Thread* thread, const char* what, const char* file, int line);

}  // namespace mtp

// MTP_DCHECK_RUN_ON(thread): the caller must run on that mtp::Thread. Checked in debug builds
// and where MTP_CHECK_THREADS is defined (the sanitizer builds); compiled out otherwise.
#if !defined(NDEBUG) || defined(MTP_CHECK_THREADS)
#define MTP_DCHECK_RUN_ON(thread) ::mtp::CheckRunOn((thread), #thread, __FILE__, __LINE__)
#else
#define MTP_DCHECK_RUN_ON(thread) static_cast<void>(0)
#endif
