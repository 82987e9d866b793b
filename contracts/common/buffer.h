// Byte buffers of the support library.
#pragma once

#include <cstdint>
#include <memory>

namespace Orvane {
namespace Common {

// Growable byte buffer with its bookkeeping in public fields:
// content = m_pBuffer + m_nStart, length = m_nEnd - m_nStart, capacity m_nCapacity.
// Grows to at least the size asked for, rounded up to a multiple of m_nGrowBy.
// Threads: one thread at a time.
class CDataPacket {
public:
    explicit CDataPacket(int growBy = 4096);
    ~CDataPacket();
    CDataPacket(const CDataPacket&) = delete;
    CDataPacket& operator=(const CDataPacket&) = delete;

    int m_nCapacity;
    int m_nStart;
    int m_nEnd;
    int m_nGrowBy;
    unsigned char* m_pBuffer;

    unsigned char* Data() const { return m_pBuffer ? m_pBuffer + m_nStart : nullptr; }
    int Length() const { return m_nEnd - m_nStart; }

    // bClear true: room for size bytes from the start of the buffer, content emptied (the
    // caller may then write up to size bytes at m_pBuffer and set m_nEnd).
    // bClear false: room for size more bytes after the content, which is kept.
    // False for a negative size or when memory runs out (the packet is unchanged then).
    bool AssureSize(int size, bool bClear);
    // Adds len bytes at the end of the content. False (nothing added) for bad arguments.
    bool Append(const void* data, int len);
    // Replaces the content with len bytes. False (content unchanged) for bad arguments.
    bool Set(const void* data, int len);
    // Exchanges buffers and bookkeeping with another packet.
    void SwitchBuffer(CDataPacket& other);
    // Empties the content, keeping the memory.
    void Clear() { m_nStart = m_nEnd = 0; }
};

// A media buffer handed between threads in a std::shared_ptr.
// Initialize allocates; ReadFromBuffer copies bytes in behind what is already there (growing
// the storage when needed, which moves it); IgnoreAll empties it. GetPointer is the start of
// the storage, valid until the next Initialize or growth.
// Threads: one writer; readers after the buffer was handed over.
class IOBuffer {
public:
    IOBuffer() = default;
    explicit IOBuffer(unsigned size) { Initialize(size); }
    IOBuffer(const IOBuffer&) = delete;
    IOBuffer& operator=(const IOBuffer&) = delete;

    // Storage of size bytes, zero-filled, content empty. False when memory runs out.
    bool Initialize(unsigned size);
    unsigned char* GetPointer() const { return m_data.get(); }
    unsigned GetCapacity() const { return m_capacity; }
    // Bytes copied in so far (or set with SetLength).
    unsigned GetLength() const { return m_length; }
    // Marks the first len bytes as content, for callers that fill the storage themselves.
    // False (unchanged) when len exceeds the capacity.
    bool SetLength(unsigned len);
    // Copies len bytes in behind the content. False (nothing copied) for a null source with
    // a non-zero length, or when memory runs out.
    bool ReadFromBuffer(const unsigned char* data, unsigned len);
    void IgnoreAll() { m_length = 0; }

private:
    std::unique_ptr<unsigned char[]> m_data;
    unsigned m_capacity = 0;
    unsigned m_length = 0;
};

typedef std::shared_ptr<IOBuffer> IOBufferPtr;

}  // namespace Common
}  // namespace Orvane
