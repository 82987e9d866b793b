// The runtime's own diagnostic log: one line per LogMessage object, written to standard
// error when the statement that built it ends. Lines below LS_INFO are built but not written.
//
//   MTP_LOG(LS_WARNING) << "id: " << id;
//   MTP_LOG_ERR(LS_ERROR, errno) << "Unable to get handle to thread.";
//
// Any thread; each line is one write call, so lines of different threads never mix.
#pragma once

#include <sstream>
#include <string>

namespace mtp {

enum LoggingSeverity {
    LS_DEBUG = 0,
    LS_SENSITIVE = 1,
    LS_VERBOSE = 2,
    LS_INFO = 3,
    LS_WARNING = 4,
    LS_ERROR = 5,
};

class LogMessage {
public:
    LogMessage(const char* file, int line, LoggingSeverity severity);
    // With a system error code: " : [0xHHHHHHHH] <system text>" ends the line.
    LogMessage(const char* file, int line, LoggingSeverity severity, int error);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    std::ostream& stream() { return m_stream; }

    // The whole line as it is written, newline included (for tests and the destructor).
    std::string Line() const;

    // The console attribute of a severity (7 normal, 14 yellow, 12 light red) and the ANSI
    // escape for an attribute ("" for the normal one).
    static int ColourAttribute(LoggingSeverity severity);
    static std::string AnsiForAttribute(int attribute);
    // "[0x00000005] " plus the system's message for the code (the space only with a text).
    static std::string ErrorText(int error);

private:
    std::ostringstream m_stream;
    LoggingSeverity m_severity;
    std::string m_extra;
};

}  // namespace mtp

#define MTP_LOG(sev) ::mtp::LogMessage(__FILE__, __LINE__, ::mtp::sev).stream()
#define MTP_LOG_ERR(sev, err) ::mtp::LogMessage(__FILE__, __LINE__, ::mtp::sev, (err)).stream()
