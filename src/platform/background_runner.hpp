#pragma once

#include <functional>

namespace corvel::platform {

// Long work off the main thread, as the logic sees it. The application runs jobs on a pool
// of worker threads; tests run them by hand. A job reports back by posting to the main loop.
class BackgroundRunner {
public:
    using Job = std::function<void()>;

    virtual ~BackgroundRunner() = default;

    // Runs the job soon on a thread that is not the main thread. Jobs may run at the same time
    // as each other, in any order. Any thread may submit; a job must not throw.
    virtual void run(Job job) = 0;
};

}  // namespace corvel::platform
