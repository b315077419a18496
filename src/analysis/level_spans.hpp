#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "analysis/music_analyzer.hpp"
#include "analysis/section_detection.hpp"
#include "common/numeric.hpp"

namespace corvel::analysis {

// Frames of a section (or of the whole span) at its tempo, clipped to the envelopes.
struct LevelSpan {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    double bpm = 0;
};

// Whether a ramp's frames are read at its start tempo when the map holds no steady section, or
// never (its beats drift off a grid of any one tempo).
enum class RampReading { whenNothingSteady, never };

// The frames of each usable section at its tempo, ramps as `ramps` says; a map whose first
// section starts late reads the song from its start at the first tempo. The whole span at
// `bpm` when no section is read.
inline std::vector<LevelSpan> levelSpans(const ORVAudioFeatureSet& features,
                                         std::span<const ORVDetectedTempoSection> sections, double bpm,
                                         RampReading ramps) {
    std::vector<LevelSpan> spans;
    const bool steadyPart = std::any_of(sections.begin(), sections.end(), [](const ORVDetectedTempoSection& s) {
        return !s.linearToNext && ORVAudioMusicAnalyzer::isUsableTempo(s.bpm) && s.endSeconds > s.startSeconds;
    });
    const bool rampsRead = ramps == RampReading::whenNothingSteady && !steadyPart;
    for (const auto& s : sections) {
        if (!ORVAudioMusicAnalyzer::isUsableTempo(s.bpm) || (s.linearToNext && !rampsRead)) continue;
        const auto [begin, end] = features.framesBetween(s.startSeconds, s.endSeconds);
        if (end > begin) spans.push_back({begin, end, s.bpm});
    }
    if (spans.empty()) return {{0, features.frameCount(), bpm}};
    if (spans.front().bpm == sections.front().bpm) spans.front().begin = 0;
    return spans;
}

// The span cut into windows of about `beats` beats of `periodFrames` each, a short remainder
// joining the last: each window is read with its own phase, so that a grid a fraction of a
// percent off the beat, which drifts through a whole beat over a song, still falls on the
// beats within a window.
inline std::vector<std::pair<std::int64_t, std::int64_t>> levelWindows(const LevelSpan& span, double beats,
                                                                        double periodFrames) {
    std::vector<std::pair<std::int64_t, std::int64_t>> windows;
    const std::int64_t w = std::max<std::int64_t>(roundedInt64(beats * periodFrames), 1);
    for (std::int64_t b = span.begin; b < span.end;) {
        const std::int64_t e = b + w + w / 2 < span.end ? b + w : span.end;
        windows.emplace_back(b, e);
        b = e;
    }
    return windows;
}

// Whether a span too quick for a grid at the factor (a beat under 2 frames) counts in
// spansGridFit with no fit, or not at all.
enum class QuickSpans { countAsUnfit, skip };

// How clearly grids at `factor` times the spans' tempi meet the onsets (gridFit), each span
// weighed by its frames; 0 when no span counts.
inline double spansGridFit(const ORVAudioFeatureSet& features, std::span<const LevelSpan> spans, double factor,
                           QuickSpans quick) {
    const double fs = features.frameSeconds;
    double sum = 0;
    double frames = 0;
    for (const LevelSpan& span : spans) {
        const double period = 60.0 / (fs * span.bpm * factor);
        if (quick == QuickSpans::skip && (!(period >= 2.0) || !std::isfinite(period))) continue;
        const auto length = static_cast<double>(span.end - span.begin);
        sum += ORVAudioMusicAnalyzer::gridFit(features, period, span.begin, span.end) * length;
        frames += length;
    }
    return frames > 0 ? sum / frames : 0.0;
}

}  // namespace corvel::analysis
