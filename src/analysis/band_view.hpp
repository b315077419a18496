#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "analysis/music_analyzer.hpp"

namespace corvel::analysis {

// One split band's onset strengths: the unnormalised ones when the features hold them, else
// the normalised envelope; neither when both are missing (not usable).
class BandView {
public:
    BandView(const ORVAudioFeatureSet& features, std::size_t band)
        : strengths_(features.bandOnsetStrengths[band]), envelope_(features.featureEnvelopes[band + 1]) {
        const std::size_t n = features.consensusEnvelope.size();
        if (strengths_.size() != n) strengths_ = {};
        if (envelope_.size() != n) envelope_ = {};
    }
    bool usable() const { return !strengths_.empty() || !envelope_.empty(); }
    double operator[](std::int64_t i) const {
        const auto k = static_cast<std::size_t>(i);
        return strengths_.empty() ? envelope_[k] : static_cast<double>(strengths_[k]);
    }
    // Largest value of frames c - h ... c + h clipped to begin ... end - 1; 0 as the floor.
    double peakNear(std::int64_t c, std::int64_t h, std::int64_t begin, std::int64_t end) const {
        const std::int64_t lo = std::max(c - h, begin);
        const std::int64_t hi = std::min(c + h, end - 1);
        double best = 0;
        for (std::int64_t i = lo; i <= hi; ++i) best = std::max(best, (*this)[i]);
        return best;
    }
    double mean(std::int64_t begin, std::int64_t end) const {
        if (end <= begin) return 0;
        double sum = 0;
        for (std::int64_t i = begin; i < end; ++i) sum += (*this)[i];
        return sum / static_cast<double>(end - begin);
    }

private:
    std::span<const float> strengths_;
    std::span<const double> envelope_;
};

}  // namespace corvel::analysis
