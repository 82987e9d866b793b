#include "common/slogger.h"

#include <Poco/AutoPtr.h>
#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>
#include <Poco/Process.h>

#include <pthread.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace Orvane {
namespace Common {

namespace {

// Guards the singleton against Release while a line is being written.
std::shared_mutex g_lock;
slogger* g_inst = nullptr;

const char kLoggerName[] = "StreamCore";

// One file name per process run: program, start time and process id.
const std::string& RunFileName() {
    static const std::string name = [] {
        char prog[64] = "process";
        FILE* f = std::fopen("/proc/self/comm", "r");
        if (f) {
            if (std::fgets(prog, sizeof prog, f)) prog[std::strcspn(prog, "\n")] = '\0';
            std::fclose(f);
        }
        for (char* p = prog; *p; ++p) {
            if (*p == '/' || *p == '\\' || *p == ' ') *p = '_';
        }
        return std::string(prog) + "_" +
               Poco::DateTimeFormatter::format(Poco::DateTime(), "%Y%m%d-%H%M%S") + "_" +
               std::to_string(static_cast<long>(::getpid())) + ".log";
    }();
    return name;
}

}  // namespace

slogger::slogger() : m_pLogger(&Poco::Logger::get(kLoggerName)) {
    m_pLogger->setChannel(nullptr);
    m_pLogger->setLevel(Poco::Message::PRIO_INFORMATION);
}

slogger::~slogger() { m_pLogger->setChannel(nullptr); }

slogger* slogger::Inst() {
    {
        std::shared_lock<std::shared_mutex> lock(g_lock);
        if (g_inst) return g_inst;
    }
    std::unique_lock<std::shared_mutex> lock(g_lock);
    if (!g_inst) {
        try {
            g_inst = new slogger();
        } catch (...) {
            g_inst = nullptr;
        }
    }
    return g_inst;
}

void slogger::Release() {
    std::unique_lock<std::shared_mutex> lock(g_lock);
    delete g_inst;
    g_inst = nullptr;
}

void slogger::InitLogInfoPath(const std::string& folder) {
    std::unique_lock<std::shared_mutex> lock(g_lock);
    std::string dir = folder;
    while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    m_strFolder = dir;
    m_strFile.clear();
    m_pLogger->setChannel(nullptr);
    if (dir.empty()) return;
    try {
        Poco::File(dir).createDirectories();
        const std::string path = dir + "/" + RunFileName();
        Poco::AutoPtr<Poco::FileChannel> file(new Poco::FileChannel(path));
        file->setProperty("rotation", "10 M");
        file->setProperty("archive", "number");
        file->setProperty("purgeCount", "5");
        Poco::AutoPtr<Poco::PatternFormatter> pattern(
            new Poco::PatternFormatter("%Y-%m-%d %H:%M:%S.%i [%I %T] %U:%u %t"));
        Poco::AutoPtr<Poco::FormattingChannel> channel(new Poco::FormattingChannel(pattern, file));
        channel->open();
        m_pLogger->setChannel(channel);
        m_strFile = path;
    } catch (...) {
        // An unusable folder leaves lines dropped rather than failing the caller.
        m_pLogger->setChannel(nullptr);
    }
}

std::string slogger::GetLogFolder() const {
    std::shared_lock<std::shared_mutex> lock(g_lock);
    return m_strFolder;
}

std::string slogger::GetLogFile() const {
    std::shared_lock<std::shared_mutex> lock(g_lock);
    return m_strFile;
}

Poco::Logger& slogger::GetLogger() { return *m_pLogger; }

const char* cut_path(const char* path) {
    if (!path) return "";
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

bool LogEnabled() {
    std::shared_lock<std::shared_mutex> lock(g_lock);
    return g_inst && g_inst->IsLogging();
}

void LogInfo(const char* source, int line, const char* fmt, ...) {
    std::shared_lock<std::shared_mutex> lock(g_lock);
    if (!g_inst || !g_inst->IsLogging() || !fmt) return;

    char text[kLogLineSize];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0) text[0] = '\0';

    try {
        Poco::Message msg(kLoggerName, text, Poco::Message::PRIO_INFORMATION, source ? source : "", line);
        char name[32] = "";
        pthread_getname_np(pthread_self(), name, sizeof name);
        msg.setThread(name);
#ifdef _WIN32
        msg.setTid(static_cast<long>(GetCurrentThreadId()));
#else
        msg.setTid(static_cast<long>(::syscall(SYS_gettid)));
#endif
        g_inst->GetLogger().log(msg);
    } catch (...) {
        // A full disk or a closed file must not take the caller down.
    }
}

}  // namespace Common
}  // namespace Orvane
