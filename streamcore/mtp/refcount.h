// Intrusive reference counting for objects shared between threads (closures in flight).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace mtp {

class RefInstance {
public:
    virtual int AddRef() = 0;   // the new count
    virtual int Release() = 0;  // the new count; the object is gone when it is 0
    virtual int RefCount() = 0;
    virtual ~RefInstance() = default;
};

// Adds an atomic count, 0 after construction, to a RefInstance T. Any thread.
template <class T>
class RefCountImpl : public T {
public:
    template <class... Args>
    explicit RefCountImpl(Args&&... args) : T(std::forward<Args>(args)...) {}

    int AddRef() override { return m_count.fetch_add(1) + 1; }
    int Release() override {
        const int count = m_count.fetch_sub(1) - 1;
        if (count == 0) delete this;
        return count;
    }
    int RefCount() override { return m_count.load(); }

private:
    std::atomic<int32_t> m_count{0};
};

}  // namespace mtp
