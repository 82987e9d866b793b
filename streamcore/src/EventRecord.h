// Event records: the binary form in which connection results travel from the RTMP threads to
// the endpoint's event thread.
//
// Layout (host byte order, written with the support library's byte streams):
//   event id  int32, always
//   value     int32, always
//   text      7-bit-encoded length, then the bytes; only for the publish and play results
//             (the stream name) and the bitrate changes (the URL)
// Threads: pure functions, any thread.
#pragma once

#include "IStreamCore.h"

#include <string>
#include <vector>

namespace streamcore {

enum EventId {
    EVENT_STOP = 0,
    EVENT_PUBLISH_RESULT = 6001,
    EVENT_PLAY_RESULT = 6002,
    EVENT_BITRATE = STREAMCORE_EVENT_BITRATE,
};

// Records are built in a buffer of this size; a text that would not fit is cut to fit.
enum { kEventRecordCapacity = 65535 };

// True for the ids whose record carries a text.
inline bool EventHasText(int eventId) {
    return eventId == EVENT_PUBLISH_RESULT || eventId == EVENT_PLAY_RESULT || eventId == EVENT_BITRATE;
}

// The encoded record. The text is written only for ids that carry one.
std::vector<unsigned char> BuildEventRecord(int eventId, int value, const std::string& text = std::string());

struct EventRecord {
    int eventId = 0;
    int value = 0;
    std::string text;
};

// Decodes a record. False when it is shorter than the two integers or, for an id with a
// text, when the text is missing or truncated.
bool ParseEventRecord(const unsigned char* data, unsigned len, EventRecord& out);

}  // namespace streamcore
