#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace corvel::platform {

// The main thread's event loop as the logic sees it: tasks posted to it and timers on it.
// The application implements it on its event loop; tests drive a manual one by hand.
class MainLoop {
public:
    using Task = std::function<void()>;
    // Called on each tick of a repeating timer; returning false ends the timer.
    using Tick = std::function<bool()>;
    using Duration = std::chrono::nanoseconds;

    // Names a timer for cancelTimer; 0 never names one.
    using TimerId = std::uint64_t;

    virtual ~MainLoop() = default;

    // Runs the task on the main thread soon, after the tasks posted before it. Any thread may post.
    virtual void post(Task task) = 0;

    // The timers below are started and cancelled on the main thread and fire on it.
    // A non-positive interval or delay counts as the shortest one the loop knows.

    // Calls `tick` every interval until it returns false or the timer is cancelled.
    virtual TimerId startRepeatingTimer(Duration interval, Tick tick) = 0;
    // Calls `fire` once after the delay unless the timer is cancelled first.
    virtual TimerId startOneShotTimer(Duration delay, Task fire) = 0;
    // Ends a timer; an id that names no running timer (0, fired, cancelled) is ignored.
    virtual void cancelTimer(TimerId timer) = 0;
};

// Seconds as a main-loop duration, rounded to the nearest nanosecond; NaN and negative
// values give 0, huge ones the longest duration.
MainLoop::Duration durationFromSeconds(double seconds);

}  // namespace corvel::platform
