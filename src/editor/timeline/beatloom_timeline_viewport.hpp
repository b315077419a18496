#pragma once

#include <QImage>
#include <QRectF>
#include <QWidget>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/grid_records.hpp"
#include "editor/timeline/timeline_labels.hpp"
#include "editor/timeline/timeline_layout.hpp"
#include "editor/timeline/timeline_pointer.hpp"

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
class WidgetBackdrop;

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
//
// What does not move with the locator or the play head is drawn into two pictures (the
// layers beneath the locator and play head, and those above them) that are drawn again only
// after something they show has changed; a frame in which only the locator or the play head
// moved repaints the strips they left and entered from those pictures.
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
    // The lines the input works with: the song's grid cut to the widened window.
    std::vector<BeatloomTimeline::GridLine> visibleGridLines() const;
    // The lines the layers draw and label: the visible ones, or per pixel column the strongest
    // one where they are denser than the pixels.
    std::vector<BeatloomTimeline::GridLine> drawnGridLines() const;
    // What the canvas draws for the current window; marker lines only for the handles shown.
    TimelineCanvasPlan canvasPlan() const;
    // The ruler labels drawn and their boxes, and the box of the "AUDIO START" tag when shown:
    // no two of them overlap.
    struct PlacedRulerLabel {
        RulerLabel label;
        QRectF box;
    };
    std::vector<PlacedRulerLabel> placedRulerLabels() const;
    // The ruler labels as the frame shows them with the locator where it is: a label its flag
    // would cover moves right of the flag or gives way (timeline_labels.hpp).
    std::vector<PlacedRulerLabel> shownRulerLabels() const;
    std::optional<QRectF> audioStartTagBox() const;
    // How often the pictures of the still layers were drawn.
    std::size_t layerRebuilds() const { return layerRebuilds_; }
    const PublishedRepaintBridge& repaintBridge() const { return *bridge_; }
    // What lies beneath the timeline in its window, painted under it so that it is opaque.
    const WidgetBackdrop& backdrop() const { return *backdrop_; }
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
    const SongGrid& songGrid() const;
    TimelineCanvasPlan canvasPlan(const std::vector<BeatloomTimeline::GridLine>& lines,
                                  const TimelinePointerInput::MarkerLane& lane) const;
    const WaveformLevels* waveformLevels() const;
    void paintLayer(QPainter& painter, TimelineLayer layer, const std::vector<BeatloomTimeline::GridLine>& lines,
                    const TimelinePointerInput::MarkerLane& lane) const;
    void paintCanvasBelowPlayPositions(QImage& picture, const TimelineCanvasPlan& plan) const;
    void paintPlayPositions(QPainter& painter) const;
    void paintLaneSeparators(QPainter& painter) const;
    void paintRulerLabels(QPainter& painter, const std::vector<BeatloomTimeline::GridLine>& lines) const;
    std::vector<PlacedRulerLabel> placedRulerLabels(const std::vector<BeatloomTimeline::GridLine>& lines) const;
    // Each ruler text drawn once, as a picture, with the size of its text.
    struct LabelPicture {
        QImage image;
        QSizeF textSize;
    };
    const LabelPicture& labelPicture(const RulerLabel& label) const;
    // Where the placed labels the flag of a locator at `locator` would cover stand instead.
    std::vector<LabelMove> labelsClearOfLocatorFlag(const std::vector<PlacedRulerLabel>& labels,
                                                    std::optional<double> locator) const;
    // The pixels a label's picture covers with its box at `box`.
    QRect labelPictureRect(const RulerLabel& label, const QRectF& box) const;
    // The pixels of the labels that move for the flag of a locator at `locator`, where they
    // were placed and where they stand.
    QRect movedLabelPixels(std::optional<double> locator) const;
    // The layers beneath the still pictures' labels: what lies beneath the timeline, the
    // pictures below the locator and play head, and those two.
    void paintBeneathStillLabels(QPainter& painter) const;
    // The pictures above the locator and play head, their labels moved for its flag.
    void paintRulerLabelsAroundFlag(QPainter& painter, std::optional<double> locator) const;
    void refreshStillLayers() const;
    // What a frame repaints after the published changes: everything when a still layer
    // changed, else the strips of the locator and the play head, where they were and are.
    void repaintChanges();
    QRect playPositionStrips() const;
    void reportWidth();
    void followLaneHeight();

    session::BeatloomViewModel& model_;
    audio::BeatloomPreviewPlayer& player_;
    BeatloomEditorUIState& ui_;
    PublishedRepaintBridge* bridge_ = nullptr;
    TimelinePointerInput* pointerInput_ = nullptr;
    WidgetBackdrop* backdrop_ = nullptr;
    mutable SongGrid songGrid_;
    mutable bool songLinesStale_ = true;
    mutable std::size_t songLineRebuilds_ = 0;
    mutable std::optional<WaveformLevels> waveformLevels_;
    mutable bool waveformLevelsStale_ = true;

    // The pictures of the still layers and what they were drawn for.
    struct StillLayerKey {
        double start = 0;
        double duration = 0;
        QSize size;
        qreal pixelRatio = 1;
        friend bool operator==(const StillLayerKey&, const StillLayerKey&) = default;
    };
    mutable QImage belowPlayPositions_;
    mutable QImage abovePlayPositions_;
    mutable std::optional<StillLayerKey> stillLayerKey_;
    mutable std::size_t layerRebuilds_ = 0;
    mutable bool stillLayersChanged_ = true;
    // Where the locator and play head were last drawn.
    mutable std::optional<double> drawnLocatorX_;
    mutable std::optional<double> drawnPlayheadX_;
    // The ruler labels in the still pictures: the locator's flag moves them aside as it passes.
    mutable std::vector<PlacedRulerLabel> stillRulerLabels_;
    mutable std::unordered_map<std::string, LabelPicture> labelPictures_;
};

}  // namespace corvel::editor
