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

// Writes s, cut so that it fits behind what is written so far and its length prefix.
void WriteCut(ByteWriteStream& out, std::size_t capacity, const std::string& s) {
    const std::size_t room = capacity > out.Tell() ? capacity - out.Tell() : 0;
    std::size_t n = s.size();
    while (n > 0 && n + LengthPrefixSize(n) > room) --n;
    out << s.substr(0, n);
}

}  // namespace

std::vector<unsigned char> BuildEventRecord(int eventId, int value, const std::string& text,
                                           const std::string& detail) {
    std::vector<unsigned char> buffer(kEventRecordCapacity);
    ByteWriteStream out(buffer.data(), static_cast<unsigned>(buffer.size()));
    out << static_cast<Poco::Int32>(eventId) << static_cast<Poco::Int32>(value);
    if (EventHasText(eventId)) {
        // The detail keeps room for at least its length prefix.
        WriteCut(out, buffer.size() - (EventHasDetail(eventId) ? LengthPrefixSize(detail.size()) : 0), text);
        if (EventHasDetail(eventId)) WriteCut(out, buffer.size(), detail);
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
    out.detail.clear();
    if (EventHasText(id)) {
        in >> out.text;
        if (!in.good()) return false;
    }
    if (EventHasDetail(id)) {
        in >> out.detail;
        if (!in.good()) return false;
    }
    return true;
}

}  // namespace streamcore
