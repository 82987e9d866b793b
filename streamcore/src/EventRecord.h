// Event records: the binary form in which connection results travel from the RTMP threads to
// the endpoint's event thread.
//
// Layout (host byte order, written with the support library's byte streams):
//   event id  int32, always
//   value     int32, always
//   text      7-bit-encoded length, then the bytes; for the ids that carry a text (the stream
//             name of a publish or play result, the URL of a bitrate change, the uniName of an
//             ended source, the file of a failed recording)
//   detail    the same form; for the ids that carry one (the URL of a publish or play result,
//             the reason a source ended or a recording failed)
// Threads: pure functions, any thread.
#pragma once

#include "IStreamCore.h"

#include <string>
#include <vector>

namespace streamcore {

enum EventId {
    EVENT_STOP = 0,
    EVENT_PUBLISH_RESULT = STREAMCORE_EVENT_PUBLISH_RESULT,
    EVENT_PLAY_RESULT = STREAMCORE_EVENT_PLAY_RESULT,
    EVENT_BITRATE = STREAMCORE_EVENT_BITRATE,
    EVENT_SOURCE_ENDED = STREAMCORE_EVENT_SOURCE_ENDED,
    EVENT_RECORD_FAILED = STREAMCORE_EVENT_RECORD_FAILED,
};

// Records are built in a buffer of this size; texts that would not fit are cut to fit.
enum { kEventRecordCapacity = 65535 };

// True for the ids whose record carries a text, and for those that carry a detail too.
inline bool EventHasText(int eventId) {
    return eventId == EVENT_PUBLISH_RESULT || eventId == EVENT_PLAY_RESULT || eventId == EVENT_BITRATE ||
           eventId == EVENT_SOURCE_ENDED || eventId == EVENT_RECORD_FAILED;
}
inline bool EventHasDetail(int eventId) { return EventHasText(eventId) && eventId != EVENT_BITRATE; }

// The encoded record. The text and the detail are written only for ids that carry them.
std::vector<unsigned char> BuildEventRecord(int eventId, int value, const std::string& text = std::string(),
                                           const std::string& detail = std::string());

struct EventRecord {
    int eventId = 0;
    int value = 0;
    std::string text;
    std::string detail;
};

// Decodes a record. False when it is shorter than the two integers or, for an id with a
// text or a detail, when that is missing or truncated.
bool ParseEventRecord(const unsigned char* data, unsigned len, EventRecord& out);

}  // namespace streamcore
