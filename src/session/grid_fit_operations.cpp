// Grid Fit: beat lines dragged onto transients become anchors, a robust line through them gives
// the passage's tempo, and applying it sets the governing tempo point and locks a downbeat.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/flexible_timeline.hpp"
#include "core/grid_lines.hpp"
#include "core/meter_map.hpp"
#include "core/phase_anchors.hpp"
#include "core/tempo_points.hpp"
#include "core/timeline_segments.hpp"
#include "core/transient_snap.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/pickup_grid.hpp"

namespace corvel::session {

namespace {

constexpr double kSameBeatLineQuarters = 1e-9;
// A bar anchor already this close to a new downbeat stands for it.
constexpr double kNearbyBarAnchorSeconds = 0.02;
constexpr double kLockedRangeTolerance = 1e-6;
constexpr double kMedianTolerance = 1e-9;
constexpr std::size_t kAnchorsNeeded = 4;
constexpr std::int64_t kReliableAnchorsNeeded = 4;
constexpr double kLargestRMSMilliseconds = 45;
// A bar cut to less than this share of a whole bar of its meter is far shorter than its neighbours.
constexpr double kShortestBarShare = 0.5;

constexpr std::string_view kMoveGridAnchorName = "Move Grid Anchor";
constexpr std::string_view kLockedAnchorMessage = "This Grid-Fit anchor is locked. Unlock it before moving.";

bool sameBeatLine(double a, double b) { return std::abs(a - b) < kSameBeatLineQuarters; }

BeatloomGridFitAnchor* anchorWithID(std::vector<BeatloomGridFitAnchor>& anchors, const Uuid& id) {
    const auto it = std::find_if(anchors.begin(), anchors.end(),
                                 [&](const BeatloomGridFitAnchor& anchor) { return anchor.id == id; });
    return it == anchors.end() ? nullptr : &*it;
}

// Bar anchors with a locked downbeat at the time, unless one already lies within 0.02 s.
std::vector<BeatloomBarAnchor> withBarAnchorAt(const std::vector<BeatloomBarAnchor>& anchors, double seconds,
                                               double duration) {
    auto list = normalizedBarAnchors(anchors, duration);
    const bool covered = std::any_of(list.begin(), list.end(), [&](const BeatloomBarAnchor& anchor) {
        return std::abs(anchor.timeSeconds - seconds) < kNearbyBarAnchorSeconds;
    });
    if (covered) return list;
    list.push_back(BeatloomBarAnchor{Uuid::random(), seconds, std::nullopt});
    return normalizedBarAnchors(list, duration);
}

// The grid a tempo map, its phase locks and bar anchors would draw with the rest of the session's
// map, and what its bars look like.
class DrawnGrid {
public:
    DrawnGrid(const BeatloomViewModel& model, const std::vector<BeatloomTempoPoint>& points,
              const std::vector<BeatloomPhaseLock>& locks, const std::vector<BeatloomBarAnchor>& barAnchors)
        : model_(model), points_(points), locks_(locks), barAnchors_(barAnchors),
          duration_(std::max(model.result.value()->durationSeconds, 0.0)),
          segments_(BeatloomTimeline::segments(points, duration_)) {
        const auto lines = BeatloomTimeline::gridLines(
            points, model.meterEvents.value(), barAnchors, locks, model.effectiveBarOneSeconds(),
            model.pickupBarCount.value(), false, model.timelineRegions.value(), model.rhythmicAnchors.value(),
            BeatloomGridResolution::quarter, duration_);
        for (const auto& line : lines) {
            if (line.kind == BeatloomTimeline::GridKind::bar) barLines_.push_back(line.timeSeconds);
        }
    }

    // The quarter notes of a whole bar of the meter in force at a time.
    double barQuarters(double seconds) const {
        return BeatloomTimeline::meterRule(BeatloomTimeline::meterInForce(model_.meterEvents.value(), duration_, seconds))
            .barLengthQuarters();
    }

    // Bars (from one bar line to the next) cut to less than half a whole bar at the tempo there.
    std::size_t shortBarCount() const {
        std::size_t count = 0;
        for (std::size_t i = 0; i + 1 < barLines_.size(); ++i) {
            const double start = barLines_[i];
            const auto wholeEnd = BeatloomTimeline::seconds(
                segments_, BeatloomTimeline::quarterPosition(segments_, start) + barQuarters(start));
            if (wholeEnd && barLines_[i + 1] - start < kShortestBarShare * (*wholeEnd - start)) ++count;
        }
        return count;
    }

    // The map with the bar that ends just after a bar line before `downbeat` stretched over that
    // piece, so that its closing bar line falls on the downbeat: a marker at the bar's start with
    // the tempo that fills it, and one at the downbeat with the tempo in force there before. None
    // when the bar holds a tempo marker, a ramp, a bar boundary, a lock or a Free Time or Rubato
    // region, or when the stretched tempo would leave the supported range.
    std::optional<std::vector<BeatloomTempoPoint>> withBarStretchedTo(double downbeat) const {
        const auto before = std::find_if(barLines_.rbegin(), barLines_.rend(),
                                         [&](double line) { return line < downbeat - kSameTimeSeconds; });
        if (before == barLines_.rend() || std::next(before) == barLines_.rend()) return std::nullopt;
        const double start = *std::next(before);
        const double margin = tempo_limits::editMargin;
        if (!(downbeat < duration_ - margin)) return std::nullopt;
        for (const auto& point : points_) {
            if (point.timeSeconds > start - margin && point.timeSeconds < downbeat + margin) return std::nullopt;
        }
        const auto governing = governingTempoPointID(points_, start);
        for (const auto& point : points_) {
            if (governing && point.id == *governing && point.linearToNext) return std::nullopt;
        }
        const auto anchors = BeatloomTimeline::phaseAnchors(model_.meterEvents.value(), barAnchors_, locks_,
                                                            model_.effectiveBarOneSeconds(), segments_, duration_);
        for (const auto& anchor : anchors) {
            if (anchor.timeSeconds > start + kSameTimeSeconds && anchor.timeSeconds < downbeat - kSameTimeSeconds) {
                return std::nullopt;
            }
        }
        for (const auto& region : BeatloomFlexibleTimeline::normalizedRegions(model_.timelineRegions.value(), duration_)) {
            if (region.startSeconds < downbeat && start < region.endSeconds) return std::nullopt;
        }
        const double stretched = barQuarters(start) * 60.0 / (downbeat - start);
        if (!isSupportedBPM(stretched)) return std::nullopt;
        auto points = points_;
        const double resumed = bpmAt(points_, downbeat, stretched);
        points.push_back(BeatloomTempoPoint{Uuid::random(), start, stretched, 1.0, false});
        points.push_back(BeatloomTempoPoint{Uuid::random(), downbeat, resumed, 1.0, false});
        return normalizedTempoPoints(std::move(points));
    }

private:
    const BeatloomViewModel& model_;
    const std::vector<BeatloomTempoPoint>& points_;
    const std::vector<BeatloomPhaseLock>& locks_;
    const std::vector<BeatloomBarAnchor>& barAnchors_;
    double duration_;
    std::vector<BeatloomTimeline::Segment> segments_;
    std::vector<double> barLines_;
};

}  // namespace

void BeatloomViewModel::beginGridAnchorMove() { beginTransaction(std::string(kMoveGridAnchorName)); }

void BeatloomViewModel::moveGridAnchor(const BeatloomTimeline::GridLine& line, bool snapToTransient, double seconds,
                                       double searchRadiusSeconds) {
    if (line.kind == BeatloomTimeline::GridKind::subdivision) return;
    // A broken pointer reading must not drop an anchor at the song start.
    if (!std::isfinite(seconds)) return;
    double time = result.value() ? clampOr(seconds, 0.0, result.value()->durationSeconds, 0.0) : seconds;
    if (snapToTransient && waveformData.value()) {
        if (const auto snap = snappedTransient(*waveformData.value(), time, searchRadiusSeconds)) time = snap->time;
    }

    auto anchors = gridFitAnchors.value();
    const auto existing = std::find_if(anchors.begin(), anchors.end(), [&](const BeatloomGridFitAnchor& anchor) {
        return sameBeatLine(anchor.quarterPosition, line.quarterPosition);
    });
    const bool isBarLine = line.kind == BeatloomTimeline::GridKind::bar;
    if (existing != anchors.end()) {
        if (existing->isLocked) {
            // In the error line, which the screen brings into view: the status line may be folded away.
            errorText.set(std::string(kLockedAnchorMessage));
            return;
        }
        existing->timeSeconds = time;
        existing->barNumber = line.barNumber;
        existing->beatNumber = line.beatNumber;
        existing->isDownbeat = existing->isDownbeat || isBarLine;
        existing->source = BeatloomGridFitAnchorSource::manual;
    } else {
        anchors.push_back(BeatloomGridFitAnchor{Uuid::random(), line.quarterPosition, time, line.barNumber,
                                                line.beatNumber, isBarLine, BeatloomGridFitAnchorSource::manual,
                                                false});
    }
    gridFitAnchors.set(std::move(anchors));
    refreshGridFitPreview();
    statusText.set(gridFitStatusText());
    exportStatusText.set("");
    errorText.set("");
}

void BeatloomViewModel::deleteGridAnchor(double quarterPosition) {
    performEdit("Delete Grid Anchor", "Grid-Fit anchor removed.", [quarterPosition](BeatloomViewModel& model) {
        auto anchors = model.gridFitAnchors.value();
        std::erase_if(anchors, [&](const BeatloomGridFitAnchor& anchor) {
            return sameBeatLine(anchor.quarterPosition, quarterPosition);
        });
        model.gridFitAnchors.set(std::move(anchors));
        model.refreshGridFitPreview();
    });
}

void BeatloomViewModel::clearGridFit() {
    performEdit("Clear Grid Fit", "Grid-fit anchors cleared.", [](BeatloomViewModel& model) {
        model.gridFitAnchors.set({});
        model.gridFitResult.set(std::nullopt);
    });
}

void BeatloomViewModel::toggleGridAnchorLock(const Uuid& id) {
    auto anchors = gridFitAnchors.value();
    const auto* anchor = anchorWithID(anchors, id);
    if (!anchor) return;
    const auto toggle = [id](BeatloomViewModel& model) {
        auto list = model.gridFitAnchors.value();
        if (auto* found = anchorWithID(list, id)) found->isLocked = !found->isLocked;
        model.gridFitAnchors.set(std::move(list));
        model.refreshGridFitPreview();
    };
    if (anchor->isLocked) {
        performEdit("Unlock Grid Anchor", "Grid-Fit anchor unlocked.", toggle);
    } else {
        performEdit("Lock Grid Anchor", "Grid-Fit anchor locked.", toggle);
    }
}

void BeatloomViewModel::setGridAnchorAsSongBarOne(const Uuid& id) {
    auto anchors = gridFitAnchors.value();
    const auto* anchor = anchorWithID(anchors, id);
    if (!result.value() || !anchor) return;
    const double duration = result.value()->durationSeconds;
    const double barOne = effectiveBarOneSeconds();
    const std::int64_t pickups = pickupBarCount.value();
    const auto& points = editableTempoPoints.value();

    // Where the pickup bars begin now; they keep that start under the new Bar 1.
    double start = barOne;
    const auto segments = duration > 0 ? BeatloomTimeline::segments(points, duration)
                                       : std::vector<BeatloomTimeline::Segment>{};
    if (!segments.empty() && pickups > 0) {
        start = startOfBarsBeforeBarOne(segments, meterEvents.value(), duration, barOne, pickups).value_or(barOne);
    }
    const double anchorTime = anchor->timeSeconds;
    const std::int64_t bars =
        BeatloomTimeline::barsBetween(points, meterEvents.value(), duration, anchorTime, start);
    const double locator = locatorSeconds.value();

    performEdit("Set Song Bar 1",
                "Grid-Fit anchor set as absolute song Bar 1. Existing locked downbeats remain fixed.",
                [&](BeatloomViewModel& model) {
                    auto list = model.gridFitAnchors.value();
                    if (auto* found = anchorWithID(list, id)) {
                        found->isDownbeat = true;
                        found->source = BeatloomGridFitAnchorSource::manual;
                    }
                    model.gridFitAnchors.set(std::move(list));
                    model.barOneSeconds.set(anchorTime);
                    model.pickupBarCount.set(bars);
                    // Stopping a running preview must not carry the locator off.
                    model.locatorSeconds.set(locator);
                    model.refreshGridFitPreview();
                });
}

void BeatloomViewModel::setGridAnchorAsLocalBarStart(const Uuid& id) {
    auto anchors = gridFitAnchors.value();
    if (!result.value() || !anchorWithID(anchors, id)) return;
    const double duration = result.value()->durationSeconds;
    performEdit("Set Bar Start", "Grid-Fit anchor set as a local bar start.", [&](BeatloomViewModel& model) {
        auto list = model.gridFitAnchors.value();
        auto* found = anchorWithID(list, id);
        if (!found) return;
        found->isDownbeat = true;
        found->source = BeatloomGridFitAnchorSource::manual;
        const double time = clampOr(found->timeSeconds, 0.0, std::max(duration, 0.0), 0.0);
        model.gridFitAnchors.set(std::move(list));
        model.barAnchors.set(withBarAnchorAt(model.barAnchors.value(), time, duration));
        model.refreshGridFitPreview();
    });
}

void BeatloomViewModel::applyGridFit() {
    const auto& anchors = gridFitAnchors.value();
    const auto& fit = gridFitResult.value();
    if (anchors.size() < kAnchorsNeeded || !fit) {
        errorText.set("Set at least 4 beat lines on transients before applying Grid Fit.");
        return;
    }
    if (fit->inlierCount < kReliableAnchorsNeeded) {
        errorText.set("Grid Fit needs at least 4 reliable anchors. Move or remove the highlighted outliers.");
        return;
    }
    const double rmsMilliseconds = fit->rmsErrorSeconds * 1000;
    if (rmsMilliseconds > kLargestRMSMilliseconds) {
        errorText.set("Grid Fit is too inconsistent (±" + formatFixed(rmsMilliseconds, 1) +
                      " ms RMS). Check the transient anchors.");
        return;
    }
    const auto& points = editableTempoPoints.value();
    if (points.empty() || !result.value()) return;
    const double duration = result.value()->durationSeconds;

    std::vector<double> times;
    for (const auto& anchor : anchors) times.push_back(anchor.timeSeconds);
    std::sort(times.begin(), times.end());
    const double earliest = times.front();
    const double latest = times.back();
    const bool overlapsLockedRange =
        std::any_of(lockedRanges.value().begin(), lockedRanges.value().end(), [&](const BeatloomLockedRange& range) {
            return earliest < range.endSeconds - kLockedRangeTolerance &&
                   range.startSeconds + kLockedRangeTolerance < latest;
        });
    if (overlapsLockedRange) {
        errorText.set("This fit overlaps a locked corrected section. Unlock that section or fit outside it.");
        return;
    }
    // For an even count the upper of the two middle times.
    const double median = times[times.size() / 2];
    auto governing = std::find_if(points.rbegin(), points.rend(), [&](const BeatloomTempoPoint& point) {
        return point.timeSeconds <= median + kMedianTolerance;
    });
    const Uuid governingID = governing == points.rend() ? points.front().id : governing->id;

    auto changed = settingTempoPointBPM(points, governingID, fit->bpm);
    if (!changed) return;
    auto newPoints = normalizedTempoPoints(std::move(*changed));
    auto locks = phaseLocksForTempoChange(points, newPoints);

    const double bpm = std::round(fit->bpm * 10) / 10;
    const std::string status = "Grid Fit applied: " + formatFixed(bpm, 1) + " BPM · " +
                               std::string(gridFitQualityWord(rmsMilliseconds)) + " · ±" +
                               formatFixed(rmsMilliseconds, 1) + " ms RMS.";

    // The downbeat to lock: of the downbeat anchors the fit keeps, the one nearest the median.
    std::optional<double> downbeat;
    double nearest = 0;
    for (const auto& anchor : anchors) {
        if (!anchor.isDownbeat) continue;
        const auto evaluation =
            std::find_if(fit->evaluations.begin(), fit->evaluations.end(),
                         [&](const BeatloomGridFitter::AnchorEvaluation& e) { return e.anchorID == anchor.id; });
        if (evaluation != fit->evaluations.end() && evaluation->status == BeatloomGridFitter::AnchorStatus::outlier) {
            continue;
        }
        const double distance = std::abs(anchor.timeSeconds - median);
        if (!downbeat || distance < nearest) {
            downbeat = anchor.timeSeconds;
            nearest = distance;
        }
    }

    // The downbeat is locked only where that leaves no bar far shorter than a whole one. Where
    // the fitted tempo puts a bar line just before the downbeat, the bar before that line is
    // stretched to end on the downbeat instead; where not even that serves, the grid keeps the
    // fitted tempo without the lock.
    std::vector<BeatloomBarAnchor> barAnchorList = barAnchors.value();
    if (downbeat) {
        const double time = clampOr(*downbeat, 0.0, std::max(duration, 0.0), 0.0);
        const auto withDownbeat = withBarAnchorAt(barAnchorList, time, duration);
        const DrawnGrid unlocked(*this, newPoints, locks, barAnchorList);
        const std::size_t shortBars = unlocked.shortBarCount();
        if (DrawnGrid(*this, newPoints, locks, withDownbeat).shortBarCount() <= shortBars) {
            barAnchorList = withDownbeat;
        } else if (auto stretched = unlocked.withBarStretchedTo(time)) {
            auto stretchedLocks = phaseLocksForTempoChange(points, *stretched);
            if (DrawnGrid(*this, *stretched, stretchedLocks, withDownbeat).shortBarCount() <= shortBars) {
                newPoints = std::move(*stretched);
                locks = std::move(stretchedLocks);
                barAnchorList = withDownbeat;
            }
        }
    }

    performEdit("Apply Grid Fit", status, [&](BeatloomViewModel& model) {
        model.setTempoPointsAndPhaseLocks(std::move(newPoints), std::move(locks));
        model.selectedTempoPointID.set(governingID);
        model.barAnchors.set(std::move(barAnchorList));
        // The anchors stay; the next fit starts from them.
        model.refreshGridFitPreview();
    });
}

}  // namespace corvel::session
