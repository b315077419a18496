#include "analysis/worker_pool.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace corvel::analysis {
namespace {

TEST(WorkerPool, EveryIndexRunsOnceWhateverTheThreadCount) {
    for (const std::size_t threads : {1u, 3u, 16u}) {
        const ORVWorkerPool pool(threads);
        EXPECT_EQ(pool.threadCount(), threads);
        std::vector<std::atomic<int>> visits(100);
        pool.forEachIndex(visits.size(), [&visits](std::size_t i) { visits[i].fetch_add(1); });
        for (std::size_t i = 0; i < visits.size(); ++i) EXPECT_EQ(visits[i].load(), 1) << threads << " threads, " << i;
        pool.forEachIndex(0, [](std::size_t) { FAIL() << "no index to run"; });
    }
    EXPECT_EQ(ORVWorkerPool().threadCount(), ORVWorkerPool::hardwareThreads());
    EXPECT_GE(ORVWorkerPool::hardwareThreads(), 1u);
}

TEST(WorkerPool, AThrowingPieceStopsTheRestAndReachesTheCaller) {
    const ORVWorkerPool pool(4);
    std::atomic<int> begun{0};
    std::atomic<bool> thrown{false};
    // The other pieces go on only after the first has thrown, and each takes a millisecond: a
    // thread held up between the throw and the pool's stop would have to stall for seconds
    // before every piece had begun.
    EXPECT_THROW(pool.forEachIndex(10000,
                                   [&](std::size_t i) {
                                       begun.fetch_add(1);
                                       if (i == 0) {
                                           thrown = true;
                                           throw std::runtime_error("first piece");
                                       }
                                       while (!thrown) std::this_thread::yield();
                                       std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                   }),
                 std::runtime_error);
    EXPECT_LT(begun.load(), 10000);
}

}  // namespace
}  // namespace corvel::analysis
