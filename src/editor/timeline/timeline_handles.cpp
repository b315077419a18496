#include "editor/timeline/timeline_handles.hpp"

#include <set>
#include <utility>

#include "common/format.hpp"
#include "common/numeric.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using BeatloomGridFitter::AnchorStatus;
using Kind = MarkerHandleKind;

// The song-start marker and time signature stay where the song starts.
constexpr double kSongStartTolerance = 0.0005;

struct EdgeMargins {
    double left;   // m: the smallest centre x
    double right;  // k: the centre stays k + 2 px inside the right edge
};

EdgeMargins edgeMargins(Kind kind) {
    switch (kind) {
        case Kind::songBarOne: return {14, 12};
        case Kind::tempoMarker: return {30, 28};
        case Kind::timeSignature: return {26, 24};
        case Kind::lockedDownbeat: return {14, 12};
        case Kind::gridFitAnchor: break;
    }
    return {8, 6};
}

double centreY(Kind kind, const BeatloomTimelineGeometry& geometry) {
    switch (kind) {
        case Kind::songBarOne: return geometry.rulerHeight + 50;
        case Kind::tempoMarker: return geometry.rulerHeight + 14;
        case Kind::timeSignature: return geometry.rulerHeight + 34;
        case Kind::lockedDownbeat: return geometry.rulerHeight + 50;
        case Kind::gridFitAnchor: break;
    }
    return geometry.rulerHeight + geometry.markerLaneHeight - 7;
}

MarkerHandle placed(Kind kind, double seconds, const BeatloomTimelineWindow& window,
                    const BeatloomTimelineGeometry& geometry) {
    MarkerHandle handle;
    handle.kind = kind;
    handle.timeSeconds = seconds;
    handle.centreX = markerHandleCentreX(kind, seconds, window);
    handle.centreY = centreY(kind, geometry);
    return handle;
}

// "+2.5" / "-0.4": a signed number with one decimal.
std::string signedFixed(double value) {
    std::string text = formatFixed(value, 1);
    if (!text.empty() && text.front() != '-') text.insert(text.begin(), '+');
    return text;
}

std::string gridFitAnchorHelpText(const BeatloomGridFitAnchor& anchor,
                                  const std::optional<BeatloomGridFitter::AnchorEvaluation>& evaluation) {
    if (!evaluation) return anchor.displayLabel();
    return anchor.displayLabel() + " · " + signedFixed(evaluation->residualSeconds * 1000) + " ms";
}

bool snapAt(const BeatloomEditorUIState& ui, bool optionHeld) { return ui.snapEnabled.value() && !optionHeld; }

}  // namespace

double markerHandleCentreX(MarkerHandleKind kind, double seconds, const BeatloomTimelineWindow& window) {
    const auto [m, k] = edgeMargins(kind);
    return minIgnoringNaN(maxIgnoringNaN(window.x(seconds), m), maxIgnoringNaN(window.width - k - 2, m));
}

std::string songBarOneHelpText(std::int64_t pickupBarCount) {
    if (pickupBarCount < 1) {
        return "Bar 1 / Beat 1 · drag onto the first transient to shift the whole grid without changing tempo";
    }
    return "Bar 1 · drag to align the grid phase · " + formatInteger(pickupBarCount) + " pickup bar" +
           (pickupBarCount == 1 ? "" : "s") + " before it";
}

std::vector<MarkerLine> markerLinesOfShownHandles(const std::vector<MarkerLine>& lines,
                                                  const std::vector<MarkerHandle>& shown,
                                                  const BeatloomTimelineWindow& window) {
    const auto lineKind = [](Kind kind) {
        switch (kind) {
            case Kind::songBarOne: return MarkerLineKind::songBarOne;
            case Kind::tempoMarker: return MarkerLineKind::tempoPoint;
            case Kind::timeSignature: return MarkerLineKind::meterEvent;
            case Kind::lockedDownbeat: return MarkerLineKind::lockedDownbeat;
            case Kind::gridFitAnchor: break;
        }
        return MarkerLineKind::gridFitAnchor;
    };
    // A line and its handle place their item's time with the same mapping.
    std::set<std::pair<MarkerLineKind, double>> shownAt;
    for (const auto& handle : shown) shownAt.emplace(lineKind(handle.kind), window.x(handle.timeSeconds));
    std::vector<MarkerLine> kept;
    for (const auto& line : lines) {
        if (shownAt.count({line.kind, line.x}) != 0) kept.push_back(line);
    }
    return kept;
}

std::vector<MarkerHandle> markerHandles(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                                        const BeatloomTimelineWindow& window,
                                        const BeatloomTimelineGeometry& geometry) {
    std::vector<MarkerHandle> handles;

    if (const auto barOne = model.barOneSeconds.value(); barOne && window.inWidenedWindow(*barOne)) {
        auto handle = placed(Kind::songBarOne, *barOne, window, geometry);
        handle.text = "1";
        handle.helpText = songBarOneHelpText(model.pickupBarCount.value());
        handle.movable = true;
        handles.push_back(std::move(handle));
    }

    const auto& points = model.editableTempoPoints.value();
    for (const auto& point : points) {
        if (!window.inWidenedWindow(point.timeSeconds)) continue;
        auto handle = placed(Kind::tempoMarker, point.timeSeconds, window, geometry);
        handle.id = point.id;
        handle.text = formatFixed(point.bpm, 1);
        handle.helpText = "Tempo marker · " + handle.text + " BPM";
        handle.movable = point.id != points.front().id;
        handle.selected = model.selectedTempoPointID.value() == point.id;
        handles.push_back(std::move(handle));
    }

    for (const auto& event : model.meterEvents.value()) {
        if (!window.inWidenedWindow(event.timeSeconds)) continue;
        auto handle = placed(Kind::timeSignature, event.timeSeconds, window, geometry);
        handle.id = event.id;
        handle.numerator = event.numerator;
        handle.denominator = event.denominator;
        handle.text = formatInteger(event.numerator) + "/" + formatInteger(event.denominator);
        handle.movable = event.timeSeconds > kSongStartTolerance;
        handles.push_back(std::move(handle));
    }

    for (const auto& anchor : model.barAnchors.value()) {
        if (!window.inWidenedWindow(anchor.timeSeconds)) continue;
        auto handle = placed(Kind::lockedDownbeat, anchor.timeSeconds, window, geometry);
        handle.id = anchor.id;
        handle.helpText = "Locked 1 / downbeat anchor";
        handle.movable = true;
        handles.push_back(std::move(handle));
    }

    if (ui.gridFitMode.value()) {
        const auto& fit = model.gridFitResult.value();
        for (const auto& anchor : model.gridFitAnchors.value()) {
            if (!window.inWidenedWindow(anchor.timeSeconds)) continue;
            auto handle = placed(Kind::gridFitAnchor, anchor.timeSeconds, window, geometry);
            handle.id = anchor.id;
            handle.quarterPosition = anchor.quarterPosition;
            handle.isLocked = anchor.isLocked;
            std::optional<BeatloomGridFitter::AnchorEvaluation> evaluation;
            if (fit) {
                for (const auto& candidate : fit->evaluations) {
                    if (candidate.anchorID == anchor.id) {
                        evaluation = candidate;
                        break;
                    }
                }
            }
            handle.status = evaluation ? evaluation->status : AnchorStatus::good;
            handle.helpText = gridFitAnchorHelpText(anchor, evaluation);
            handles.push_back(std::move(handle));
        }
    }
    return handles;
}

std::optional<double> markerHandleDragDistance(MarkerHandleKind kind) {
    switch (kind) {
        case Kind::songBarOne: return 1.0;
        case Kind::tempoMarker:
        case Kind::timeSignature:
        case Kind::lockedDownbeat: return 2.0;
        case Kind::gridFitAnchor: break;
    }
    // Grid Fit anchors move by dragging their grid line in the Grid Fit lane.
    return std::nullopt;
}

void markerHandleClicked(session::BeatloomViewModel& model, const MarkerHandle& handle) {
    switch (handle.kind) {
        case Kind::tempoMarker: model.selectedTempoPointID.set(handle.id); [[fallthrough]];
        case Kind::songBarOne:
        case Kind::timeSignature:
        case Kind::lockedDownbeat: model.seek(handle.timeSeconds); return;
        case Kind::gridFitAnchor: return;
    }
}

void markerHandleDragChanged(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                             const MarkerHandle& handle, double seconds, bool optionHeld) {
    const auto resolution = ui.gridResolution.value();
    switch (handle.kind) {
        case Kind::songBarOne:
            model.beginSongBarOneDrag();
            // Bar 1 looks for a transient itself rather than for a grid line.
            model.updateSongBarOneDrag(ui.transientSnapEnabled.value() && !optionHeld, seconds);
            return;
        case Kind::tempoMarker:
            if (!handle.movable) return;
            model.beginTransaction("Move Tempo Marker");
            model.updateTempoPointDrag(handle.id, snapAt(ui, optionHeld), resolution, seconds);
            return;
        case Kind::timeSignature:
            if (!handle.movable) return;
            model.beginTransaction("Move Time Signature");
            model.updateMeterEventDrag(handle.id, snapAt(ui, optionHeld), resolution, seconds);
            return;
        case Kind::lockedDownbeat:
            model.beginTransaction("Move Locked 1");
            model.updateBarAnchorDrag(handle.id, snapAt(ui, optionHeld), resolution, seconds);
            return;
        case Kind::gridFitAnchor: return;
    }
}

void markerHandleDragEnded(session::BeatloomViewModel& model, const MarkerHandle& handle) {
    switch (handle.kind) {
        case Kind::songBarOne: model.endTransaction(session::BeatloomViewModel::kSongBarOneMovedStatus); return;
        case Kind::tempoMarker:
            if (handle.movable) model.endTransaction("Tempo marker moved.");
            return;
        case Kind::timeSignature:
            if (handle.movable) model.endTransaction("Time-signature marker moved.");
            return;
        case Kind::lockedDownbeat: model.endTransaction("Locked downbeat anchor moved."); return;
        case Kind::gridFitAnchor: return;
    }
}

std::vector<TimelineMenuItem> markerHandleContextMenu(session::BeatloomViewModel& model, const MarkerHandle& handle) {
    auto* session = &model;
    const Uuid id = handle.id;
    std::vector<TimelineMenuItem> items;
    switch (handle.kind) {
        case Kind::songBarOne:
            items.push_back({"Extend Grid Backward One Bar", false, false, [session] { session->extendPickupOneBar(); }});
            items.push_back(
                {"Extend Grid Backward to Audio Start", false, false, [session] { session->extendPickupToAudioStart(); }});
            if (model.pickupBarCount.value() >= 1) {
                items.push_back({"", false, true, {}});
                items.push_back({"Remove Pickup Bars", true, false, [session] { session->removePickupBars(); }});
            }
            break;
        case Kind::tempoMarker:
            if (handle.movable) {
                items.push_back({"Delete Tempo Marker", true, false, [session, id] { session->deleteTempoPoint(id); }});
            }
            break;
        case Kind::timeSignature:
            if (handle.movable) {
                items.push_back({"Delete " + formatInteger(handle.numerator) + "/" + formatInteger(handle.denominator) +
                                     " Change",
                                 true, false, [session, id] { session->deleteTimeSignature(id); }});
            }
            break;
        case Kind::lockedDownbeat:
            items.push_back({"Delete Locked 1", true, false, [session, id] { session->removeManualBarStart(id); }});
            break;
        case Kind::gridFitAnchor: {
            const double quarter = handle.quarterPosition;
            items.push_back({"Set as Locked 1", false, false, [session, id] { session->setGridAnchorAsLocalBarStart(id); }});
            items.push_back(
                {"Set as Song Bar 1 (Absolute)", false, false, [session, id] { session->setGridAnchorAsSongBarOne(id); }});
            items.push_back({handle.isLocked ? "Unlock Anchor" : "Lock Anchor", false, false,
                             [session, id] { session->toggleGridAnchorLock(id); }});
            items.push_back({"", false, true, {}});
            items.push_back({"Remove Anchor", true, false, [session, quarter] { session->deleteGridAnchor(quarter); }});
            break;
        }
    }
    return items;
}

}  // namespace corvel::editor
