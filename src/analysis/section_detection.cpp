#include "analysis/section_detection.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "analysis/onset_measures.hpp"
#include "analysis/tracking_tuning.hpp"
#include "common/numeric.hpp"

namespace corvel::analysis {

namespace {

using Observation = ORVLocalTempoObservation;

constexpr double kMinimumConfidence = 0.24;
// A different tempo has to hold this long (and for 3 observations) to start a section.
constexpr double kPersistSeconds = 2.75;
constexpr std::size_t kPersistObservations = 3;
// A section must last longer than this, else the new tempo joins the running one.
constexpr double kShortestSectionSeconds = 0.5;

bool usable(const Observation& o) {
    return std::isfinite(o.centerSeconds) && std::isfinite(o.bpm) && o.bpm > 0 && o.confidence >= kMinimumConfidence;
}

// The confidence-weighted median tempo; weak windows still weigh a little.
double runCentre(std::span<const Observation> run) {
    std::vector<ORVWeightedValue> pairs;
    pairs.reserve(run.size());
    for (const auto& o : run) pairs.push_back({o.bpm, std::fmax(o.confidence, 0.05)});
    return ORVAnalyzerOnsetMeasures::weightedMedian(pairs);
}

// Middle of three values, NaN ranked above every number so the choice is always defined.
double medianOfThree(double a, double b, double c) {
    std::array<double, 3> values{a, b, c};
    std::sort(values.begin(), values.end(), [](double x, double y) {
        if (std::isnan(x)) return false;
        if (std::isnan(y)) return true;
        return x < y;
    });
    return values[1];
}

}  // namespace

bool ORVAnalyzerSectionDetection::sectionTemposMatch(double a, double b) {
    const double faster = std::max(a, b);
    return std::abs(a - b) <= std::max(faster * 0.018, 2.25);
}

std::vector<ORVLocalTempoObservation> ORVAnalyzerSectionDetection::smoothObservations(
    std::span<const ORVLocalTempoObservation> observations) {
    std::vector<Observation> smoothed(observations.begin(), observations.end());
    if (observations.size() < 3) return smoothed;
    for (std::size_t i = 1; i + 1 < observations.size(); ++i) {
        const auto& before = observations[i - 1];
        const auto& here = observations[i];
        const auto& after = observations[i + 1];
        smoothed[i].bpm = medianOfThree(before.bpm, here.bpm, after.bpm);
        smoothed[i].confidence = medianOfThree(before.confidence, here.confidence, after.confidence);
    }
    return smoothed;
}

ORVDetectedTempoSection ORVAnalyzerSectionDetection::makeSection(std::span<const ORVLocalTempoObservation> run,
                                                                 double startSeconds, double endSeconds) {
    ORVDetectedTempoSection section;
    section.startSeconds = std::fmax(startSeconds, 0.0);
    // Measured from the clamped start, so a section never ends before it starts.
    section.endSeconds = std::fmax(endSeconds, section.startSeconds);
    section.observationCount = static_cast<std::int64_t>(run.size());
    if (run.empty()) return section;
    section.bpm = ORVAnalyzerTempoRelations::roundedTempo(runCentre(run));
    double sum = 0;
    for (const auto& o : run) sum += o.confidence;
    section.confidence = clampOr(sum / static_cast<double>(run.size()), 0.0, 1.0, 0.0);
    return section;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerSectionDetection::mergeAdjacentSections(
    std::span<const ORVDetectedTempoSection> sections) {
    std::vector<ORVDetectedTempoSection> merged;
    if (sections.empty()) return merged;
    ORVDetectedTempoSection current = sections.front();
    for (const auto& s : sections.subspan(1)) {
        // A ramp is no constant tempo to fold into, nor to fold another into.
        if (!sectionTemposMatch(current.bpm, s.bpm) || current.linearToNext || s.linearToNext) {
            merged.push_back(current);
            current = s;
            continue;
        }
        const std::int64_t n = std::max<std::int64_t>(current.observationCount + s.observationCount, 1);
        const auto currentCount = static_cast<double>(current.observationCount);
        const auto nextCount = static_cast<double>(s.observationCount);
        const auto total = static_cast<double>(n);
        current.bpm = ORVAnalyzerTempoRelations::roundedTempo((current.bpm * currentCount + s.bpm * nextCount) / total);
        current.confidence = (current.confidence * currentCount + s.confidence * nextCount) / total;
        current.endSeconds = std::fmax(current.endSeconds, s.endSeconds);
        current.observationCount = n;
    }
    merged.push_back(current);
    return merged;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerSectionDetection::detectSections(
    std::span<const ORVLocalTempoObservation> observations, double audioStartSeconds, double durationSeconds) {
    std::vector<Observation> usableObservations;
    for (const auto& o : observations) {
        if (usable(o)) usableObservations.push_back(o);
    }
    if (usableObservations.empty()) return {};
    std::stable_sort(usableObservations.begin(), usableObservations.end(),
                     [](const Observation& a, const Observation& b) { return a.centerSeconds < b.centerSeconds; });
    const auto smoothed = smoothObservations(usableObservations);

    std::vector<ORVDetectedTempoSection> sections;
    // A start that is not a number counts as the start of the audio.
    double sectionStart = std::fmax(audioStartSeconds, 0.0);
    std::vector<Observation> run{smoothed.front()};
    std::vector<Observation> pending;

    for (const auto& o : std::span<const Observation>(smoothed).subspan(1)) {
        if (sectionTemposMatch(o.bpm, runCentre(run))) {
            // A detour that didn't last leaves no trace.
            pending.clear();
            run.push_back(o);
        } else if (pending.empty() || !sectionTemposMatch(o.bpm, runCentre(pending))) {
            pending = {o};
        } else {
            pending.push_back(o);
            if (pending.size() < kPersistObservations ||
                !(o.centerSeconds - pending.front().centerSeconds >= kPersistSeconds)) {
                continue;
            }
            const double lastRunTime = run.empty() ? sectionStart : run.back().centerSeconds;
            double boundary = (pending.front().centerSeconds + lastRunTime) / 2;
            boundary = std::fmax(std::fmin(boundary, durationSeconds), sectionStart);
            if (boundary > sectionStart + kShortestSectionSeconds) {
                sections.push_back(makeSection(run, sectionStart, boundary));
                run = std::move(pending);
                sectionStart = boundary;
            } else {
                run.insert(run.end(), pending.begin(), pending.end());
            }
            pending.clear();
        }
    }
    for (const auto& o : pending) {
        if (sectionTemposMatch(o.bpm, runCentre(run))) run.push_back(o);
    }
    sections.push_back(makeSection(run, sectionStart, std::fmax(durationSeconds, sectionStart)));
    return mergeAdjacentSections(sections);
}

}  // namespace corvel::analysis
