#include "analysis/analysis_entry_points.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "analysis/music_analyzer.hpp"
#include "analysis/reported_job.hpp"
#include "core/tempo_points.hpp"

namespace corvel::analysis {

namespace {

constexpr double kShortestSelectionSeconds = 4.0;
constexpr double kShortestContextMarginSeconds = 12.0;
constexpr double kLongestContextMarginSeconds = 24.0;
constexpr std::size_t kResultCandidateLimit = 8;
// Section points for a reliable map of two or more sections, else one point with the
// measured tempo; times in span seconds.
std::vector<BeatloomTempoPoint> measuredTempoPoints(const ORVMusicTempoMeasurement& m) {
    if (m.tempoMapReliable && m.sections.size() >= 2) return ORVAnalyzerDriver::sectionTempoPoints(m.sections);
    BeatloomTempoPoint point;
    point.timeSeconds = 0;
    point.bpm = ORVAnalyzerDriver::editableTempo(m.bpm);
    point.confidence = m.confidence;
    point.linearToNext = false;
    return {point};
}

bool isVariableTempoMap(const ORVMusicTempoMeasurement& m) { return m.tempoMapReliable && m.sections.size() >= 2; }

}  // namespace

void ORVAnalyzerEntryPoints::analyzeFile(platform::BackgroundRunner& runner, platform::MainLoop& mainLoop,
                                         std::filesystem::path file, FileCompletion completion,
                                         ORVAnalysisProgress::Listener progress) {
    runAndReport<BeatloomResult>(
        runner, mainLoop,
        [file = std::move(file), control = ORVAnalysisControl{0, std::move(progress)}] {
            return analyzedFile(file, control);
        },
        std::move(completion));
}

void ORVAnalyzerEntryPoints::analyzeRange(platform::BackgroundRunner& runner, platform::MainLoop& mainLoop,
                                          std::filesystem::path file, double startSeconds, double endSeconds,
                                          double durationSeconds, RangeCompletion completion,
                                          ORVAnalysisProgress::Listener progress) {
    ORVRangeAnalysisSpans spans;
    try {
        spans = rangeAnalysisSpans(startSeconds, endSeconds, durationSeconds);
    } catch (const ErrorException& e) {
        mainLoop.post([completion = std::move(completion), error = e.error()] { completion(error); });
        return;
    }
    runAndReport<BeatloomRangeAnalysisResult>(
        runner, mainLoop,
        [file = std::move(file), spans, control = ORVAnalysisControl{0, std::move(progress)}] {
            return analyzedRange(file, spans, control);
        },
        std::move(completion));
}

ORVRangeAnalysisSpans ORVAnalyzerEntryPoints::rangeAnalysisSpans(double startSeconds, double endSeconds,
                                                                 double durationSeconds) {
    // Comparisons written so that NaN takes the fallback.
    const double duration = durationSeconds >= 0 ? durationSeconds : 0.0;
    const double lower = std::min(startSeconds >= 0 ? startSeconds : 0.0, duration);
    const double upper = std::min(endSeconds >= lower ? endSeconds : lower, duration);
    const double length = upper - lower;
    if (!(length >= kShortestSelectionSeconds)) {
        throwAnalysisError(kSelectionTooShortCode, kSelectionTooShortMessage);
    }
    const double margin = std::clamp(length / 2.0, kShortestContextMarginSeconds, kLongestContextMarginSeconds);
    const double contextStart = lower - margin < 0 ? 0.0 : lower - margin;
    const double contextEnd = upper + margin >= duration ? duration : upper + margin;
    return {BeatloomTimeRange{std::min(lower, upper), std::max(lower, upper)},
            BeatloomTimeRange{std::min(contextStart, contextEnd), std::max(contextStart, contextEnd)}};
}

BeatloomResult ORVAnalyzerEntryPoints::analyzedFile(const std::filesystem::path& file,
                                                    const ORVAnalysisControl& control) {
    return makeBeatloomResult(ORVAudioMusicAnalyzer::analyze(file, std::nullopt, control), file);
}

BeatloomRangeAnalysisResult ORVAnalyzerEntryPoints::analyzedRange(const std::filesystem::path& file,
                                                                  const ORVRangeAnalysisSpans& spans,
                                                                  const ORVAnalysisControl& control) {
    const auto measurement = ORVAudioMusicAnalyzer::analyze(
        file, ORVAnalysisRange{spans.context.startSeconds, spans.context.endSeconds}, control);
    return makeBeatloomRangeAnalysisResult(measurement, spans.target, spans.context);
}

BeatloomResult makeBeatloomResult(const ORVMusicTempoMeasurement& m, const std::filesystem::path& file) {
    BeatloomResult result;
    result.fileName = file.filename().string();
    result.bpm = m.bpm;
    result.confidence = m.confidence;
    result.durationSeconds = m.durationSeconds;
    result.isVariableTempo = isVariableTempoMap(m);
    result.tempoMapReliable = m.tempoMapReliable;
    result.tempoPoints = normalizedTempoPoints(measuredTempoPoints(m));
    const std::size_t kept = std::min(m.candidates.size(), kResultCandidateLimit);
    for (std::size_t i = 0; i < kept; ++i) {
        result.candidates.push_back(BeatloomTempoCandidate{Uuid::random(), m.candidates[i].bpm, m.candidates[i].score});
    }
    result.beatPositionsSeconds = m.beatPositionsSeconds;
    result.firstMeaningfulAudioSeconds = m.firstMeaningfulAudioSeconds;
    result.ambiguous = m.ambiguous;
    result.reason = m.reason;
    return result;
}

BeatloomRangeAnalysisResult makeBeatloomRangeAnalysisResult(const ORVMusicTempoMeasurement& m,
                                                            const BeatloomTimeRange& target,
                                                            const BeatloomTimeRange& context) {
    BeatloomRangeAnalysisResult result;
    result.targetRange = target;
    result.contextRange = context;
    result.tempoPoints = measuredTempoPoints(m);
    for (auto& point : result.tempoPoints) point.timeSeconds += context.startSeconds;
    result.confidence = m.confidence;
    result.ambiguous = m.ambiguous;
    result.reason = m.reason;
    return result;
}

}  // namespace corvel::analysis
