#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extension/voduve_host.hpp"

namespace corvel::extension_test {

using Lines = std::vector<std::string>;

// A fresh copy of the extension, a fake VODUVE and a cursor over the log, per test.
class ExtensionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tryRemoveLog()) {
            GTEST_SKIP() << kLogPath << " belongs to another user and cannot be replaced; remove it to run this test";
        }
    }

    void TearDown() override {
        if (IsSkipped()) {
            return;
        }
        for (const std::string& f : host.faults) {
            ADD_FAILURE() << "host saw: " << f;
        }
        if (host.timer != nullptr) {
            extension.unload();
        }
        removeLog();
    }

    // Loads with every function present and skips the load lines.
    void loadExtension() {
        ASSERT_EQ(extension.load(host.record()), 1);
        ASSERT_NE(host.timer, nullptr);
        log.next();
        host.calls.clear();
    }

    // One timer call with the transport playing at pos; returns the new log lines.
    Lines playingTick(double pos) {
        host.playState = 1;
        host.position = pos;
        return tick();
    }

    Lines stoppedTick() {
        host.playState = 0;
        return tick();
    }

    Lines tick() {
        host.calls.clear();
        host.tick();
        return log.next();
    }

    // Loads, passes the first tick ("timer active") and starts tracking at pos.
    void trackFrom(double pos) {
        loadExtension();
        const Lines first = playingTick(pos);
        ASSERT_EQ(first.size(), 2u);
        EXPECT_EQ(first[0], "[CWS] timer active");
    }

    FakeVoduve host;
    LoadedExtension extension;
    LogCursor log;
};

}  // namespace corvel::extension_test
