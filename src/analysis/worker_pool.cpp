#include "analysis/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace corvel::analysis {

ORVWorkerPool::ORVWorkerPool(std::size_t threadCount)
    : threadCount_(threadCount == 0 ? hardwareThreads() : threadCount) {}

std::size_t ORVWorkerPool::hardwareThreads() { return std::max<std::size_t>(std::thread::hardware_concurrency(), 1); }

void ORVWorkerPool::forEachIndex(std::size_t count, const std::function<void(std::size_t)>& work) const {
    if (count == 0) return;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorMutex;
    const auto drain = [&] {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= count) return;
            try {
                work(index);
            } catch (...) {
                const std::lock_guard lock(errorMutex);
                if (!firstError) firstError = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    {
        std::vector<std::jthread> workers;
        const std::size_t helpers = std::min(threadCount_, count) - 1;
        workers.reserve(helpers);
        for (std::size_t i = 0; i < helpers; ++i) workers.emplace_back(drain);
        drain();
    }  // joins the workers
    if (firstError) std::rethrow_exception(firstError);
}

}  // namespace corvel::analysis
