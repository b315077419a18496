#pragma once

#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

#include "core/grid_fitter.hpp"
#include "core/tempo_map_records.hpp"

class QLabel;

namespace corvel::theme {
class OrvantaButton;
}
namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;
class PopoverFrame;
class PublishedRepaintBridge;

// The bar under the toolbar in Grid Fit mode: how many anchors there are, the fitted tempo and
// how well it fits, and the buttons that apply the fit, cancel it, or (in its more popover)
// switch transient snapping, lock the anchors' span against later fits, unlock such spans and
// clear the anchors. It shows the session and the editor state and keeps nothing of its own.
class BeatloomGridFitContextBar final : public QWidget {
public:
    BeatloomGridFitContextBar(session::BeatloomViewModel& model, BeatloomEditorUIState& ui, QWidget* parent = nullptr);
    ~BeatloomGridFitContextBar() override;

    // Removes the chosen locked range as one undoable step.
    void unlockCorrectedSection(const BeatloomLockedRange& range);

    // The texts the bar shows for a fit.
    static QString anchorCountText(std::size_t count);
    static QString fittedTempoText(double bpm);
    static QString fitErrorText(double rmsErrorSeconds);
    // Empty without outliers.
    static QString outlierText(std::int64_t outlierCount);
    static QString lockedRangeText(const BeatloomLockedRange& range);

    QWidget* morePopoverContent() const;
    const PublishedRepaintBridge& repaintBridge() const { return *bridge_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildMorePopover();
    void refresh();
    void refreshMorePopover();

    session::BeatloomViewModel& model_;
    BeatloomEditorUIState& ui_;
    PublishedRepaintBridge* bridge_ = nullptr;
    QLabel* anchorCount_ = nullptr;
    QLabel* hint_ = nullptr;
    QWidget* fitDivider_ = nullptr;
    QLabel* fittedTempo_ = nullptr;
    QLabel* fitError_ = nullptr;
    QLabel* outliers_ = nullptr;
    theme::OrvantaButton* apply_ = nullptr;
    theme::OrvantaButton* more_ = nullptr;
    PopoverFrame* morePopover_ = nullptr;
    // The more popover's controls while it is open.
    QPointer<QPushButton> lockRange_;
    QPointer<QPushButton> unlockRange_;
    QPointer<QPushButton> clearAnchors_;
};

}  // namespace corvel::editor
