#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/uuid.hpp"
#include "core/raw_enum.hpp"
#include "core/tempo_map_records.hpp"

// Grid Fit: one straight line, seconds = interceptSeconds + secondsPerQuarter x quarter,
// fitted robustly through the beat lines the user (or the analyser) placed on transients,
// with every anchor graded by how far it lies off the line.
namespace corvel::BeatloomGridFitter {

enum class AnchorStatus { good, questionable, outlier };

struct AnchorEvaluation {
    Uuid anchorID;
    double residualSeconds = 0;  // positive when the transient comes after the line
    double robustWeight = 0;     // prior weight times Huber factor of the last iteration
    AnchorStatus status = AnchorStatus::good;
    friend bool operator==(const AnchorEvaluation&, const AnchorEvaluation&) = default;
};

struct Fit {
    double bpm = 0;
    double secondsPerQuarter = 0;
    double interceptSeconds = 0;   // time of quarter position 0
    double rmsErrorSeconds = 0;    // over the anchors that are not outliers
    double maxErrorSeconds = 0;    // over all anchors
    double robustScaleSeconds = 0; // at least 0.0015
    std::int64_t anchorCount = 0;
    std::int64_t inlierCount = 0;
    std::int64_t outlierCount = 0;
    std::vector<AnchorEvaluation> evaluations;  // one per prepared anchor, in prepared order
    friend bool operator==(const Fit&, const Fit&) = default;
};

struct Line {
    double interceptSeconds = 0;
    double secondsPerQuarter = 0;
    friend bool operator==(const Line&, const Line&) = default;
};

// Tempo range a fit must land in, inclusive.
inline constexpr double kMinimumBPM = 30;
inline constexpr double kMaximumBPM = 300;

// The fitted line with the grade of every anchor, or nothing when no sound line exists
// (fewer than two usable anchors, no rising line, a degenerate weighting or a tempo outside
// 30 to 300 BPM).
std::optional<Fit> fit(const std::vector<BeatloomGridFitAnchor>& anchors);

// The anchors that take part, in fitting order: finite positions at finite, non-negative times,
// sorted by quarter position (ties within 1e-9 by time), one per position: the later one wins
// unless only the earlier one is locked.
std::vector<BeatloomGridFitAnchor> preparedAnchors(const std::vector<BeatloomGridFitAnchor>& anchors);

// 0 for an empty list, else the middle value (mean of the two middle ones for an even count).
// NaN values sort last.
double median(std::vector<double> values);

// Median of the positive finite pairwise slopes, in seconds per quarter.
std::optional<double> theilSenSlope(const std::vector<BeatloomGridFitAnchor>& prepared);

// Ordinary least-squares slope of time over quarter; its sign is not checked.
std::optional<double> fallbackSlope(const std::vector<BeatloomGridFitAnchor>& prepared);

// Weighted least-squares line; nothing for mismatched or empty lists, a total weight or a
// weighted quarter spread of 1e-12 or less.
std::optional<Line> weightedLineFit(const std::vector<BeatloomGridFitAnchor>& prepared,
                                    const std::vector<double>& weights);

}  // namespace corvel::BeatloomGridFitter

namespace corvel {

template <>
struct RawEnumCases<BeatloomGridFitter::AnchorStatus> {
    static constexpr std::array<std::pair<BeatloomGridFitter::AnchorStatus, std::string_view>, 3> cases{{
        {BeatloomGridFitter::AnchorStatus::good, "good"},
        {BeatloomGridFitter::AnchorStatus::questionable, "questionable"},
        {BeatloomGridFitter::AnchorStatus::outlier, "outlier"},
    }};
};

}  // namespace corvel
