// The tempo controls: double and half tempo, a typed tempo at the locator, the detected tempo
// again, and re-analysis of the whole file or of a selection. All of them change only the
// tempo map (and what depends on it); time signatures, Bar 1, pickup bars and regions stay.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "analysis/analysis_entry_points.hpp"
#include "analysis/music_analyzer.hpp"
#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/tempo_points.hpp"
#include "core/time_tolerances.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/typed_number.hpp"

namespace corvel::session {

namespace {

// Matching detected and edited maps: times and BPMs this close count as equal.
constexpr double kDetectedMatchTolerance = 0.0005;
// Shorter drags clear the selection.
constexpr double kShortestSelectionSeconds = 0.05;
// The analyser needs this much of the song to hear a tempo in a selection.
constexpr double kShortestReanalysisSeconds = 4.0;

// The point nearest the time; of equally near points the earlier wins.
const BeatloomTempoPoint* nearestPoint(const std::vector<BeatloomTempoPoint>& points, double seconds) {
    const BeatloomTempoPoint* best = nullptr;
    for (const auto& point : points) {
        if (!best || std::abs(point.timeSeconds - seconds) < std::abs(best->timeSeconds - seconds)) best = &point;
    }
    return best;
}

std::string oneDecimal(double value) { return formatFixed(value, 1); }

// A marker whose tempo would move the grid by less than this, over the stretch it governs, only
// repeats the tempo in force there: re-analysing a steady passage finds its tempo again within
// about that much, and a marker for it would split the song for nothing.
constexpr double kRepeatedTempoDriftBeats = 0.1;

// The merged map without the markers the merge made that repeat the tempo in force before them.
// The user's own markers and ramps stay, and so does every marker that changes the grid.
std::vector<BeatloomTempoPoint> withoutRepeatedTempi(const std::vector<BeatloomTempoPoint>& merged,
                                                     const std::vector<BeatloomTempoPoint>& old, double duration) {
    std::vector<BeatloomTempoPoint> kept;
    for (std::size_t i = 0; i < merged.size(); ++i) {
        const BeatloomTempoPoint& point = merged[i];
        const bool made = std::none_of(old.begin(), old.end(),
                                       [&](const BeatloomTempoPoint& mine) { return mine.id == point.id; });
        if (made && !kept.empty() && !kept.back().linearToNext && !point.linearToNext) {
            const double next = i + 1 < merged.size() ? merged[i + 1].timeSeconds : duration;
            const double stretch = std::max(next - point.timeSeconds, 0.0);
            const double driftBeats = stretch * std::abs(point.bpm - kept.back().bpm) / 60.0;
            if (driftBeats < kRepeatedTempoDriftBeats) continue;
        }
        kept.push_back(point);
    }
    return kept;
}

}  // namespace

void BeatloomViewModel::installAnalysedPoints(std::vector<BeatloomTempoPoint> points) {
    const std::optional<Uuid> first = points.empty() ? std::nullopt : std::optional<Uuid>(points.front().id);
    editableTempoPoints.set(std::move(points));
    phaseLocks.set({});
    selectedTempoPointID.set(first);
    gridFitAnchors.set({});
    gridFitResult.set(std::nullopt);
    lockedRanges.set({});
}

void BeatloomViewModel::failAnalysis(const Error& error) {
    isAnalyzing.set(false);
    errorText.set(error.message);
    statusText.set("");
}

void BeatloomViewModel::scaleSectionTempo(double factor) {
    const auto& points = editableTempoPoints.value();
    const double locator = locatorSeconds.value();
    // The edit scales the marker in force at the locator; inside a ramp its tempo differs from
    // the one heard at the locator, and the messages name the marker's.
    auto bpm = tempoAtLocator();
    if (bpm) {
        if (const auto id = governingTempoPointID(points, locator)) {
            const auto marker = std::find_if(points.begin(), points.end(),
                                             [&](const BeatloomTempoPoint& point) { return point.id == *id; });
            if (marker != points.end()) bpm = marker->bpm;
        }
    }
    std::optional<std::vector<BeatloomTempoPoint>> scaled;
    if (bpm) scaled = scalingTempoAt(points, locator, factor);
    if (!scaled) {
        errorText.set(oneDecimal(bpm.value_or(0.0) * factor) + " BPM is outside the supported Beatloom range.");
        return;
    }
    applyTempoEdit(std::move(*scaled), factor > 1 ? "Double Tempo" : "Half Tempo",
                   "Tempo section changed from " + oneDecimal(*bpm) + " to " + oneDecimal(*bpm * factor) + " BPM.");
    selectedTempoPointID.set(governingTempoPointID(editableTempoPoints.value(), locatorSeconds.value()));
}

bool BeatloomViewModel::setManualTempo(std::string_view text) {
    const auto bpm = parseTypedNumber(text);
    if (!bpm || !isSupportedBPM(*bpm) || !result.value()) {
        errorText.set(std::string(kBPMOutOfRangeMessage));
        return false;
    }
    const auto map = editableTempoPoints.value();
    const double locator = locatorSeconds.value();
    const auto applyTo = [&](const std::vector<BeatloomTempoPoint>& points, const Uuid& id, const std::string& status) {
        auto changed = settingTempoPointBPM(points, id, *bpm);
        if (!changed) return false;
        applyTempoEdit(std::move(*changed), "Enter Manual Tempo", status);
        selectedTempoPointID.set(id);
        return true;
    };

    if (map.size() == 1 && applyTo(map, map.front().id, "Manual tempo set to " + oneDecimal(*bpm) + " BPM.")) {
        return true;
    }
    const auto* nearest = nearestPoint(map, locator);
    if (nearest && std::abs(nearest->timeSeconds - locator) <= kMarkerSpacingSeconds &&
        applyTo(map, nearest->id, "Tempo at the locator set to " + oneDecimal(*bpm) + " BPM.")) {
        return true;
    }
    const auto inserted = insertingTempoPoint(map, locator, result.value()->durationSeconds);
    if (inserted && !inserted->empty() &&
        applyTo(*inserted, nearestPoint(*inserted, locator)->id,
                "Tempo point set to " + oneDecimal(*bpm) + " BPM at the locator.")) {
        return true;
    }
    errorText.set(std::string(kPlaceTempoPointMessage));
    return false;
}

void BeatloomViewModel::useDetectedTempo() {
    if (!result.value() || transactionStart_) return;
    auto points = normalizedTempoPoints(result.value()->tempoPoints);
    auto before = captureEditorState();
    stopPreview(false);
    installAnalysedPoints(std::move(points));
    auto after = captureEditorState();
    if (before == after) return;
    commit("Use Detected Tempo", std::move(before), std::move(after), kDetectedTempoRestoredStatus);
}

bool BeatloomViewModel::isDetectedTempoActive() const {
    if (!result.value()) return false;
    const auto edited = normalizedTempoPoints(editableTempoPoints.value());
    const auto detected = normalizedTempoPoints(result.value()->tempoPoints);
    return std::equal(edited.begin(), edited.end(), detected.begin(), detected.end(),
                      [](const BeatloomTempoPoint& a, const BeatloomTempoPoint& b) {
                          return std::abs(a.timeSeconds - b.timeSeconds) <= kDetectedMatchTolerance &&
                                 std::abs(a.bpm - b.bpm) <= kDetectedMatchTolerance && a.linearToNext == b.linearToNext;
                      });
}

void BeatloomViewModel::reanalyzeTempo() {
    if (!selectedURL.value() || isAnalyzing.value()) return;
    auto& background = runner();
    isAnalyzing.set(true);
    statusText.set(std::string(kReanalyzingTempoStatus));
    errorText.set("");

    analysis::ORVAudioMusicAnalyzer::analyzeFile(
        background, mainLoop_, *selectedURL.value(),
        [this, isCurrent = stillCurrent()](analysis::ORVAnalyzerEntryPoints::FileOutcome outcome) {
            if (!isCurrent()) return;
            analysisProgress.set(1.0);
            if (const auto* error = std::get_if<Error>(&outcome)) {
                failAnalysis(*error);
                return;
            }
            auto install = [this, detected = std::get<BeatloomResult>(std::move(outcome))] {
                auto points = detected.tempoPoints;
                result.set(detected);
                auto before = captureEditorState();
                stopPreview(false);
                installAnalysedPoints(std::move(points));
                auto after = captureEditorState();
                if (before != after) commit("Re-analyze Tempo", std::move(before), std::move(after), kTempoReanalyzedStatus);
                isAnalyzing.set(false);
                statusText.set(std::string(kTempoReanalyzedStatus));
            };
            if (transactionStart_) {
                afterDrag_.push_back(std::move(install));
            } else {
                install();
            }
        },
        startAnalysisProgress());
}

void BeatloomViewModel::setAnalysisSelection(double a, double b) {
    if (!result.value()) return;
    const double duration = std::max(result.value()->durationSeconds, 0.0);
    const double lo = clampOr(std::min(a, b), 0.0, duration, 0.0);
    const double hi = clampOr(std::max(a, b), lo, duration, lo);
    analysisSelection.set(hi - lo >= kShortestSelectionSeconds ? std::optional(BeatloomTimeRange{lo, hi})
                                                               : std::nullopt);
}

void BeatloomViewModel::reanalyzeSelection() {
    const auto& selection = analysisSelection.value();
    if (!selectedURL.value() || !result.value() || !selection || isAnalyzing.value()) return;
    const double span = selection->endSeconds - selection->startSeconds;
    if (span < kShortestReanalysisSeconds) {
        errorText.set(analysis::kSelectionTooShortMessage);
        return;
    }
    auto& background = runner();
    isAnalyzing.set(true);
    errorText.set("");
    statusText.set("Re-analyzing selected " + oneDecimal(span) + " seconds with musical context…");

    const double duration = result.value()->durationSeconds;
    analysis::ORVAudioMusicAnalyzer::analyzeRange(
        background, mainLoop_, *selectedURL.value(), selection->startSeconds, selection->endSeconds, duration,
        [this, isCurrent = stillCurrent(), duration](analysis::ORVAnalyzerEntryPoints::RangeOutcome outcome) {
            if (!isCurrent()) return;
            analysisProgress.set(1.0);
            if (const auto* error = std::get_if<Error>(&outcome)) {
                failAnalysis(*error);
                return;
            }
            applyReanalyzedSelection(std::get<BeatloomRangeAnalysisResult>(outcome), duration);
        },
        startAnalysisProgress());
}

void BeatloomViewModel::applyReanalyzedSelection(const BeatloomRangeAnalysisResult& rangeResult,
                                                 double durationSeconds) {
    if (transactionStart_) {
        afterDrag_.push_back([this, rangeResult, durationSeconds] { applyReanalyzedSelection(rangeResult, durationSeconds); });
        return;
    }
    const double start = rangeResult.targetRange.startSeconds;
    const double end = rangeResult.targetRange.endSeconds;
    auto merged = mergingReanalyzedRange(editableTempoPoints.value(), rangeResult.tempoPoints, start, end,
                                         durationSeconds);
    if (!merged) {
        failAnalysis(Error{analysis::kAnalysisErrorDomain, analysis::kMergeRefusedCode, analysis::kMergeRefusedMessage});
        return;
    }
    auto points = withoutRepeatedTempi(normalizedTempoPoints(std::move(*merged)), editableTempoPoints.value(),
                                       std::max(durationSeconds, 0.0));
    if (points == editableTempoPoints.value()) {
        statusText.set("Re-analyzed " + oneDecimal(start) + "–" + oneDecimal(end) +
                       " s. The tempo found there is the map's tempo; nothing was changed.");
    } else {
        // When the audio goes on after the range, the old tempo resumes at its end with a marker
        // of its own, the last one the merge made; that marker keeps the bar and beat the grid
        // showed there, so nothing after the range moves.
        const double duration = std::max(durationSeconds, 0.0);
        const double rangeEnd = std::fmin(std::fmax(std::fmax(start, 0.0), end), duration);
        const auto& old = editableTempoPoints.value();
        std::vector<Uuid> pinned;
        if (rangeEnd < duration - tempo_limits::orderTie) {
            for (auto point = points.rbegin(); point != points.rend(); ++point) {
                const bool made = std::none_of(old.begin(), old.end(),
                                               [&](const BeatloomTempoPoint& kept) { return kept.id == point->id; });
                if (made) {
                    pinned.push_back(point->id);
                    break;
                }
            }
        }
        auto locks = phaseLocksKeepingGrid(old, points, pinned);
        std::string status = "Re-analyzed " + oneDecimal(start) + "–" + oneDecimal(end) + " s. ";
        if (const auto moved = firstMovedGridLineAfter(rangeEnd, points, locks)) {
            status += "Only the selected range was replaced, but bars and beats after it moved from " +
                      oneDecimal(*moved) + " s on.";
        } else {
            status += "Only the selected range was replaced; surrounding tempo sections were preserved.";
        }
        commitTempoMap(std::move(points), std::move(locks), "Re-analyze Selection", status);
    }
    selectedTempoPointID.set(governingTempoPointID(editableTempoPoints.value(), start));
    isAnalyzing.set(false);
}

}  // namespace corvel::session
