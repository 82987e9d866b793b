#include "launcher_flow.h"

namespace launcher {

#ifdef _WIN32
const char* const kProgramPath = "bin/nw.exe";
#else
const char* const kProgramPath = "bin/nw";
#endif
const char* const kMessageTitle = "Tavric客户端";
const char* const kMessageText = "非常抱歉，教师版暂不支持低于 Windows 7 的操作系统！";

std::string CommandLineFor(const std::string& file) {
    if (!file.empty() && file[0] == '"') return file;
    return "\"" + file + "\"";
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::string ShellDirectoryOf(const std::string& file) {
    const std::string::size_type slash = file.rfind('\\');
    return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

bool StartProgram(ILauncherPlatform& platform, const std::string& file) {
    if (platform.StartProcess(CommandLineFor(file))) return true;
    return platform.ShellStart(file, ShellDirectoryOf(file));
}

int RunLauncher(ILauncherPlatform& platform) {
    const int code = VersionCode(platform.ProbeVersion());
    if (code > kLastUnsupportedCode) {
        // A start that fails both ways is silent: there is nobody to tell but the user, and
        // the user gets no message for it.
        StartProgram(platform, kProgramPath);
    } else {
        platform.ShowMessage(kMessageTitle, kMessageText);
    }
    return 0;
}

}  // namespace launcher
