#pragma once

#include <filesystem>
#include <functional>
#include <variant>

#include "analysis/analysis_driver.hpp"
#include "analysis/analysis_errors.hpp"
#include "common/error.hpp"
#include "core/tempo_map_records.hpp"
#include "platform/background_runner.hpp"
#include "platform/main_loop.hpp"

namespace corvel::analysis {

// The spans of a re-analysed selection: the selection itself and the stretch around it that is
// analysed so that its tempo is heard in its musical context. Song times in seconds.
struct ORVRangeAnalysisSpans {
    BeatloomTimeRange target;
    BeatloomTimeRange context;

    friend bool operator==(const ORVRangeAnalysisSpans&, const ORVRangeAnalysisSpans&) = default;
};

// The editor's door to the analyser (inherited by ORVAudioMusicAnalyzer): the whole-file
// analysis and the re-analysis of a selection, each run as one job on the background runner
// and answered on the main loop with the result or the error, never both. Nothing is shared
// between analyses, so several may run at once; none is cancelled.
struct ORVAnalyzerEntryPoints {
    using FileOutcome = std::variant<BeatloomResult, Error>;
    using RangeOutcome = std::variant<BeatloomRangeAnalysisResult, Error>;
    using FileCompletion = std::function<void(FileOutcome)>;
    using RangeCompletion = std::function<void(RangeOutcome)>;

    // Analyses the whole file off the main thread; the completion runs on the main loop with
    // the result, or with the driver's or the reader's error unchanged. The progress listener,
    // when given, hears the fraction done on the analysis's own threads (see
    // ORVAnalysisControl). The runner and the loop must outlive the job.
    static void analyzeFile(platform::BackgroundRunner& runner, platform::MainLoop& mainLoop,
                            std::filesystem::path file, FileCompletion completion,
                            ORVAnalysisProgress::Listener progress = {});

    // Analyses the selection startSeconds...endSeconds of a file durationSeconds long in its
    // context off the main thread. A selection shorter than 4 s once clamped to the song starts
    // no job: the completion gets error 2301 through the main loop.
    static void analyzeRange(platform::BackgroundRunner& runner, platform::MainLoop& mainLoop,
                             std::filesystem::path file, double startSeconds, double endSeconds,
                             double durationSeconds, RangeCompletion completion,
                             ORVAnalysisProgress::Listener progress = {});

    // The selection clamped to the song, and its context: half the selection's length on either
    // side, 12 to 24 s, cut at the song's ends. Throws ErrorException 2301 below 4 s.
    static ORVRangeAnalysisSpans rangeAnalysisSpans(double startSeconds, double endSeconds, double durationSeconds);

    // The jobs' work, blocking; they throw what the driver throws.
    static BeatloomResult analyzedFile(const std::filesystem::path& file, const ORVAnalysisControl& control = {});
    static BeatloomRangeAnalysisResult analyzedRange(const std::filesystem::path& file,
                                                     const ORVRangeAnalysisSpans& spans,
                                                     const ORVAnalysisControl& control = {});
};

// The editor's record of a whole-file measurement: one tempo point per section when the
// sections form a reliable map of two or more, else one point at 0 s with the measured tempo;
// the first 8 candidates with fresh ids.
BeatloomResult makeBeatloomResult(const ORVMusicTempoMeasurement& measurement, const std::filesystem::path& file);

// The same for a re-analysed span: the points moved from span time to song time by the
// context's start, not normalised (the session merges them into its map).
BeatloomRangeAnalysisResult makeBeatloomRangeAnalysisResult(const ORVMusicTempoMeasurement& measurement,
                                                            const BeatloomTimeRange& target,
                                                            const BeatloomTimeRange& context);

}  // namespace corvel::analysis
