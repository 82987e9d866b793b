// The fixtures themselves: each peer comes up, does its job and goes away.
#include "support/peers.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(Peers, NginxRecordsWhatIsPublishedAndLogsTheType) {
    NginxRtmp server;
    ASSERT_TRUE(server.Start()) << ReadFile(server.ErrorLog());
    int st = -1;
    RunCapture({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10", "-t", "1",
                "-c:v", "libx264", "-f", "flv", server.Url("probe")},
               60000, &st);
    EXPECT_EQ(st, 0);
    server.Stop();
    EXPECT_FALSE(server.Running());
    const std::string streams = RunCapture({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name",
                                            "-of", "csv=p=0", server.Recording("probe")});
    EXPECT_EQ(streams, "h264\n");
    EXPECT_NE(ReadFile(server.ErrorLog()).find("name='probe'"), std::string::npos);

    // Starts again on the same port.
    ASSERT_TRUE(server.Start());
}

TEST(Peers, XvfbWithWindowManager) {
    XvfbDisplay x;
    ASSERT_TRUE(x.Start(true));
    int st = -1;
    const std::string out = RunCapture({"xprop", "-root", "-display", x.display(), "_NET_SUPPORTED"}, 10000, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NE(out.find("_NET_CLIENT_LIST_STACKING"), std::string::npos);
}
