// The AAC decoder configuration last reported by the engine's sound mixer, and whether it
// still has to be handed to the RTMP manager.
//
// Threads: Set on an engine thread, MarkPending on the host's thread, TakeIfPending on the
// publish data thread and Get on the recording thread, all at once: every member is safe from
// any thread (a small lock guards the bytes, so a reader never sees a half-written header).
#pragma once

#include "common/thread_annotations.h"

#include <cstring>

namespace streamcore {

class AacHeaderStore {
public:
    enum { kCapacity = 11 };

    // Stores len bytes. A header longer than kCapacity (or a negative length, or null data)
    // is refused and the previous header kept: a cut AudioSpecificConfig would describe the
    // wrong stream. Returns whether it was stored.
    bool Set(const void* data, int len) {
        if (data == nullptr || len < 0 || len > kCapacity) return false;
        Orvane::Common::MutexLock lock(m_mutex);
        std::memcpy(m_header, data, static_cast<std::size_t>(len));
        m_len = len;
        ++m_generation;
        return true;
    }
    // Copies the header into out (kCapacity bytes); returns its length (0 until reported).
    int Get(unsigned char* out) const {
        Orvane::Common::MutexLock lock(m_mutex);
        std::memcpy(out, m_header, static_cast<std::size_t>(m_len));
        return m_len;
    }
    int Length() const {
        Orvane::Common::MutexLock lock(m_mutex);
        return m_len;
    }
    void MarkPending() {
        Orvane::Common::MutexLock lock(m_mutex);
        m_pending = true;
        ++m_generation;
    }
    // Copies the header into out (kCapacity bytes) and its generation into *generation (a
    // number that changes with every Set and MarkPending); returns its length (0 until
    // reported). A reader that remembers the generation it handed on per receiver gives each
    // receiver the header once, and again after a change or a MarkPending.
    int GetWithGeneration(unsigned char* out, unsigned* generation) const {
        Orvane::Common::MutexLock lock(m_mutex);
        std::memcpy(out, m_header, static_cast<std::size_t>(m_len));
        *generation = m_generation;
        return m_len;
    }
    // When the header is pending and known: clears the flag, copies it into out and returns
    // its length; otherwise returns 0 and leaves the flag.
    int TakeIfPending(unsigned char* out) {
        Orvane::Common::MutexLock lock(m_mutex);
        if (!m_pending || m_len <= 0) return 0;
        m_pending = false;
        std::memcpy(out, m_header, static_cast<std::size_t>(m_len));
        return m_len;
    }
    bool Pending() const {
        Orvane::Common::MutexLock lock(m_mutex);
        return m_pending;
    }

private:
    mutable Orvane::Common::Mutex m_mutex;
    unsigned char m_header[kCapacity] OV_GUARDED_BY(m_mutex) = {};
    int m_len OV_GUARDED_BY(m_mutex) = 0;
    bool m_pending OV_GUARDED_BY(m_mutex) = true;
    unsigned m_generation OV_GUARDED_BY(m_mutex) = 0;
};

}  // namespace streamcore
