// Grid Fit: beat lines dragged onto transients become anchors, a robust line through them gives
// the passage's tempo, and applying it sets the governing tempo point and locks a downbeat.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/meter_map.hpp"
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

    performEdit("Apply Grid Fit", status, [&](BeatloomViewModel& model) {
        model.setTempoPointsAndPhaseLocks(std::move(newPoints), std::move(locks));
        model.selectedTempoPointID.set(governingID);
        if (downbeat) {
            const double time = clampOr(*downbeat, 0.0, std::max(duration, 0.0), 0.0);
            model.barAnchors.set(withBarAnchorAt(model.barAnchors.value(), time, duration));
        }
        // The anchors stay; the next fit starts from them.
        model.refreshGridFitPreview();
    });
}

}  // namespace corvel::session
