#include "mtp/logging.h"

#include <cstdio>

#include "mtp/platform.h"

namespace mtp {
namespace {

const char* ShortName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

const char* Prefix(LoggingSeverity severity) {
    switch (severity) {
    case LS_WARNING: return "***** Warning *****";
    case LS_ERROR: return "***** Error *****";
    default: return nullptr;
    }
}

}  // namespace

LogMessage::LogMessage(const char* file, int line, LoggingSeverity severity) : m_severity(severity) {
    if (const char* prefix = Prefix(severity)) {
        m_stream << prefix << "(" << ShortName(file) << ":" << line << "): ";
    }
}

LogMessage::LogMessage(const char* file, int line, LoggingSeverity severity, int error)
    : LogMessage(file, line, severity) {
    m_extra = ErrorText(error);
}

std::string LogMessage::ErrorText(int error) {
    char code[16];
    snprintf(code, sizeof code, "[0x%08X]", static_cast<unsigned>(error));
    std::string text = code;
    const std::string msg = os::SystemErrorMessage(error);
    if (!msg.empty()) text += " " + msg;
    return text;
}

int LogMessage::ColourAttribute(LoggingSeverity severity) {
    switch (severity) {
    case LS_WARNING: return 14;
    case LS_ERROR: return 12;
    default: return 7;
    }
}

std::string LogMessage::AnsiForAttribute(int attribute) {
    // Console attributes: bit 0 blue, bit 1 green, bit 2 red, bit 3 intensity.
    if ((attribute & 0x0F) == 7) return "";
    const int rgb = ((attribute & 4) ? 1 : 0) | ((attribute & 2) ? 2 : 0) | ((attribute & 1) ? 4 : 0);
    const int code = ((attribute & 8) ? 90 : 30) + rgb;
    return "\x1b[" + std::to_string(code) + "m";
}

std::string LogMessage::Line() const {
    std::string line = m_stream.str();
    if (!m_extra.empty()) line += " : " + m_extra;
    line += "\n";
    return line;
}

LogMessage::~LogMessage() {
    if (m_severity < LS_INFO) return;
    os::WriteLogLine(Line(), ColourAttribute(m_severity));
}

}  // namespace mtp
