#include "EventQueue.h"

#include <json/json.h>

namespace streamaddon {

namespace {

std::string Write(const Json::Value& value) {
    // The compact writer is the one whose output the script side parses: members in key
    // order, no spaces, a newline at the end.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
    return writer.write(value);
#pragma GCC diagnostic pop
}

}  // namespace

std::string EventText(int eventId, int result) {
    Json::Value value(Json::objectValue);
    value["eventid"] = eventId;
    value["result"] = result;
    return Write(value);
}

std::string StreamEventText(int eventId, int result, const char* name) {
    Json::Value value(Json::objectValue);
    value["eventid"] = eventId;
    value["result"] = result;
    value["rtmpurl"] = name ? name : "";
    return Write(value);
}

std::string FailureEventText(int eventId, const char* key, const std::string& subject, const std::string& why) {
    Json::Value value(Json::objectValue);
    value["eventid"] = eventId;
    value["result"] = -1;
    value["reason"] = why;
    value[key] = subject;
    return Write(value);
}

std::string StreamNameOf(const std::string& url) {
    const std::size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

void EventQueue::Push(std::string text) {
    Orvane::Common::MutexLock lock(m_lock);
    m_texts.push_back(std::move(text));
}

std::size_t EventQueue::TakeOldest(std::string* oldest) {
    Orvane::Common::MutexLock lock(m_lock);
    const std::size_t count = m_texts.size();
    if (count != 0) {
        if (oldest) *oldest = std::move(m_texts.front());
        m_texts.pop_front();
    }
    return count;
}

void EventQueue::Clear() {
    Orvane::Common::MutexLock lock(m_lock);
    m_texts.clear();
}

std::size_t EventQueue::Size() const {
    Orvane::Common::MutexLock lock(m_lock);
    return m_texts.size();
}

}  // namespace streamaddon
