// A small signal/slot facility: a signal0 keeps a list of connections to member functions of
// has_slots objects; either side may go first, the survivor forgets the other.
// Threads: with the single_threaded policy a signal and its destinations are used from one
// thread only (its lock does nothing).
#pragma once

#include <list>
#include <set>

namespace sigslot {

class single_threaded {
public:
    void lock() {}
    void unlock() {}
};

template <class mt_policy>
class has_slots;

template <class mt_policy>
class _connection_base0 {
public:
    virtual ~_connection_base0() = default;
    virtual has_slots<mt_policy>* getdest() const = 0;
    virtual void emit() = 0;
    virtual _connection_base0* duplicate(has_slots<mt_policy>* newdest) const = 0;
};

template <class mt_policy>
class _signal_base : public mt_policy {
public:
    virtual void ForgetDestination(has_slots<mt_policy>* dest) = 0;
    virtual void CopyToDestination(const has_slots<mt_policy>* olddest, has_slots<mt_policy>* newdest) = 0;

protected:
    ~_signal_base() = default;
};

template <class mt_policy>
class lock_block {
public:
    explicit lock_block(mt_policy* policy) : m_policy(policy) { m_policy->lock(); }
    ~lock_block() { m_policy->unlock(); }

private:
    mt_policy* m_policy;
};

// Base of every object whose member functions are connected to signals.
template <class mt_policy = single_threaded>
class has_slots : public mt_policy {
public:
    has_slots() = default;
    has_slots(const has_slots& other) : mt_policy() {
        lock_block<mt_policy> lock(this);
        for (_signal_base<mt_policy>* sig : other.m_senders) {
            sig->CopyToDestination(&other, this);
            m_senders.insert(sig);
        }
    }
    has_slots& operator=(const has_slots&) = delete;
    virtual ~has_slots() { disconnect_all(); }

    void signal_connect(_signal_base<mt_policy>* sender) {
        lock_block<mt_policy> lock(this);
        m_senders.insert(sender);
    }
    void signal_disconnect(_signal_base<mt_policy>* sender) {
        lock_block<mt_policy> lock(this);
        m_senders.erase(sender);
    }
    void disconnect_all() {
        lock_block<mt_policy> lock(this);
        for (_signal_base<mt_policy>* sig : m_senders) sig->ForgetDestination(this);
        m_senders.clear();
    }

private:
    std::set<_signal_base<mt_policy>*> m_senders;
};

template <class mt_policy>
class _signal_base0 : public _signal_base<mt_policy> {
public:
    _signal_base0() = default;
    _signal_base0(const _signal_base0&) = delete;
    _signal_base0& operator=(const _signal_base0&) = delete;
    ~_signal_base0() { disconnect_all(); }

    bool is_empty() const { return m_connected.empty(); }

    void disconnect_all() {
        lock_block<mt_policy> lock(this);
        for (_connection_base0<mt_policy>* conn : m_connected) {
            conn->getdest()->signal_disconnect(this);
            delete conn;
        }
        m_connected.clear();
    }

    void disconnect(has_slots<mt_policy>* dest) {
        lock_block<mt_policy> lock(this);
        for (auto it = m_connected.begin(); it != m_connected.end();) {
            if ((*it)->getdest() == dest) {
                delete *it;
                it = m_connected.erase(it);
                dest->signal_disconnect(this);
            } else {
                ++it;
            }
        }
    }

    void ForgetDestination(has_slots<mt_policy>* dest) override {
        lock_block<mt_policy> lock(this);
        for (auto it = m_connected.begin(); it != m_connected.end();) {
            if ((*it)->getdest() == dest) {
                delete *it;
                it = m_connected.erase(it);
            } else {
                ++it;
            }
        }
    }

    void CopyToDestination(const has_slots<mt_policy>* olddest, has_slots<mt_policy>* newdest) override {
        lock_block<mt_policy> lock(this);
        std::list<_connection_base0<mt_policy>*> copies;
        for (_connection_base0<mt_policy>* conn : m_connected) {
            if (conn->getdest() == olddest) copies.push_back(conn->duplicate(newdest));
        }
        m_connected.splice(m_connected.end(), copies);
    }

protected:
    std::list<_connection_base0<mt_policy>*> m_connected;
};

// Keeps the destination as its has_slots base: a copy is made while the destination's
// has_slots part is being copied, before the destination itself exists, so the cast to the
// destination's class waits until the call.
template <class dest_type, class mt_policy>
class _connection0 : public _connection_base0<mt_policy> {
public:
    _connection0(has_slots<mt_policy>* object, void (dest_type::*method)()) : m_object(object), m_method(method) {}
    has_slots<mt_policy>* getdest() const override { return m_object; }
    void emit() override { (static_cast<dest_type*>(m_object)->*m_method)(); }
    _connection_base0<mt_policy>* duplicate(has_slots<mt_policy>* newdest) const override {
        return new _connection0(newdest, m_method);
    }

private:
    has_slots<mt_policy>* m_object;
    void (dest_type::*m_method)();
};

template <class mt_policy = single_threaded>
class signal0 : public _signal_base0<mt_policy> {
public:
    template <class desttype>
    void connect(desttype* object, void (desttype::*method)()) {
        lock_block<mt_policy> lock(this);
        this->m_connected.push_back(new _connection0<desttype, mt_policy>(object, method));
        object->signal_connect(this);
    }

    // Calls every connection in connection order; a slot may disconnect itself meanwhile.
    void emit() {
        lock_block<mt_policy> lock(this);
        auto it = this->m_connected.begin();
        while (it != this->m_connected.end()) {
            auto next = std::next(it);
            (*it)->emit();
            it = next;
        }
    }
    void operator()() { emit(); }
};

}  // namespace sigslot
