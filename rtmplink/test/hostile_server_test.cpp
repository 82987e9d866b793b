// Every hostile server input of the fuzz corpus (rtmplink/fuzz/server_corpus/hostile) against
// a publisher or player opened through CreateRtmpMgr, each in a process of its own
// (rtmplink_hostile_replay): no crash and no sanitizer report, the stream reported failed,
// no connection the library made by itself, and the process's peak memory bounded.
#include "support/process.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Peak resident memory allowed to one process playing or publishing against a hostile server.
constexpr long kPeakLimitKb = 100 * 1024;

std::vector<std::string> Inputs() {
    std::vector<std::string> names;
    if (DIR* d = opendir(HOSTILE_DIR)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

long Field(const std::string& text, const std::string& name) {
    const size_t at = text.find(name + "=");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 1));
}

}  // namespace

TEST(HostileServer, EveryInputFailsTheStreamWithinBoundedMemory) {
    const std::vector<std::string> inputs = Inputs();
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << HOSTILE_DIR;
    testsupport::TempDir dir("hostile");
    // All at once: each mostly waits on its connection.
    std::vector<std::unique_ptr<testsupport::ChildProcess>> children;
    for (const std::string& name : inputs) {
        children.emplace_back(new testsupport::ChildProcess);
        ASSERT_TRUE(children.back()->Start({HOSTILE_REPLAY, std::string(HOSTILE_DIR) + "/" + name}, dir.file(name)));
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const int status = children[i]->Wait(120000);
        const std::string output = testsupport::ReadFile(dir.file(inputs[i]));
        const long peakKb = Field(output, "peak_kb");
        std::printf("%-80s peak %6ld KB  %s", inputs[i].c_str(), peakKb,
                    output.substr(0, output.find("peak_kb")).c_str());
        std::printf("\n");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << inputs[i] << ": status " << status << "\n" << output;
#if !defined(__SANITIZE_ADDRESS__)
        // (The address sanitizer keeps freed memory in quarantine.)
        EXPECT_GT(peakKb, 0) << inputs[i];
        EXPECT_LT(peakKb, kPeakLimitKb) << inputs[i];
#endif
    }
}
