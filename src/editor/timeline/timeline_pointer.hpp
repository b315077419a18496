#pragma once

#include <QColor>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QSizeF>

#include <optional>
#include <string>
#include <unordered_map>

#include "editor/timeline/flexible_timeline_overlay.hpp"
#include "editor/timeline/timeline_handles.hpp"
#include "editor/timeline/timeline_input.hpp"
#include "editor/timeline/timeline_labels.hpp"
#include "editor/timeline/viewport_surfaces.hpp"

class QMouseEvent;
class QPainter;
class QWheelEvent;

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;
class BeatloomTimelineViewport;

// The pointer input of the timeline. The timeline is one widget that paints all its layers, so
// this finds the topmost layer under the pointer itself (the locator flag, then the marker
// handles, the Free Time / Rubato overlay's anchors and pills, the input layer's Grid Fit lane,
// Range Select layer and seek surface) and runs the
// gesture that layer carries. It listens to the viewport's events and paints the layers it owns.
class TimelinePointerInput final : public QObject {
public:
    enum class HitTarget {
        none,
        locatorFlag,
        markerHandle,
        rhythmicAnchor,
        regionPill,
        gridFitLane,
        rangeSelection,
        seekSurface,
    };

    TimelinePointerInput(BeatloomTimelineViewport& viewport, session::BeatloomViewModel& model,
                         BeatloomEditorUIState& ui);

    // The layer that takes a press at this point of the viewport.
    HitTarget hitTest(QPointF position) const;
    // Every marker handle of the current window, bottom to top, wherever it would stand.
    std::vector<MarkerHandle> handles() const;
    // What the marker lane shows, bottom to top: the handles, the overlay's region pills and its
    // anchor markers, each where it stands once none covers another (timeline_marker_lane.hpp).
    // Items that gave way are not there: they are neither drawn nor hit.
    struct MarkerLane {
        std::vector<MarkerHandle> handles;
        std::vector<FlexibleRegionPill> pills;
        std::vector<RhythmicAnchorMarker> anchors;
        // The box of every item shown.
        std::vector<LabelBox> boxes() const;
    };
    MarkerLane markerLane() const;
    // The context menu a right click at this point opens; empty where there is none.
    std::vector<TimelineMenuItem> contextMenuAt(QPointF position) const;

    // The surfaces as the input layer places them for the current window.
    BeatloomWaveformSeekSurface seekSurface(bool optionHeld) const;
    BeatloomRangeSelectionSurface rangeSelectionSurface() const;
    const BeatloomGridFitLane& gridFitLane() const { return gridFitLane_; }

    // The input layer's own paint: the outline of the analysis selection's band, whose fill
    // the canvas lays into the waveform lane in this colour.
    static QColor selectionBandColour();
    void paintInputLayer(QPainter& painter) const;
    void paintFlexibleTimelineOverlay(QPainter& painter, const MarkerLane& lane) const;
    void paintMarkerHandles(QPainter& painter, const std::vector<MarkerHandle>& shown) const;
    void paintLocatorFlag(QPainter& painter) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Gesture {
        HitTarget target = HitTarget::none;
        QPointF start;
        bool dragging = false;
        std::optional<MarkerHandle> handle;
        std::optional<Uuid> anchorID;
    };

    // The layer under a point and, over the marker lane, the topmost item of it there: the
    // lane laid out once for the look.
    struct Hit {
        HitTarget target = HitTarget::none;
        std::optional<MarkerHandle> handle;
        std::optional<RhythmicAnchorMarker> anchor;
        std::optional<FlexibleRegionPill> pill;
    };
    Hit hitAt(QPointF position) const;

    std::string helpTextAt(QPointF position) const;
    void press(const QMouseEvent& event);
    void move(const QMouseEvent& event);
    void release(const QMouseEvent& event);
    bool wheel(const QWheelEvent& event);

    BeatloomTimelineViewport& viewport_;
    session::BeatloomViewModel& model_;
    BeatloomEditorUIState& ui_;
    std::optional<Gesture> gesture_;
    BeatloomGridFitLane gridFitLane_;
    std::optional<double> rangeDragStartSeconds_;
    // Each look of a handle drawn once, as a picture, and then laid wherever it stands.
    struct HandlePicture {
        QImage image;
        QSizeF size;  // in logical pixels, the handle centred in it
    };
    mutable std::unordered_map<std::string, HandlePicture> handlePictures_;
};

}  // namespace corvel::editor
