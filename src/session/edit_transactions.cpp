// Undoable edits: snapshots of the ten edited values, the three ways of committing a change,
// drag transactions with their live updates, and undo and redo.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "common/numeric.hpp"
#include "core/meter_map.hpp"
#include "core/tempo_points.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

namespace {

// A dragged marker keeps this distance from its neighbours.
constexpr double kDragMargin = 0.02;

// The dragged time clamped between its neighbours; an upper bound below the lower one gives
// way to it. Callers keep NaN out.
double clampedBetween(double seconds, double lower, double upper) {
    return clampOr(seconds, lower, std::max(lower, upper), lower);
}

template <typename Item>
std::optional<std::size_t> indexOfID(const std::vector<Item>& items, const Uuid& id) {
    const auto it = std::find_if(items.begin(), items.end(), [&](const Item& item) { return item.id == id; });
    if (it == items.end()) return std::nullopt;
    return static_cast<std::size_t>(it - items.begin());
}

}  // namespace

BeatloomEditorState BeatloomViewModel::captureEditorState() const {
    return BeatloomEditorState{
        editableTempoPoints.value(), meterEvents.value(),    barAnchors.value(),     phaseLocks.value(),
        barOneSeconds.value(),       pickupBarCount.value(), gridFitAnchors.value(), lockedRanges.value(),
        timelineRegions.value(),     rhythmicAnchors.value(),
    };
}

void BeatloomViewModel::restoreEditorState(const BeatloomEditorState& state) {
    editableTempoPoints.set(state.tempoPoints);
    meterEvents.set(state.meterEvents);
    barAnchors.set(state.barAnchors);
    phaseLocks.set(state.phaseLocks);
    barOneSeconds.set(state.barOneSeconds);
    pickupBarCount.set(state.pickupBarCount);
    gridFitAnchors.set(state.gridFitAnchors);
    lockedRanges.set(state.lockedRanges);
    timelineRegions.set(state.timelineRegions);
    rhythmicAnchors.set(state.rhythmicAnchors);
    const auto& points = editableTempoPoints.value();
    selectedTempoPointID.set(points.empty() ? std::nullopt : std::optional<Uuid>(points.front().id));
    refreshGridFitPreview();
}

void BeatloomViewModel::setTempoPointsAndPhaseLocks(std::vector<BeatloomTempoPoint> points,
                                                    std::vector<BeatloomPhaseLock> locks) {
    editableTempoPoints.set(std::move(points));
    phaseLocks.set(std::move(locks));
    const auto& selected = selectedTempoPointID.value();
    const auto& current = editableTempoPoints.value();
    if (selected && !indexOfID(current, *selected)) {
        selectedTempoPointID.set(current.empty() ? std::nullopt : std::optional<Uuid>(current.front().id));
    }
}

void BeatloomViewModel::commit(std::string_view actionName, BeatloomEditorState before, BeatloomEditorState after,
                               std::string_view status) {
    editHistory_.record(std::string(actionName), std::move(before), std::move(after));
    statusText.set(std::string(status));
    exportStatusText.set("");
    errorText.set("");
}

void BeatloomViewModel::performEdit(std::string_view actionName, std::string_view status, const Mutation& mutation) {
    if (transactionStart_) return;
    auto before = captureEditorState();
    stopPreview(false);
    mutation(*this);
    auto after = captureEditorState();
    if (before == after) return;
    commit(actionName, std::move(before), std::move(after), status);
}

void BeatloomViewModel::applyTempoEdit(std::vector<BeatloomTempoPoint> points, std::string_view actionName,
                                       std::string_view status) {
    auto normalized = normalizedTempoPoints(std::move(points));
    if (normalized == editableTempoPoints.value()) return;
    auto locks = phaseLocksForTempoChange(editableTempoPoints.value(), normalized);
    commitTempoMap(std::move(normalized), std::move(locks), actionName, status);
}

void BeatloomViewModel::commitTempoMap(std::vector<BeatloomTempoPoint> normalizedPoints,
                                       std::vector<BeatloomPhaseLock> locks, std::string_view actionName,
                                       std::string_view status) {
    if (transactionStart_) return;
    auto before = captureEditorState();
    stopPreview(false);
    setTempoPointsAndPhaseLocks(std::move(normalizedPoints), std::move(locks));
    auto after = captureEditorState();
    if (before == after) return;
    commit(actionName, std::move(before), std::move(after), status);
}

void BeatloomViewModel::applyMeterAndBarAnchorEdit(const std::vector<BeatloomMeterEvent>& newMeterEvents,
                                                   const std::vector<BeatloomBarAnchor>& newBarAnchors,
                                                   std::string_view actionName, std::string_view status) {
    if (!result.value() || transactionStart_) return;
    const double duration = result.value()->durationSeconds;
    auto meters = normalizedMeterEvents(newMeterEvents, duration);
    auto anchors = normalizedBarAnchors(newBarAnchors, duration);
    if (meters == meterEvents.value() && anchors == barAnchors.value()) return;
    auto before = captureEditorState();
    stopPreview(false);
    meterEvents.set(std::move(meters));
    barAnchors.set(std::move(anchors));
    auto after = captureEditorState();
    if (before == after) return;
    commit(actionName, std::move(before), std::move(after), status);
}

void BeatloomViewModel::beginTransaction(std::optional<std::string> actionName) {
    if (transactionStart_) return;
    stopPreview(false);
    transactionStart_ = captureEditorState();
    transactionActionName_ = std::move(actionName);
}

void BeatloomViewModel::endTransaction(std::string_view status) {
    if (!transactionStart_) return;
    auto before = std::move(*transactionStart_);
    const std::string actionName = transactionActionName_.value_or(std::string(kDefaultTransactionName));
    transactionStart_.reset();
    transactionActionName_.reset();
    auto after = captureEditorState();
    if (before != after) commit(actionName, std::move(before), std::move(after), status);
    // What waited for the drag comes after it in the history.
    auto waiting = std::move(afterDrag_);
    afterDrag_.clear();
    for (auto& resume : waiting) resume();
}

double BeatloomViewModel::dragTarget(bool snap, BeatloomGridResolution resolution, double seconds) const {
    if (!snap) return seconds;
    return nearestGridTime(resolution, seconds).value_or(seconds);
}

void BeatloomViewModel::updateTempoPointDrag(const Uuid& id, bool snap, BeatloomGridResolution resolution,
                                             double seconds) {
    if (!result.value()) return;
    const double target = dragTarget(snap, resolution, seconds);
    auto moved = movingTempoPoint(editableTempoPoints.value(), id, target, result.value()->durationSeconds);
    if (!moved) return;
    editableTempoPoints.set(std::move(*moved));
    const auto& points = editableTempoPoints.value();
    if (const auto index = indexOfID(points, id)) {
        // The lock made for this marker travels with it, so the grid stays pinned to the marker.
        auto locks = phaseLocks.value();
        const auto lock = std::find_if(locks.begin(), locks.end(), [&](const BeatloomPhaseLock& candidate) {
            return candidate.sourceTempoPointID == id;
        });
        if (lock != locks.end()) {
            lock->timeSeconds = points[*index].timeSeconds;
            phaseLocks.set(std::move(locks));
        }
    }
    selectedTempoPointID.set(id);
}

void BeatloomViewModel::updateMeterEventDrag(const Uuid& id, bool snap, BeatloomGridResolution resolution,
                                             double seconds) {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    const double target = dragTarget(snap, resolution, seconds);
    if (std::isnan(target)) return;
    auto events = normalizedMeterEvents(meterEvents.value(), duration);
    const auto index = indexOfID(events, id);
    // The song-start signature never moves.
    if (!index || *index == 0) return;
    const std::size_t i = *index;
    const double lower = events[i - 1].timeSeconds + kDragMargin;
    const double upper = i + 1 < events.size() ? events[i + 1].timeSeconds - kDragMargin : std::max(lower, duration);
    events[i].timeSeconds = clampedBetween(target, lower, upper);
    meterEvents.set(normalizedMeterEvents(events, duration));
}

void BeatloomViewModel::updateBarAnchorDrag(const Uuid& id, bool snap, BeatloomGridResolution resolution,
                                            double seconds) {
    if (!result.value()) return;
    const double duration = result.value()->durationSeconds;
    const double target = dragTarget(snap, resolution, seconds);
    if (std::isnan(target)) return;
    auto anchors = normalizedBarAnchors(barAnchors.value(), duration);
    const auto index = indexOfID(anchors, id);
    if (!index) return;
    const std::size_t i = *index;
    const double lower = i > 0 ? anchors[i - 1].timeSeconds + kDragMargin : 0.0;
    const double upper = i + 1 < anchors.size() ? anchors[i + 1].timeSeconds - kDragMargin : duration;
    anchors[i].timeSeconds = clampedBetween(target, lower, upper);
    barAnchors.set(normalizedBarAnchors(anchors, duration));
}

void BeatloomViewModel::showRestored(std::string_view prefix, const std::string& actionName) {
    statusText.set(std::string(prefix) + actionName + ".");
    exportStatusText.set("");
    errorText.set("");
}

// While a drag is open its snapshot is the state the drag will be recorded against: stepping
// through the history under it would record the drag over a state the user never saw and drop
// the step it undid. Undo and redo wait until the drag has ended.
void BeatloomViewModel::undo() {
    if (transactionStart_) return;
    auto entry = editHistory_.undo();
    if (!entry) return;
    stopPreview(false);
    restoreEditorState(entry->before);
    showRestored(kUndidPrefix, entry->actionName);
}

void BeatloomViewModel::redo() {
    if (transactionStart_) return;
    auto entry = editHistory_.redo();
    if (!entry) return;
    stopPreview(false);
    restoreEditorState(entry->after);
    showRestored(kRedidPrefix, entry->actionName);
}

}  // namespace corvel::session
