#include "EventRecord.h"

#include "common/bytestream.h"

namespace streamcore {

using Orvane::Common::ByteReadStream;
using Orvane::Common::ByteWriteStream;

namespace {
// Bytes of the 7-bit length prefix for a string of n bytes.
unsigned LengthPrefixSize(std::size_t n) {
    unsigned bytes = 1;
    while (n >= 0x80) {
        n >>= 7;
        ++bytes;
    }
    return bytes;
}
}  // namespace

std::vector<unsigned char> BuildEventRecord(int eventId, int value, const std::string& text) {
    std::vector<unsigned char> buffer(kEventRecordCapacity);
    ByteWriteStream out(buffer.data(), static_cast<unsigned>(buffer.size()));
    out << static_cast<Poco::Int32>(eventId) << static_cast<Poco::Int32>(value);
    if (EventHasText(eventId)) {
        // Cut a text that would not fit behind the two integers and its length prefix.
        std::size_t room = buffer.size() - out.Tell();
        std::size_t n = text.size();
        while (n > 0 && n + LengthPrefixSize(n) > room) --n;
        out << text.substr(0, n);
    }
    buffer.resize(out.good() ? out.Tell() : 0);
    return buffer;
}

bool ParseEventRecord(const unsigned char* data, unsigned len, EventRecord& out) {
    if (data == nullptr || len < 8) return false;
    ByteReadStream in(data, len);
    Poco::Int32 id = 0, value = 0;
    in >> id >> value;
    if (!in.good()) return false;
    out.eventId = id;
    out.value = value;
    out.text.clear();
    if (EventHasText(id)) {
        in >> out.text;
        if (!in.good()) return false;
    }
    return true;
}

}  // namespace streamcore
