#pragma once

#include <memory>

#include "platform/background_runner.hpp"

class QThreadPool;

namespace corvel::app {

// Background jobs on a pool of worker threads of our own. Destroying the runner waits for the
// jobs that are running or queued, so none outlives what it reports back to.
class QtBackgroundRunner final : public platform::BackgroundRunner {
public:
    QtBackgroundRunner();
    ~QtBackgroundRunner() override;
    QtBackgroundRunner(const QtBackgroundRunner&) = delete;
    QtBackgroundRunner& operator=(const QtBackgroundRunner&) = delete;

    void run(Job job) override;

private:
    std::unique_ptr<QThreadPool> pool_;
};

}  // namespace corvel::app
