#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/main_loop.hpp"

namespace corvel::testing {

// A main loop that a test drives by hand: time stands still until advance() moves it, due
// timers fire in time order (earlier started first on ties) and posted tasks run after each
// firing, as a real loop runs them before its next timer.
class ManualMainLoop final : public platform::MainLoop {
public:
    void post(Task task) override {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(task));
    }

    TimerId startRepeatingTimer(Duration interval, Tick tick) override {
        return add(interval, Timer{normalised(interval), std::move(tick), nullptr});
    }

    TimerId startOneShotTimer(Duration delay, Task fire) override {
        return add(delay, Timer{Duration::zero(), nullptr, std::move(fire)});
    }

    void cancelTimer(TimerId timer) override {
        for (auto it = due_.begin(); it != due_.end(); ++it) {
            if (it->second == timer) {
                due_.erase(it);
                break;
            }
        }
        timers_.erase(timer);
    }

    // Runs posted tasks until none is left (tasks posted by them included); returns how many ran.
    std::size_t runPostedTasks() {
        std::size_t count = 0;
        while (auto task = takePosted()) {
            (*task)();
            ++count;
        }
        return count;
    }

    // Moves time forward by `step`, firing every timer that falls due on the way at its own time.
    void advance(Duration step) {
        const Duration target = now_ + step;
        runPostedTasks();
        while (!due_.empty() && due_.begin()->first.first <= target) {
            const auto [key, id] = *due_.begin();
            due_.erase(due_.begin());
            now_ = key.first;
            fire(id);
            runPostedTasks();
        }
        now_ = target;
    }
    void advanceSeconds(double seconds) { advance(platform::durationFromSeconds(seconds)); }

    Duration now() const { return now_; }
    std::size_t runningTimerCount() const { return timers_.size(); }
    // When the next timer falls due, measured from now.
    std::optional<Duration> nextTimerIn() const {
        if (due_.empty()) return std::nullopt;
        return due_.begin()->first.first - now_;
    }

private:
    struct Timer {
        Duration interval;  // zero for a one-shot timer
        Tick tick;
        Task fire;
    };
    // Due time, then start order, so ties fire in the order the timers were started.
    using DueKey = std::pair<Duration, std::uint64_t>;

    static Duration normalised(Duration d) { return d > Duration::zero() ? d : Duration(1); }

    TimerId add(Duration delay, Timer timer) {
        const TimerId id = nextId_++;
        timers_.emplace(id, std::move(timer));
        due_.emplace(DueKey{now_ + normalised(delay), nextOrder_++}, id);
        return id;
    }

    void fire(TimerId id) {
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        if (it->second.fire) {
            Task task = std::move(it->second.fire);
            timers_.erase(it);
            task();
            return;
        }
        // Copy the tick: it may cancel its own timer while it runs.
        Tick tick = it->second.tick;
        const Duration interval = it->second.interval;
        const bool keep = tick();
        if (!keep) {
            timers_.erase(id);
        } else if (timers_.count(id) != 0) {
            due_.emplace(DueKey{now_ + interval, nextOrder_++}, id);
        }
    }

    std::optional<Task> takePosted() {
        std::lock_guard lock(postedMutex_);
        if (posted_.empty()) return std::nullopt;
        Task task = std::move(posted_.front());
        posted_.pop_front();
        return task;
    }

    Duration now_ = Duration::zero();
    TimerId nextId_ = 1;
    std::uint64_t nextOrder_ = 0;
    std::map<TimerId, Timer> timers_;
    std::map<DueKey, TimerId> due_;
    std::mutex postedMutex_;
    std::deque<Task> posted_;
};

}  // namespace corvel::testing
