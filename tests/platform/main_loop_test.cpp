#include "platform/main_loop.hpp"

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/manual_main_loop.hpp"

namespace corvel::platform {
namespace {

using namespace std::chrono_literals;
using corvel::testing::ManualMainLoop;

TEST(MainLoop, SecondsBecomeDurationsWithoutOverflow) {
    EXPECT_EQ(durationFromSeconds(1.0 / 30.0), 33'333'333ns);
    EXPECT_EQ(durationFromSeconds(0.15), 150ms);
    EXPECT_EQ(durationFromSeconds(-1), 0ns);
    EXPECT_EQ(durationFromSeconds(std::numeric_limits<double>::quiet_NaN()), 0ns);
    EXPECT_EQ(durationFromSeconds(1e300), MainLoop::Duration::max());
}

// The hand-driven loop stands in for the application's event loop in every test that uses
// timers, so it must keep a real loop's order.
TEST(ManualMainLoop, FiresDueTimersInTimeOrderAndRunsPostedTasksAfterEachFiring) {
    ManualMainLoop loop;
    std::vector<std::string> log;
    int ticks = 0;
    loop.startRepeatingTimer(100ms, [&] {
        log.push_back("tick " + std::to_string(++ticks));
        loop.post([&] { log.push_back("task"); });
        return ticks < 3;  // ends itself on the third tick
    });
    const auto once = loop.startOneShotTimer(150ms, [&] { log.push_back("once"); });
    const auto cancelled = loop.startOneShotTimer(120ms, [&] { log.push_back("cancelled"); });
    loop.cancelTimer(cancelled);
    loop.cancelTimer(0);  // names no timer

    loop.advance(99ms);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(loop.nextTimerIn(), 1ms);
    loop.advance(1s);
    EXPECT_EQ(log, (std::vector<std::string>{"tick 1", "task", "once", "tick 2", "task", "tick 3", "task"}));
    EXPECT_EQ(loop.runningTimerCount(), 0u);
    loop.cancelTimer(once);  // fired already: ignored
    EXPECT_EQ(loop.now(), 1099ms);
}

TEST(ManualMainLoop, TimerMayCancelItselfOrAnotherWhileFiring) {
    ManualMainLoop loop;
    int ticks = 0;
    MainLoop::TimerId self = 0;
    const auto other = loop.startOneShotTimer(50ms, [] { ADD_FAILURE() << "cancelled timer fired"; });
    self = loop.startRepeatingTimer(10ms, [&] {
        ++ticks;
        loop.cancelTimer(self);
        loop.cancelTimer(other);
        return true;
    });
    loop.advance(1s);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(loop.runningTimerCount(), 0u);
}

}  // namespace
}  // namespace corvel::platform
