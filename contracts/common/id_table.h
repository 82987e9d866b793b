// A registry of objects by id under a lock of its own: the one shape of the stream, channel,
// source and renderer registries.
//
// Lookups share the lock; adding and removing take it alone. Visit runs a call on the object
// with the shared lock held, so that a Remove of the same id waits until the call is over:
// the remover may then close and free the object. Find hands out a copy of the value (for
// shared_ptr values, a reference that keeps the object alive without the lock).
// Threads: any.
#pragma once

#include <iterator>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

namespace Orvane {
namespace Common {

template <typename Key, typename Value>
class IdTable {
public:
    // False (nothing changed) when id is already taken.
    bool Add(const Key& id, Value value) {
        std::unique_lock<std::shared_timed_mutex> lock(m_lock);
        return m_items.emplace(id, std::move(value)).second;
    }
    // Adds, or replaces what was there.
    void Set(const Key& id, Value value) {
        std::unique_lock<std::shared_timed_mutex> lock(m_lock);
        m_items[id] = std::move(value);
    }
    // The value under id, or a value-initialised one (null) when there is none.
    Value Find(const Key& id) const {
        std::shared_lock<std::shared_timed_mutex> lock(m_lock);
        auto it = m_items.find(id);
        return it == m_items.end() ? Value() : it->second;
    }
    // fn(value) under the shared lock; false (fn not called) when id is absent.
    template <typename Fn>
    bool Visit(const Key& id, Fn&& fn) const {
        std::shared_lock<std::shared_timed_mutex> lock(m_lock);
        auto it = m_items.find(id);
        if (it == m_items.end()) return false;
        fn(it->second);
        return true;
    }
    // Takes the value under id out; RemoveIf only when pred(value) holds. A value-initialised
    // value when nothing was taken.
    Value Remove(const Key& id) {
        return RemoveIf(id, [](const Value&) { return true; });
    }
    template <typename Pred>
    Value RemoveIf(const Key& id, Pred&& pred) {
        std::unique_lock<std::shared_timed_mutex> lock(m_lock);
        auto it = m_items.find(id);
        if (it == m_items.end() || !pred(it->second)) return Value();
        Value value = std::move(it->second);
        m_items.erase(it);
        return value;
    }
    // fn(id, value) for every entry in id order, under the shared lock (for example to take a
    // reference on each object before a Remove could free it).
    template <typename Fn>
    void ForEach(Fn&& fn) const {
        std::shared_lock<std::shared_timed_mutex> lock(m_lock);
        for (const auto& entry : m_items) fn(entry.first, entry.second);
    }
    // Every entry, in id order, taken out of the table.
    std::vector<std::pair<Key, Value>> TakeAll() {
        std::map<Key, Value> items;
        {
            std::unique_lock<std::shared_timed_mutex> lock(m_lock);
            items.swap(m_items);
        }
        return std::vector<std::pair<Key, Value>>(std::make_move_iterator(items.begin()),
                                                  std::make_move_iterator(items.end()));
    }
    // A copy of every entry, in id order.
    std::vector<std::pair<Key, Value>> Snapshot() const {
        std::shared_lock<std::shared_timed_mutex> lock(m_lock);
        return std::vector<std::pair<Key, Value>>(m_items.begin(), m_items.end());
    }
    size_t Size() const {
        std::shared_lock<std::shared_timed_mutex> lock(m_lock);
        return m_items.size();
    }

private:
    mutable std::shared_timed_mutex m_lock;
    std::map<Key, Value> m_items;
};

}  // namespace Common
}  // namespace Orvane
