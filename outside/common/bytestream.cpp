#include "common/bytestream.h"

namespace Orvane {
namespace Common {

namespace detail {
FixedBuf::FixedBuf(unsigned char* buffer, unsigned size) {
    char* begin = reinterpret_cast<char*>(buffer);
    char* end = buffer ? begin + size : begin;
    setp(begin, end);
    setg(begin, begin, end);
}
}  // namespace detail

ByteWriteStream::ByteWriteStream(unsigned char* buffer, unsigned size)
    : m_buf(buffer, size), m_stream(&m_buf), m_writer(m_stream) {}

ByteWriteStream& ByteWriteStream::WriteRaw(const void* data, unsigned len) {
    if (len) m_writer.writeRaw(static_cast<const char*>(data), len);
    return *this;
}

// The streambuf only reads; the cast lets one buffer type serve both directions.
ByteReadStream::ByteReadStream(const unsigned char* buffer, unsigned size)
    : m_buf(const_cast<unsigned char*>(buffer), size), m_stream(&m_buf), m_reader(m_stream) {}

ByteReadStream& ByteReadStream::operator>>(std::string& value) {
    value.clear();
    Poco::UInt32 size = 0;
    m_reader.read7BitEncoded(size);
    if (!m_stream.good()) return *this;
    if (size > m_buf.Remaining()) {
        m_stream.setstate(std::ios::failbit);
        return *this;
    }
    value.resize(size);
    if (size) m_stream.read(&value[0], size);
    return *this;
}

ByteReadStream& ByteReadStream::ReadRaw(void* data, unsigned len) {
    if (len > m_buf.Remaining()) {
        m_stream.setstate(std::ios::failbit);
        return *this;
    }
    if (len) m_stream.read(static_cast<char*>(data), len);
    return *this;
}

}  // namespace Common
}  // namespace Orvane
