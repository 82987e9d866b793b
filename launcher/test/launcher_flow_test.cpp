#include "launcher_flow.h"

#include <gtest/gtest.h>

#include <vector>

namespace launcher {
namespace {

// Records every call and answers as configured.
class FakePlatform : public ILauncherPlatform {
public:
    VersionRecords versions;
    bool processStarts = true;
    bool shellStarts = true;
    std::vector<std::string> processCalls;
    std::vector<std::pair<std::string, std::string>> shellCalls;
    std::vector<std::pair<std::string, std::string>> messages;

    VersionRecords ProbeVersion() override { return versions; }
    bool StartProcess(const std::string& commandLine) override {
        processCalls.push_back(commandLine);
        return processStarts;
    }
    bool ShellStart(const std::string& file, const std::string& directory) override {
        shellCalls.emplace_back(file, directory);
        return shellStarts;
    }
    void ShowMessage(const std::string& title, const std::string& text) override {
        messages.emplace_back(title, text);
    }
};

VersionRecords NtWorkstation(unsigned major, unsigned minor) {
    VersionRecords v;
    v.basicAnswered = true;
    v.basic.platformId = 2;
    v.trueAnswered = true;
    v.trueVersion.platformId = 2;
    v.trueVersion.major = major;
    v.trueVersion.minor = minor;
    v.trueVersion.productType = 1;
    return v;
}

TEST(LauncherFlow, SupportedOrUnknownSystemStartsTheProgramOnce) {
    for (const VersionRecords& v : {NtWorkstation(6, 1), NtWorkstation(10, 0), VersionRecords()}) {
        FakePlatform p;
        p.versions = v;
        EXPECT_EQ(RunLauncher(p), 0);
        ASSERT_EQ(p.processCalls.size(), 1u);
        EXPECT_EQ(p.processCalls[0], std::string("\"") + kProgramPath + "\"");
        EXPECT_TRUE(p.shellCalls.empty());
        EXPECT_TRUE(p.messages.empty());
    }
}

TEST(LauncherFlow, OlderSystemShowsTheMessageAndStartsNothing) {
    FakePlatform p;
    p.versions = NtWorkstation(6, 0);  // Vista, code 70
    EXPECT_EQ(RunLauncher(p), 0);
    EXPECT_TRUE(p.processCalls.empty());
    EXPECT_TRUE(p.shellCalls.empty());
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_EQ(p.messages[0].first, "Tavric客户端");
    EXPECT_EQ(p.messages[0].second, "非常抱歉，教师版暂不支持低于 Windows 7 的操作系统！");
}

TEST(LauncherFlow, FailedStartFallsBackToTheShellAndBothFailingIsSilent) {
    FakePlatform p;
    p.processStarts = false;
    EXPECT_EQ(RunLauncher(p), 0);
    ASSERT_EQ(p.shellCalls.size(), 1u);
    EXPECT_EQ(p.shellCalls[0].first, kProgramPath);
    EXPECT_EQ(p.shellCalls[0].second, "");

    FakePlatform q;
    q.processStarts = q.shellStarts = false;
    EXPECT_EQ(RunLauncher(q), 0);
    EXPECT_EQ(q.processCalls.size(), 1u);
    EXPECT_EQ(q.shellCalls.size(), 1u);
    EXPECT_TRUE(q.messages.empty());
}

TEST(LauncherFlow, CommandLineAndShellDirectory) {
    EXPECT_EQ(CommandLineFor("bin/nw"), "\"bin/nw\"");
    EXPECT_EQ(CommandLineFor("\"my app\" -x"), "\"my app\" -x");
    EXPECT_EQ(SplitCommandLine("\"bin/my nw\""), std::vector<std::string>{"bin/my nw"});
    EXPECT_EQ(SplitCommandLine("  a \"b c\"d  \"\" "), (std::vector<std::string>{"a", "b cd", ""}));
    EXPECT_TRUE(SplitCommandLine("   ").empty());
    EXPECT_EQ(ShellDirectoryOf("bin/nw"), "");
    EXPECT_EQ(ShellDirectoryOf("C:\\app\\bin\\nw.exe"), "C:\\app\\bin");
}

}  // namespace
}  // namespace launcher
