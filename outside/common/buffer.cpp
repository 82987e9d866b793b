#include "common/buffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace Orvane {
namespace Common {

CDataPacket::CDataPacket(int growBy)
    : m_nCapacity(0), m_nStart(0), m_nEnd(0), m_nGrowBy(growBy > 0 ? growBy : 1), m_pBuffer(nullptr) {}

CDataPacket::~CDataPacket() { std::free(m_pBuffer); }

bool CDataPacket::AssureSize(int size, bool bClear) {
    if (size < 0) return false;
    const int64_t keep = bClear ? 0 : Length();
    const int64_t need = keep + size;
    if (need > std::numeric_limits<int>::max()) return false;
    if (bClear) Clear();
    if (need <= m_nCapacity - m_nStart) return true;
    if (need <= m_nCapacity) {
        // Enough room once the content is moved to the front.
        std::memmove(m_pBuffer, m_pBuffer + m_nStart, static_cast<size_t>(keep));
        m_nStart = 0;
        m_nEnd = static_cast<int>(keep);
        return true;
    }
    const int64_t grow = m_nGrowBy;
    int64_t capacity = (need + grow - 1) / grow * grow;
    if (capacity > std::numeric_limits<int>::max()) capacity = need;
    unsigned char* fresh = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(capacity)));
    if (!fresh) return false;
    if (keep > 0) std::memcpy(fresh, m_pBuffer + m_nStart, static_cast<size_t>(keep));
    std::free(m_pBuffer);
    m_pBuffer = fresh;
    m_nCapacity = static_cast<int>(capacity);
    m_nStart = 0;
    m_nEnd = static_cast<int>(keep);
    return true;
}

bool CDataPacket::Append(const void* data, int len) {
    if (len < 0 || (len > 0 && !data)) return false;
    if (len == 0) return true;
    if (!AssureSize(len, false)) return false;
    std::memcpy(m_pBuffer + m_nEnd, data, static_cast<size_t>(len));
    m_nEnd += len;
    return true;
}

bool CDataPacket::Set(const void* data, int len) {
    if (len < 0 || (len > 0 && !data)) return false;
    if (!AssureSize(len, true)) return false;
    if (len > 0) std::memcpy(m_pBuffer, data, static_cast<size_t>(len));
    m_nEnd = len;
    return true;
}

void CDataPacket::SwitchBuffer(CDataPacket& other) {
    std::swap(m_nCapacity, other.m_nCapacity);
    std::swap(m_nStart, other.m_nStart);
    std::swap(m_nEnd, other.m_nEnd);
    std::swap(m_nGrowBy, other.m_nGrowBy);
    std::swap(m_pBuffer, other.m_pBuffer);
}

bool IOBuffer::Initialize(unsigned size) {
    std::unique_ptr<unsigned char[]> fresh(size ? new (std::nothrow) unsigned char[size]() : nullptr);
    if (size && !fresh) return false;
    m_data = std::move(fresh);
    m_capacity = size;
    m_length = 0;
    return true;
}

bool IOBuffer::SetLength(unsigned len) {
    if (len > m_capacity) return false;
    m_length = len;
    return true;
}

bool IOBuffer::ReadFromBuffer(const unsigned char* data, unsigned len) {
    if (len == 0) return true;
    if (!data) return false;
    const uint64_t need = static_cast<uint64_t>(m_length) + len;
    if (need > std::numeric_limits<unsigned>::max()) return false;
    if (need > m_capacity) {
        uint64_t capacity = m_capacity * 2ull;
        if (capacity < need) capacity = need;
        if (capacity > std::numeric_limits<unsigned>::max()) capacity = need;
        std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[capacity]());
        if (!fresh) return false;
        if (m_length) std::memcpy(fresh.get(), m_data.get(), m_length);
        m_data = std::move(fresh);
        m_capacity = static_cast<unsigned>(capacity);
    }
    std::memcpy(m_data.get() + m_length, data, len);
    m_length += len;
    return true;
}

}  // namespace Common
}  // namespace Orvane
