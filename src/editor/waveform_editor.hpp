#pragma once

#include <QString>
#include <QWidget>

#include <optional>

#include "core/tempo_map_records.hpp"
#include "core/waveform_data.hpp"

class QLabel;

namespace corvel::theme {
class OrvantaButton;
class SymbolImage;
}  // namespace corvel::theme
namespace corvel::audio {
class BeatloomPreviewPlayer;
}
namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorToolbar;
class BeatloomEditorUIState;
class BeatloomGridFitContextBar;
class BeatloomTimelineViewport;
class PublishedRepaintBridge;

// The rounded panel of a loaded song: the editor toolbar, the range-selection bar, the Grid Fit
// context bar, and under them the timeline with its status row, or the loading or unavailable
// state in its place. It keeps nothing of its own: which parts show follows the session and
// the editor state, and its three buttons write back to them. Without a result it shows nothing.
class BeatloomWaveformEditor final : public QWidget {
public:
    static constexpr int kSpacing = 9;
    static constexpr int kPadding = 12;
    static constexpr qreal kCornerRadius = 16;
    static constexpr double kMinimumReanalysisSeconds = 4.0;

    BeatloomWaveformEditor(session::BeatloomViewModel& model, audio::BeatloomPreviewPlayer& player,
                           BeatloomEditorUIState& ui, QWidget* parent = nullptr);
    ~BeatloomWaveformEditor() override;

    // The texts the panel shows.
    static QString selectionText(const BeatloomTimeRange& selection);
    static QString musicalPositionText(const std::optional<BeatloomMusicalPosition>& position);
    // Empty without a tempo.
    static QString tempoText(const std::optional<double>& bpm);
    static QString cacheHelpText(const BeatloomWaveformData& waveform);

    // The parts, top to bottom, for whoever needs to find them.
    BeatloomEditorToolbar* toolbar() const { return toolbar_; }
    QWidget* rangeSelectionBar() const { return rangeBar_; }
    BeatloomGridFitContextBar* gridFitContextBar() const { return gridFitBar_; }
    QWidget* loadingState() const { return loading_; }
    BeatloomTimelineViewport* timelineViewport() const { return viewport_; }
    QWidget* statusRow() const { return statusRow_; }
    QWidget* unavailableState() const { return unavailable_; }
    const PublishedRepaintBridge& repaintBridge() const { return *bridge_; }

    // Shows what the session and the editor state hold now; runs by itself once per turn of
    // the event loop after either published.
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* makeRangeSelectionBar();
    QWidget* makeLoadingState();
    QWidget* makeUnavailableState();
    QWidget* makeStatusRow();
    void refreshRangeSelectionBar();
    void refreshStatusRow();

    session::BeatloomViewModel& model_;
    audio::BeatloomPreviewPlayer& player_;
    BeatloomEditorUIState& ui_;
    PublishedRepaintBridge* bridge_ = nullptr;

    BeatloomEditorToolbar* toolbar_ = nullptr;
    QWidget* rangeBar_ = nullptr;
    QWidget* selectionPart_ = nullptr;
    QLabel* selectionLabel_ = nullptr;
    theme::OrvantaButton* reanalyze_ = nullptr;
    QWidget* hintPart_ = nullptr;
    BeatloomGridFitContextBar* gridFitBar_ = nullptr;
    QWidget* loading_ = nullptr;
    BeatloomTimelineViewport* viewport_ = nullptr;
    QWidget* statusRow_ = nullptr;
    QLabel* locator_ = nullptr;
    QLabel* position_ = nullptr;
    QLabel* tempo_ = nullptr;
    theme::SymbolImage* follow_ = nullptr;
    QWidget* unavailable_ = nullptr;
    QLabel* errorText_ = nullptr;
    // Whether the panel's own box is drawn: the children repaint themselves as they change,
    // so the panel repaints only when its box comes or goes.
    bool boxShown_ = false;
};

}  // namespace corvel::editor
