#pragma once

#include <cstddef>
#include <functional>

namespace corvel::analysis {

// The worker threads of one analysis: its parallel stages hand their independent pieces
// (analysis windows, envelopes) to forEachIndex. Each piece writes only its own result slot,
// so the results are the same whatever the number of threads. Nothing is shared between
// pools, so analyses running at the same time keep to themselves.
class ORVWorkerPool {
public:
    // threadCount 0: one thread per hardware thread.
    explicit ORVWorkerPool(std::size_t threadCount = 0);

    std::size_t threadCount() const { return threadCount_; }

    // Calls work(i) once for every i in 0 ... count - 1, spread over the calling thread and up
    // to threadCount - 1 workers started for the call, in no particular order; returns when
    // every call has returned. When a call throws, the pieces not yet begun are skipped and the
    // first exception is rethrown here.
    void forEachIndex(std::size_t count, const std::function<void(std::size_t)>& work) const;

    // One thread per hardware thread (at least 1).
    static std::size_t hardwareThreads();

private:
    std::size_t threadCount_;
};

}  // namespace corvel::analysis
