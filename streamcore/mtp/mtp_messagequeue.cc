#include <algorithm>
#include <mutex>

#include "mtp/logging.h"
#include "mtp/messagequeue.h"
#include "mtp/platform.h"

namespace mtp {

// ---- QueueRegistry

namespace {

// The lock lives for the whole process; the list itself comes and goes with the queues.
std::mutex& RegistryLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::vector<MessageQueue*>* g_pQueues = nullptr;  // guarded by RegistryLock()

}  // namespace

void QueueRegistry::Add(MessageQueue* queue) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    if (!g_pQueues) g_pQueues = new std::vector<MessageQueue*>;
    g_pQueues->push_back(queue);
}

void QueueRegistry::Remove(MessageQueue* queue) {
    std::vector<MessageQueue*>* doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(RegistryLock());
        if (!g_pQueues) return;
        auto it = std::find(g_pQueues->begin(), g_pQueues->end(), queue);
        if (it != g_pQueues->end()) g_pQueues->erase(it);
        // Forgotten under the lock, so a queue built meanwhile never lands in a dying list.
        if (g_pQueues->empty()) {
            doomed = g_pQueues;
            g_pQueues = nullptr;
        }
    }
    delete doomed;
}

void QueueRegistry::ClearForHandler(MessageHandler* handler) {
    MessageList removed;
    {
        std::lock_guard<std::mutex> lock(RegistryLock());
        if (!g_pQueues) return;
        for (MessageQueue* queue : *g_pQueues) queue->Clear(handler, kAnyId, &removed);
    }
    // Destroyed with no lock held: a payload's destructor may well use the runtime.
    for (Message& msg : removed) delete msg.data;
}

bool QueueRegistry::Exists() {
    std::lock_guard<std::mutex> lock(RegistryLock());
    return g_pQueues != nullptr;
}

// ---- MessageHandler

MessageHandler::~MessageHandler() { QueueRegistry::ClearForHandler(this); }

// ---- MessageQueue

// Heap order for std::push_heap and friends: true when a is due after b. Triggers compare
// by their 32-bit difference so that the order holds across the clock's wrap-around.
struct MessageQueue::LaterTrigger {
    bool operator()(const DelayedMessage& a, const DelayedMessage& b) const {
        if (a.trigger_ms != b.trigger_ms) return static_cast<int32_t>(a.trigger_ms - b.trigger_ms) > 0;
        return static_cast<int32_t>(a.sequence - b.sequence) > 0;
    }
};

MessageQueue::MessageQueue() : MessageQueue(true) {}

MessageQueue::MessageQueue(bool register_now)
    : m_pWake(new os::Event(false, false)), m_pLock(new os::RecursiveLock) {
    if (register_now) RegisterQueue();
}

void MessageQueue::RegisterQueue() {
    if (m_bRegistered) return;
    m_bRegistered = true;
    QueueRegistry::Add(this);
}

MessageQueue::~MessageQueue() { DestroyQueue(); }

void MessageQueue::DestroyQueue() {
    if (m_bDestroyed) return;
    m_bDestroyed = true;
    queue_destroyed.emit();
    QueueRegistry::Remove(this);
    Clear(nullptr, kAnyId, nullptr);
}

void MessageQueue::DestroyData(MessageList& messages) {
    for (Message& msg : messages) {
        delete msg.data;
        msg.data = nullptr;
    }
}

void MessageQueue::WakeUp() { m_pWake->Set(); }

void MessageQueue::Quit() {
    m_bStop.store(true);
    WakeUp();
}

bool MessageQueue::IsQuitting() { return m_bStop.load(); }

void MessageQueue::Restart() { m_bStop.store(false); }

bool MessageQueue::Peek(Message* out, int wait_ms) {
    {
        os::ScopedLock lock(*m_pLock);
        if (m_bPeekKept) {
            *out = m_peeked;
            return true;
        }
    }
    if (!Get(out, wait_ms)) return false;
    os::ScopedLock lock(*m_pLock);
    m_peeked = *out;
    m_bPeekKept = true;
    return true;
}

bool MessageQueue::Get(Message* out, int wait_ms, bool /*process_io*/) {
    if (m_bPeekKept.load()) {
        os::ScopedLock lock(*m_pLock);
        if (m_bPeekKept) {
            *out = m_peeked;
            m_bPeekKept = false;
            return true;
        }
    }

    // The clock is read when it is first needed (a delayed message, a deadline or a wait),
    // not on every call: on a busy queue most calls need none of them.
    bool have_now = false;
    uint32_t start = 0;
    uint32_t now = 0;
    auto read_now = [&]() {
        if (!have_now) {
            start = now = NowMs();
            have_now = true;
        }
        return now;
    };
    int32_t elapsed = 0;
    while (true) {
        ReceiveSends();

        int next_delay = kWaitForever;
        bool first_pass = true;
        while (true) {
            {
                os::ScopedLock lock(*m_pLock);
                // Due delayed messages join the posted ones once per pass, behind them.
                if (first_pass) {
                    first_pass = false;
                    if (!m_delayed.empty()) read_now();
                    while (!m_delayed.empty()) {
                        const int32_t until = static_cast<int32_t>(m_delayed.front().trigger_ms - now);
                        if (until > 0) {
                            next_delay = until;
                            break;
                        }
                        m_posted.push_back(m_delayed.front().message);
                        std::pop_heap(m_delayed.begin(), m_delayed.end(), LaterTrigger());
                        m_delayed.pop_back();
                    }
                }
                if (m_posted.empty()) break;
                *out = m_posted.front();
                m_posted.pop_front();
            }

            if (out->deadline_ms != 0) {
                const int32_t late = static_cast<int32_t>(read_now() - out->deadline_ms);
                if (late > 0) {
                    MTP_LOG(LS_WARNING) << "mtp::MessageQueue::Get" << ": " << "id: " << out->id
                                        << "  delay: " << (late + kLateAllowanceMs) << "ms";
                }
            }
            if (out->id == kDisposeId) {
                delete out->data;
                *out = Message();
                continue;
            }
            return true;
        }

        if (m_bStop.load()) return false;

        int wait;
        if (wait_ms == kWaitForever) {
            wait = next_delay;
        } else {
            read_now();
            wait = std::max<int32_t>(0, wait_ms - elapsed);
            if (next_delay != kWaitForever && next_delay < wait) wait = next_delay;
        }
        m_pWake->Wait(wait);

        // Every pass after a wait looks at the clock again.
        now = NowMs();
        if (!have_now) {
            start = now;
            have_now = true;
        }
        elapsed = static_cast<int32_t>(now - start);
        if (wait_ms != kWaitForever && elapsed >= wait_ms) return false;
    }
}

void MessageQueue::Post(MessageHandler* handler, uint32_t id, MessageData* data, bool time_sensitive) {
    if (m_bStop.load()) {
        // Nobody will take it: the payload would be lost with its resources.
        delete data;
        return;
    }
    Message msg;
    msg.handler = handler;
    msg.id = id;
    msg.data = data;
    if (time_sensitive) {
        msg.deadline_ms = NowMs() + kLateAllowanceMs;
        if (msg.deadline_ms == 0) msg.deadline_ms = 1;  // 0 means "not time-sensitive"
    }
    {
        os::ScopedLock lock(*m_pLock);
        m_posted.push_back(msg);
    }
    WakeUp();
}

void MessageQueue::PostDelayed(int delay_ms, MessageHandler* handler, uint32_t id, MessageData* data) {
    PostAt(NowMs() + static_cast<uint32_t>(delay_ms), handler, id, data);
}

void MessageQueue::PostAt(uint32_t trigger_ms, MessageHandler* handler, uint32_t id, MessageData* data) {
    if (m_bStop.load()) {
        delete data;
        return;
    }
    DelayedMessage delayed;
    delayed.delay_ms = static_cast<int32_t>(trigger_ms - NowMs());
    delayed.trigger_ms = trigger_ms;
    delayed.message.handler = handler;
    delayed.message.id = id;
    delayed.message.data = data;
    delayed.message.deadline_ms = 0;
    {
        os::ScopedLock lock(*m_pLock);
        delayed.sequence = m_nextSequence++;
        m_delayed.push_back(delayed);
        std::push_heap(m_delayed.begin(), m_delayed.end(), LaterTrigger());
    }
    WakeUp();
}

int MessageQueue::GetDelay() {
    os::ScopedLock lock(*m_pLock);
    if (!m_posted.empty()) return 0;
    if (!m_delayed.empty()) {
        const int32_t until = static_cast<int32_t>(m_delayed.front().trigger_ms - NowMs());
        return std::max<int32_t>(0, until);
    }
    return kWaitForever;
}

void MessageQueue::Clear(MessageHandler* handler, uint32_t id, MessageList* removed) {
    MessageList local;
    MessageList& out = removed ? *removed : local;
    {
        os::ScopedLock lock(*m_pLock);
        if (m_bPeekKept && m_peeked.Match(handler, id)) {
            out.push_back(m_peeked);
            m_bPeekKept = false;
        }
        auto posted_end = std::stable_partition(m_posted.begin(), m_posted.end(),
                                                [&](const Message& m) { return !m.Match(handler, id); });
        out.insert(out.end(), posted_end, m_posted.end());
        m_posted.erase(posted_end, m_posted.end());

        auto delayed_end = std::stable_partition(m_delayed.begin(), m_delayed.end(),
                                                 [&](const DelayedMessage& d) { return !d.message.Match(handler, id); });
        if (delayed_end != m_delayed.end()) {
            for (auto it = delayed_end; it != m_delayed.end(); ++it) out.push_back(it->message);
            m_delayed.erase(delayed_end, m_delayed.end());
            std::make_heap(m_delayed.begin(), m_delayed.end(), LaterTrigger());
        }
    }
    if (!removed) DestroyData(local);
}

void MessageQueue::Dispatch(Message* msg) {
    if (msg->handler) {
        msg->handler->OnMessage(msg);
    } else {
        // Only dispose messages may lack a handler, and Get never returns those.
        delete msg->data;
        msg->data = nullptr;
    }
}

void MessageQueue::ReceiveSends() {}

}  // namespace mtp
