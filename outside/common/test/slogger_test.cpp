#include "common/slogger.h"

#include <gtest/gtest.h>

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using Orvane::Common::cut_path;
using Orvane::Common::slogger;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SloggerTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = Poco::TemporaryFile::tempName() + "_log"; }
    void TearDown() override {
        slogger::Release();
        Poco::File dir(m_dir);
        if (dir.exists()) dir.remove(true);
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        Poco::File dir(m_dir);
        if (dir.exists()) dir.list(names);
        return names;
    }
    std::string m_dir;
};

}  // namespace

TEST(CutPath, TakesTheFileNamePart) {
    EXPECT_STREQ(cut_path("/a/b/LiveMediaEndpoint.cpp"), "LiveMediaEndpoint.cpp");
    EXPECT_STREQ(cut_path("c:\\src\\x\\RtmpPublish.cpp"), "RtmpPublish.cpp");
    EXPECT_STREQ(cut_path("plain.cpp"), "plain.cpp");
    EXPECT_STREQ(cut_path("dir/"), "");
    EXPECT_STREQ(cut_path(nullptr), "");
}

TEST_F(SloggerTest, WritesOnlyWhenEnabledIntoTheGivenFolder) {
    slogger* log = slogger::Inst();
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(log->IsLogging());
    log->InitLogInfoPath(m_dir + "\\");  // a trailing separator of either kind is accepted
    EXPECT_EQ(log->GetLogFolder(), m_dir);
    OV_LOG("disabled line %d", 1);

    log->m_bLogEnabled = true;
    EXPECT_TRUE(log->IsLogging());
    OV_LOG("enabled line %d %s", 2, "two");
    OV_LOG_AS("LiveMediaEndpoint", "named source");

    const std::vector<std::string> files = Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(m_dir + "/" + files[0], log->GetLogFile());
    const std::string text = ReadAll(log->GetLogFile());
    EXPECT_EQ(text.find("disabled line"), std::string::npos);
    EXPECT_NE(text.find("slogger_test.cpp:"), std::string::npos) << text;
    EXPECT_NE(text.find("enabled line 2 two"), std::string::npos) << text;
    EXPECT_NE(text.find("LiveMediaEndpoint:"), std::string::npos) << text;
    // Time with milliseconds leads each line.
    EXPECT_TRUE(text.size() > 23 && text[4] == '-' && text[19] == '.') << text;
}

TEST_F(SloggerTest, LongArgumentsAreTruncatedNotOverrun) {
    slogger* log = slogger::Inst();
    log->InitLogInfoPath(m_dir);
    log->m_bLogEnabled = true;
    const std::string huge(100000, 'q');
    OV_LOG("start %s %s end", huge.c_str(), huge.c_str());
    const std::string text = ReadAll(log->GetLogFile());
    const size_t first = text.find('q');
    ASSERT_NE(first, std::string::npos);
    const size_t run = text.find_first_not_of('q', first) - first;
    EXPECT_LT(run, static_cast<size_t>(Orvane::Common::kLogLineSize));
    EXPECT_GT(run, 1900u);
    EXPECT_EQ(text.find(" end"), std::string::npos);
}

TEST_F(SloggerTest, NoLoggerNoFolderAndReleaseThenInstAgain) {
    // Without a logger nothing happens and nothing crashes.
    slogger::Release();
    OV_LOG("nobody listens %d", 3);
    EXPECT_FALSE(Orvane::Common::LogEnabled());

    // Enabled but without a folder: lines are dropped.
    slogger* log = slogger::Inst();
    log->m_bLogEnabled = true;
    OV_LOG("dropped");
    EXPECT_TRUE(Files().empty());

    slogger::Release();
    slogger* again = slogger::Inst();
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(again->IsLogging());  // a new logger starts switched off
    again->InitLogInfoPath(m_dir);
    again->m_bLogEnabled = true;
    OV_LOG("after release");
    EXPECT_NE(ReadAll(again->GetLogFile()).find("after release"), std::string::npos);
}
