#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/background_runner.hpp"

namespace corvel::testing {

// A background runner that a test drives by hand: submitted jobs wait until the test runs
// them, on the test's own thread, in the order they came.
class ManualBackgroundRunner final : public platform::BackgroundRunner {
public:
    void run(Job job) override {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(job));
    }

    // Runs waiting jobs until none is left (jobs submitted by them included); returns how many ran.
    std::size_t runPendingJobs() {
        std::size_t count = 0;
        while (auto job = take()) {
            (*job)();
            ++count;
        }
        return count;
    }

    std::size_t pendingJobCount() const {
        std::lock_guard lock(mutex_);
        return pending_.size();
    }

private:
    std::optional<Job> take() {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) return std::nullopt;
        Job job = std::move(pending_.front());
        pending_.pop_front();
        return job;
    }

    mutable std::mutex mutex_;
    std::deque<Job> pending_;
};

}  // namespace corvel::testing
