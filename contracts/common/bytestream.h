// Binary streams over a caller's fixed buffer, carrying Poco's BinaryWriter / BinaryReader.
//
// A write that does not fit fails the stream (good() turns false) and writes nothing past the
// end; a read past the data fails the reader's stream. Strings go with a 7-bit encoded length
// in front. Byte order is the host's.
// Threads: one thread at a time per stream.
#pragma once

#include <Poco/BinaryReader.h>
#include <Poco/BinaryWriter.h>

#include <istream>
#include <ostream>
#include <streambuf>
#include <string>

namespace Orvane {
namespace Common {

namespace detail {
// A streambuf over [buffer, buffer + size) that never grows.
class FixedBuf : public std::streambuf {
public:
    FixedBuf(unsigned char* buffer, unsigned size);
    unsigned Written() const { return static_cast<unsigned>(pptr() - pbase()); }
    unsigned Consumed() const { return static_cast<unsigned>(gptr() - eback()); }
    unsigned Remaining() const { return static_cast<unsigned>(egptr() - gptr()); }
};
}  // namespace detail

class ByteWriteStream {
public:
    ByteWriteStream(unsigned char* buffer, unsigned size);

    template <typename T>
    ByteWriteStream& operator<<(const T& value) {
        m_writer << value;
        return *this;
    }
    // Raw bytes, no length in front.
    ByteWriteStream& WriteRaw(const void* data, unsigned len);

    // Bytes written so far.
    unsigned Tell() const { return m_buf.Written(); }
    bool good() const { return m_stream.good(); }
    Poco::BinaryWriter& Writer() { return m_writer; }

private:
    detail::FixedBuf m_buf;
    std::ostream m_stream;
    Poco::BinaryWriter m_writer;
};

class ByteReadStream {
public:
    // Reads the size bytes of buffer (const: the buffer is never written).
    ByteReadStream(const unsigned char* buffer, unsigned size);

    template <typename T>
    ByteReadStream& operator>>(T& value) {
        m_reader >> value;
        return *this;
    }
    // A length-prefixed string. A length longer than the bytes left fails the stream and
    // leaves the string empty, without reserving memory for the bogus length.
    ByteReadStream& operator>>(std::string& value);
    ByteReadStream& ReadRaw(void* data, unsigned len);

    // Bytes consumed so far, and bytes left.
    unsigned Tell() const { return m_buf.Consumed(); }
    unsigned Remaining() const { return m_buf.Remaining(); }
    bool good() const { return m_stream.good(); }
    Poco::BinaryReader& Reader() { return m_reader; }

private:
    detail::FixedBuf m_buf;
    std::istream m_stream;
    Poco::BinaryReader m_reader;
};

}  // namespace Common
}  // namespace Orvane
