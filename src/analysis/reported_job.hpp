#pragma once

#include <exception>
#include <system_error>
#include <utility>
#include <variant>

#include "common/error.hpp"
#include "platform/background_runner.hpp"
#include "platform/main_loop.hpp"

namespace corvel::analysis {

// Failures that are no error value of ours still reach the caller as one, never as a crash of
// the worker thread.
inline constexpr const char* kStandardLibraryErrorDomain = "C++";

// The work's value, or what it threw as an error value.
template <class Value, class Work>
std::variant<Value, Error> outcomeOf(Work&& work) {
    try {
        return work();
    } catch (const ErrorException& e) {
        return e.error();
    } catch (const std::system_error& e) {
        return Error{kPosixErrorDomain, e.code().value(), e.what()};
    } catch (const std::exception& e) {
        return Error{kStandardLibraryErrorDomain, 0, e.what()};
    }
}

// Runs the work on the runner and hands its outcome to the completion on the main loop. The
// runner and the loop must outlive the job.
template <class Value, class Work, class Completion>
void runAndReport(platform::BackgroundRunner& runner, platform::MainLoop& mainLoop, Work work,
                  Completion completion) {
    runner.run([&mainLoop, work = std::move(work), completion = std::move(completion)]() mutable {
        mainLoop.post([completion = std::move(completion), outcome = outcomeOf<Value>(work)]() mutable {
            completion(std::move(outcome));
        });
    });
}

}  // namespace corvel::analysis
