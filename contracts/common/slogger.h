// The process logger of the support library.
//
// One logger per process. Lines go to a file in the folder given to InitLogInfoPath, one file
// per process run (rotated by size); each line carries the time in milliseconds, the thread,
// the source file's short name and line, and the text. Until a folder is given, lines are
// dropped. Logging is off until the enabled switch is set.
//
// Threads: every member may be called from any thread. Release must not race with code that
// uses the raw pointer from Inst(); the OV_LOG* calls are safe against Release.
#pragma once

#include <atomic>
#include <string>

namespace Poco { class Logger; }

namespace Orvane {
namespace Common {

class slogger {
public:
    // The process logger, created on first use; null only when it could not be created.
    static slogger* Inst();
    // Ends the logger: closes its file. A later Inst() makes a new one.
    static void Release();

    // Logging enabled. Read before every log call; set by the host at start-up.
    std::atomic<bool> m_bLogEnabled{false};

    bool IsLogging() const { return m_bLogEnabled.load(std::memory_order_relaxed); }
    // Chooses the folder for log files ("" leaves lines dropped). Creates it when missing.
    void InitLogInfoPath(const std::string& folder);
    // The folder given last, and the file lines go to ("" when none).
    std::string GetLogFolder() const;
    std::string GetLogFile() const;
    Poco::Logger& GetLogger();

private:
    slogger();
    ~slogger();
    slogger(const slogger&) = delete;
    slogger& operator=(const slogger&) = delete;

    Poco::Logger* m_pLogger;
    std::string m_strFolder;
    std::string m_strFile;
};

// The file-name part of a path ("a/b/c.cpp" and "a\\b\\c.cpp" give "c.cpp"); null gives "".
const char* cut_path(const char* path);

// Size of the buffer a log line is formatted into; longer lines are cut, never overrun.
enum { kLogLineSize = 2048 };

// Formats one line (printf style, truncated to kLogLineSize - 1 bytes) and writes it at
// information level with the given source name and line, but only when the logger exists
// and logging is enabled. Nothing is formatted when it would not be written.
void LogInfo(const char* source, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// True when a log line would be written now.
bool LogEnabled();

}  // namespace Common
}  // namespace Orvane

// The log call every library uses: the short name of the current source file and its line.
#define OV_LOG(...) ::Orvane::Common::LogInfo(::Orvane::Common::cut_path(__FILE__), __LINE__, __VA_ARGS__)
// The same with a source name of the caller's choosing (for example a class name).
#define OV_LOG_AS(source, ...) ::Orvane::Common::LogInfo((source), __LINE__, __VA_ARGS__)
