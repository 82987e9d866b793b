#include "RecordInfo.h"

#include <Poco/Bugcheck.h>

#include <atomic>

namespace streamcore {

namespace {
std::atomic<uint16_t> g_recordIdCounter{0};
}

uint16_t RecordInfo::NextRecordId() {
    return static_cast<uint16_t>(g_recordIdCounter.fetch_add(1) + 1);
}

RecordInfo::RecordInfo(IRecord* recorder, const std::string& filePath, int flag)
    : m_id(0), m_filePath(filePath), m_flag(flag), m_recorder(recorder) {
    if (recorder == nullptr) Poco::Bugcheck::assertion("lpRecord", "RecordInfo", __LINE__);
    m_id = NextRecordId();
}

RecordInfo::~RecordInfo() { CloseRecorder(); }

bool RecordInfo::CloseRecorder() {
    if (m_recorder == nullptr) return true;
    const bool closed = m_recorder->Close() == 0;
    DestroyRecord(m_recorder);
    m_recorder = nullptr;
    return closed;
}

}  // namespace streamcore
