// Messages, their handlers and the message queue: a FIFO of posted messages and a heap of
// delayed ones, taken one at a time by the owning thread's loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <vector>

#include "mtp/sigslot.h"

namespace mtp {

namespace os {
class Event;
class RecursiveLock;
}  // namespace os

class MessageHandler;

constexpr int kWaitForever = -1;            // as a wait time: no limit
constexpr uint32_t kAnyId = 0xFFFFFFFF;     // as a filter id: every id
constexpr uint32_t kDisposeId = 0xFFFFFFFE; // a message that only destroys its data
constexpr int kLateAllowanceMs = 150;       // a time-sensitive message taken later is logged

// The 32-bit millisecond clock (wraps; compare times by their 32-bit difference).
uint32_t NowMs();

// Base of message payloads; a payload is destroyed through it.
class MessageData {
public:
    MessageData() = default;
    virtual ~MessageData() = default;
    MessageData(const MessageData&) = delete;
    MessageData& operator=(const MessageData&) = delete;
};

// A payload that deletes one object when it is destroyed (see MessageQueue::Dispose).
template <class T>
class DisposeData : public MessageData {
public:
    explicit DisposeData(T* doomed) : m_doomed(doomed) {}
    ~DisposeData() override { delete m_doomed; }

private:
    T* m_doomed;
};

// A plain record, copied by value. `data` belongs to the message until it is delivered (then
// to the handler) or destroyed by Clear or by a refused post.
struct Message {
    MessageHandler* handler = nullptr;
    uint32_t id = 0;
    MessageData* data = nullptr;
    uint32_t deadline_ms = 0;  // 0, or the NowMs value by which it should have been taken

    bool Match(const MessageHandler* filter_handler, uint32_t filter_id) const {
        return (filter_handler == nullptr || filter_handler == handler) &&
               (filter_id == kAnyId || filter_id == id);
    }
};

using MessageList = std::list<Message>;

// Receiver of messages. OnMessage runs on the thread that owns the queue. The destructor
// removes every message still addressed to the handler from every live queue (destroying
// their data), so that no message outlives its handler; destroy a handler on the thread its
// messages are dispatched on, or when none is being dispatched.
class MessageHandler {
public:
    virtual ~MessageHandler();
    virtual void OnMessage(Message* msg) = 0;

protected:
    MessageHandler() = default;
};

struct DelayedMessage {
    int32_t delay_ms;     // the delay asked for
    uint32_t trigger_ms;  // NowMs value at which it is due
    uint32_t sequence;    // posting order among delayed messages
    Message message;
};

// Threads: Post, PostDelayed, PostAt, Clear, Quit, IsQuitting, Restart, GetDelay from any
// thread; Get, Peek and Dispatch from the owning thread's loop only.
class MessageQueue {
public:
    MessageQueue();
    virtual ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Emitted first thing when the queue is destroyed.
    sigslot::signal0<sigslot::single_threaded> queue_destroyed;

    virtual void Quit();
    virtual bool IsQuitting();
    virtual void Restart();

    // Takes the next message: the posted ones in order, delayed ones once due (behind what
    // was already posted). False on time-out or when the queue is stopped and empty.
    // process_io is accepted for callers' sake and has no effect.
    virtual bool Get(Message* out, int wait_ms = kWaitForever, bool process_io = true);
    // As Get, but the message stays first in line for the next Get or Peek.
    virtual bool Peek(Message* out, int wait_ms = 0);

    // On a stopped queue these destroy the data and post nothing.
    virtual void Post(MessageHandler* handler, uint32_t id = 0, MessageData* data = nullptr,
                      bool time_sensitive = false);
    virtual void PostDelayed(int delay_ms, MessageHandler* handler, uint32_t id = 0,
                             MessageData* data = nullptr);
    virtual void PostAt(uint32_t trigger_ms, MessageHandler* handler, uint32_t id = 0,
                        MessageData* data = nullptr);

    // Removes every message matching (handler or any when null, id or kAnyId). With a
    // removed list the messages are appended to it and their data belongs to the caller;
    // without one their data is destroyed (after the queue's lock is released).
    virtual void Clear(MessageHandler* handler, uint32_t id = kAnyId, MessageList* removed = nullptr);
    virtual void Dispatch(Message* msg);
    // Serves synchronous sends; a plain queue has none.
    virtual void ReceiveSends();
    // 0 when a posted message waits, else the ms until the next delayed one is due (0 if
    // overdue), else kWaitForever.
    virtual int GetDelay();

    // Deletes `doomed` on the owning thread, after what is already posted.
    template <class T>
    void Dispose(T* doomed) {
        if (doomed) Post(nullptr, kDisposeId, new DisposeData<T>(doomed));
    }

protected:
    // For derived classes: with register_now false the most derived constructor calls
    // RegisterQueue last, so that no other thread reaches a half-built object through the
    // registry.
    explicit MessageQueue(bool register_now);
    void RegisterQueue();
    void WakeUp();
    os::Event& WakeEvent() { return *m_pWake; }
    os::RecursiveLock& Lock() { return *m_pLock; }
    // Detaches from the registry and clears everything; called by the destructor of the most
    // derived class first, so that no other thread reaches a half-destroyed object through
    // the registry. Idempotent.
    void DestroyQueue();
    static void DestroyData(MessageList& messages);

private:
    struct LaterTrigger;

    std::unique_ptr<os::Event> m_pWake;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bPeekKept{false};  // written under the lock, read first without it
    Message m_peeked;
    std::deque<Message> m_posted;
    std::vector<DelayedMessage> m_delayed;  // a heap: earliest trigger, then sequence, on top
    uint32_t m_nextSequence = 0;
    std::unique_ptr<os::RecursiveLock> m_pLock;
    bool m_bRegistered = false;
    bool m_bDestroyed = false;
};

// The list of every live queue. Created by the first queue, deleted with the last one and
// made again by the next. Any thread. Lock order: this registry's lock, then a queue's lock.
class QueueRegistry {
public:
    static void Add(MessageQueue* queue);
    static void Remove(MessageQueue* queue);
    // Clears every message addressed to handler from every queue, destroying their data.
    static void ClearForHandler(MessageHandler* handler);
    // Whether the registry currently exists (it does exactly while a queue is alive).
    static bool Exists();
};

}  // namespace mtp
