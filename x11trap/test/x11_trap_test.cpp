// The trap against a real Xvfb display: errors stay with their connection, and a server that
// goes away leaves every connection to it usable for failing calls, on every thread.
#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/process.h"
#include "x11trap/x11_trap.h"

#include <atomic>
#include <thread>

// After gtest: Xlib's macros (None, Bool, Status) would hit gtest's names.
#include <X11/Xlib.h>

namespace {

TEST(X11Trap, ErrorsStayWithTheirConnectionAndALostServerEndsNothing) {
    testsupport::XvfbDisplay xvfb;
    ASSERT_TRUE(xvfb.Start(false));
    Display* a = x11trap::Open(xvfb.display().c_str());
    Display* b = x11trap::Open(xvfb.display().c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    // A request on a window that does not exist: the error is a's, once, and b has none.
    XMapWindow(a, 0x7ffffff);
    EXPECT_EQ(x11trap::SyncError(a), BadWindow);
    EXPECT_EQ(x11trap::SyncError(a), 0);
    EXPECT_EQ(x11trap::SyncError(b), 0);
    EXPECT_TRUE(x11trap::Check(a));

    // One thread makes round trips on a until one fails: the server went away meanwhile.
    std::atomic<bool> failed{false};
    std::thread user([&] {
        XWindowAttributes attributes;
        while (XGetWindowAttributes(a, DefaultRootWindow(a), &attributes)) {
        }
        failed = true;
    });
    xvfb.Stop();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return failed.load(); }, 10000));
    user.join();
    EXPECT_TRUE(x11trap::Lost(a));
    EXPECT_EQ(x11trap::TakeError(a), x11trap::kConnectionLost);
    EXPECT_EQ(x11trap::TakeError(a), x11trap::kConnectionLost);

    // Another thread's calls on the lost connection fail at once instead of waiting for the
    // lock the first thread held when it met the loss; far more requests than Xlib's buffer
    // holds are dropped without harm.
    XWindowAttributes attributes;
    EXPECT_FALSE(XGetWindowAttributes(a, DefaultRootWindow(a), &attributes));
    for (int i = 0; i < 10000; ++i) XFillRectangle(a, DefaultRootWindow(a), DefaultGC(a, 0), i % 100, 0, 8, 8);
    EXPECT_EQ(x11trap::SyncError(a), x11trap::kConnectionLost);

    // b was idle: its socket tells before Xlib itself has met the end.
    EXPECT_FALSE(x11trap::Check(b));
    EXPECT_TRUE(x11trap::Lost(b));
    XSync(b, False);
    x11trap::Close(a);
    x11trap::Close(b);
}

}  // namespace
