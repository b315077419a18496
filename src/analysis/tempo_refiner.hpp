#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/beat_grid.hpp"
#include "common/numeric.hpp"

namespace corvel::analysis::SetwrightMusicTempoRefiner {

// Measures the exact beat period and phase of a tempo the analyser already believes in. A line
// through the onset peaks of an envelope (beat number against peak frame) says whether the
// song holds one grid; the period of a song that does is where the envelope's beat harmonics
// peak. Frames are envelope frames; seconds = frames x hopSeconds. Pure functions.

struct FitPoint {
    double beatIndex = 0;  // ordinal on the trial grid, counted over matched and unmatched beats
    double peakFrame = 0;  // frame of the onset peak matched to that beat
};

struct LinearFit {
    double intercept = 0;  // peak frame of beat 0
    double slope = 0;      // frames per beat
    std::vector<FitPoint> points;  // survivors of the outlier rejection, in input order
    double medianResidualFrames = 0;
    double percentile95ResidualFrames = 0;
};

struct Refinement {
    double bpm = 0;
    ORVBeatGrid grid;        // in frames, its beat in [0, period)
    double confidence = 0;   // 0...1
    double gridScore = 0;    // 0...1
};

// The refined tempo, or none when the envelope or the fit doesn't support one.
std::optional<Refinement> refine(std::span<const double> envelope, double hopSeconds, double bpm,
                                 double searchRadiusBPM, double minimumStep);

// The element at index round((n - 1) x q) (half away from zero, clamped) of the values
// sorted ascending; 0 for no values. NaN values sort last.
double percentile(std::span<const double> values, double q);

// Building blocks of refine, open for tests.
// Local maxima at or above max(80th percentile, lowestThreshold), ascending; each frame of a
// plateau counts.
std::vector<std::int64_t> peakFrames(std::span<const double> envelope, double lowestThreshold = 0.1);
// The grid of the period, its beat within the first period, whose beats the peaks meet most
// often and most closely; none when too few beats are met.
std::optional<ORVBeatGrid> bestPhaseGrid(std::span<const std::int64_t> peaks, std::span<const double> envelope,
                                         double periodFrames);
using LineParameters = LeastSquaresLine;
std::optional<LineParameters> leastSquaresFit(std::span<const FitPoint> points);
std::optional<LinearFit> robustLinearFit(std::span<const FitPoint> points);
// The beats of the grid (in frames, from its beat on) below frameCount.
std::int64_t beatCount(std::int64_t frameCount, const ORVBeatGrid& grid);
std::optional<std::int64_t> nearestPeak(std::span<const std::int64_t> peaks, double position);
double gridAgreement(std::span<const FitPoint> points, const ORVBeatGrid& grid, double scale, double tolerance);

}  // namespace corvel::analysis::SetwrightMusicTempoRefiner
