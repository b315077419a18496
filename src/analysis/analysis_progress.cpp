#include "analysis/analysis_progress.hpp"

#include <algorithm>

namespace corvel::analysis {

void ORVAnalysisProgress::report(double fraction) {
    if (!listener_ || !(fraction >= 0)) return;  // NaN tells nothing
    fraction = std::min(fraction, 1.0);
    const std::lock_guard lock(mutex_);
    if (fraction <= told_ || (fraction < 1.0 && fraction < told_ + kStep)) return;
    told_ = fraction;
    listener_(fraction);
}

void ORVProgressSpan::report(double stageFraction) const {
    if (!progress) return;
    progress->report(from + (to - from) * std::clamp(stageFraction, 0.0, 1.0));
}

ORVProgressSpan ORVProgressSpan::part(double partFrom, double partTo) const {
    return {progress, from + (to - from) * partFrom, from + (to - from) * partTo};
}

}  // namespace corvel::analysis
