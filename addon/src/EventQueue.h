// The event texts handed to the script, and the queue they wait in.
//
// An event text is one compact JSON object (keys in ascending order, no spaces) followed by a
// newline, for example {"eventid":6001,"result":0,"rtmpurl":"name"}.
//
// Threads: EventQueue may be used from any thread; every member takes the queue's one lock.
// The text builders are pure functions.
#pragma once

#include "common/thread_annotations.h"

#include <cstddef>
#include <deque>
#include <string>

namespace streamaddon {

// {"eventid":ID,"result":R}\n
std::string EventText(int eventId, int result);
// {"eventid":ID,"result":R,"rtmpurl":"NAME"}\n with NAME escaped as a JSON string (null reads
// as an empty name).
std::string StreamEventText(int eventId, int result, const char* name);
// {"eventid":ID,"reason":"WHY","result":-1,KEY:"SUBJECT"}\n: something of the script's that
// ended on a failure (KEY names what SUBJECT is, and sorts among the other keys).
std::string FailureEventText(int eventId, const char* key, const std::string& subject, const std::string& why);

// The stream name results carry: the last path segment of url (all of it without a '/').
std::string StreamNameOf(const std::string& url);

class EventQueue {
public:
    // Appends a text at the back.
    void Push(std::string text);
    // The number of texts queued at the moment of the call; when it is not 0 the oldest text
    // is moved into *oldest and removed.
    std::size_t TakeOldest(std::string* oldest);
    void Clear();
    std::size_t Size() const;

private:
    mutable Orvane::Common::Mutex m_lock;
    std::deque<std::string> m_texts OV_GUARDED_BY(m_lock);
};

}  // namespace streamaddon
