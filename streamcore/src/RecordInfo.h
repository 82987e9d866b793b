// One open recording: its recorder, target file and the two sources it takes frames from.
//
// Record ids come from a library-wide 16-bit counter that starts at 0 and is incremented
// before use, so the first id is 1; it wraps after 65535.
// Threads: built, used and deleted on the recording thread (the counter itself is atomic).
#pragma once

#include "record/IRecord.h"

#include <cstdint>
#include <string>

namespace streamcore {

class RecordInfo {
public:
    // recorder must not be null (assertion "lpRecord"); the record owns it and destroys it
    // with DestroyRecord.
    RecordInfo(IRecord* recorder, const std::string& filePath, int flag);
    virtual ~RecordInfo();
    RecordInfo(const RecordInfo&) = delete;
    RecordInfo& operator=(const RecordInfo&) = delete;

    uint16_t Id() const { return m_id; }
    // Takes the next id from the counter (used when the current one is still taken after a
    // wrap).
    void TakeNextId() { m_id = NextRecordId(); }
    const std::string& FilePath() const { return m_filePath; }
    int Flag() const { return m_flag; }
    IRecord* Recorder() const { return m_recorder; }
    // Closes and destroys the recorder (once): false when the file could not be finished.
    bool CloseRecorder();
    // A write failed: the recorder is closed (the file keeps what was written) and the record
    // stays only to answer its stop.
    void Fail(const std::string& why) {
        m_failure = why;
        CloseRecorder();
    }
    bool Failed() const { return !m_failure.empty(); }
    const std::string& Failure() const { return m_failure; }

    std::string videoUniName;
    std::string audioUniName;

    static uint16_t NextRecordId();

private:
    uint16_t m_id;
    std::string m_filePath;
    int m_flag;
    IRecord* m_recorder;
    std::string m_failure;
};

}  // namespace streamcore
