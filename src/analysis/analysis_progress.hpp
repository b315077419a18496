#pragma once

#include <functional>
#include <mutex>

namespace corvel::analysis {

// How far one analysis has got, told to whoever asked for it: a fraction 0 ... 1 that only
// rises. The stages report their own share as they go; any of the analysis's threads may
// report, and the listener is called by one of them at a time.
class ORVAnalysisProgress {
public:
    using Listener = std::function<void(double)>;

    explicit ORVAnalysisProgress(Listener listener = {}) : listener_(std::move(listener)) {}
    ORVAnalysisProgress(const ORVAnalysisProgress&) = delete;
    ORVAnalysisProgress& operator=(const ORVAnalysisProgress&) = delete;

    // The whole analysis is this fraction done; a value below one already told, or less than
    // a step above it (short of completion), tells nothing.
    void report(double fraction);

private:
    static constexpr double kStep = 0.005;
    Listener listener_;
    std::mutex mutex_;
    double told_ = 0;
};

// One stage's stretch from..to of the whole analysis: the stage reports its own fraction done.
// An empty span (no progress) ignores every report.
struct ORVProgressSpan {
    ORVAnalysisProgress* progress = nullptr;
    double from = 0;
    double to = 1;

    void report(double stageFraction) const;
    // The stretch of this one that a part of the stage covers (both 0 ... 1 of this span).
    ORVProgressSpan part(double partFrom, double partTo) const;
};

}  // namespace corvel::analysis
