#pragma once

#include <QWidget>

#include <array>
#include <cstddef>
#include <vector>

#include "core/grid_records.hpp"
#include "editor/timeline_layout.hpp"

class QPainter;

namespace corvel::audio {
class BeatloomPreviewPlayer;
}
namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;
class PublishedRepaintBridge;
class TimelinePointerInput;

// The layers of the timeline from the bottom up. The widget paints them all, in this order,
// and later hit-tests them from the top down; a layer that is not there yet paints nothing.
enum class TimelineLayer { canvas, input, flexibleTimelineOverlay, rulerLabels, markerHandles, locatorFlag };
inline constexpr std::array<TimelineLayer, 6> kTimelineLayerOrder{
    TimelineLayer::canvas,      TimelineLayer::input,         TimelineLayer::flexibleTimelineOverlay,
    TimelineLayer::rulerLabels, TimelineLayer::markerHandles, TimelineLayer::locatorFlag,
};

// The zoomable timeline of the tempo editor: bar ruler, marker lane, waveform lane and time
// ruler over the session's visible window. It keeps nothing of the song itself; it redraws
// from the session, the preview player and the editor state whenever they publish, and tells
// the session its width and the moving play position.
class BeatloomTimelineViewport final : public QWidget {
public:
    static constexpr double kRulerHeight = 38;
    static constexpr double kMarkerLaneHeight = 58;
    static constexpr double kTimeRulerHeight = 26;
    static constexpr double kCornerRadius = 10;

    BeatloomTimelineViewport(session::BeatloomViewModel& model, audio::BeatloomPreviewPlayer& player,
                             BeatloomEditorUIState& ui, QWidget* parent = nullptr);
    ~BeatloomTimelineViewport() override;

    BeatloomTimelineGeometry geometry() const;
    // The session's window over the width the lanes have now.
    BeatloomTimelineWindow window() const;
    // The grid of the whole song, rebuilt only after the map, the result or the grid
    // resolution changed.
    const std::vector<BeatloomTimeline::GridLine>& songLines() const;
    std::size_t songLineRebuilds() const { return songLineRebuilds_; }
    // The lines every layer works with: the song's grid cut to the widened window.
    std::vector<BeatloomTimeline::GridLine> visibleGridLines() const;
    TimelineCanvasPlan canvasPlan() const;
    const PublishedRepaintBridge& repaintBridge() const { return *bridge_; }
    // Hit-testing and the gestures of the input layer, the handles and the locator flag.
    TimelinePointerInput& pointerInput() const { return *pointerInput_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Paints every layer in stacking order.
    void paintTimeline(QPainter& painter) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void paintLayer(QPainter& painter, TimelineLayer layer,
                    const std::vector<BeatloomTimeline::GridLine>& lines) const;
    void paintCanvas(QPainter& painter, const TimelineCanvasPlan& plan) const;
    void paintRulerLabels(QPainter& painter, const std::vector<BeatloomTimeline::GridLine>& lines) const;
    void reportWidth();
    void followLaneHeight();

    session::BeatloomViewModel& model_;
    audio::BeatloomPreviewPlayer& player_;
    BeatloomEditorUIState& ui_;
    PublishedRepaintBridge* bridge_ = nullptr;
    TimelinePointerInput* pointerInput_ = nullptr;
    mutable std::vector<BeatloomTimeline::GridLine> songLines_;
    mutable bool songLinesStale_ = true;
    mutable std::size_t songLineRebuilds_ = 0;
};

}  // namespace corvel::editor
