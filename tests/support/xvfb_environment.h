// A gtest environment that runs one Xvfb display for the whole test program and points
// $DISPLAY at it (code that connects to $DISPLAY once, such as a plug-in, sees the same
// display in every test). Header-only, as it needs gtest, which the fixtures library does not
// link.
//
// Threads: gtest calls SetUp and TearDown on the main thread; xvfb() is read by the tests.
#pragma once

#include "support/peers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace testsupport {

class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_xvfb.reset(new XvfbDisplay());
        if (!m_xvfb->Start(false)) {
            m_xvfb.reset();
            return;
        }
        setenv("DISPLAY", m_xvfb->display().c_str(), 1);
    }
    void TearDown() override { m_xvfb.reset(); }
    // The running display, or null when Xvfb did not start.
    XvfbDisplay* xvfb() const { return m_xvfb.get(); }

private:
    std::unique_ptr<XvfbDisplay> m_xvfb;
};

// Registers the environment with gtest (which owns it) and returns it; call it once, at
// namespace scope, before main runs the tests.
inline XvfbEnvironment* AddXvfbEnvironment() {
    auto* env = new XvfbEnvironment();
    ::testing::AddGlobalTestEnvironment(env);
    return env;
}

}  // namespace testsupport
