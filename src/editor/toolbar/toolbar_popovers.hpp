#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

#include <QPointer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/observable.hpp"
#include "core/tempo_map_records.hpp"

class QMenu;
class QMessageBox;

namespace corvel::audio {
class BeatloomPreviewPlayer;
}
namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;
class PublishedRepaintBridge;

// Which of the toolbar's rows fits its width; the narrower rows drop controls or fold them
// into the "More" menu.
enum class BeatloomToolbarLayout { full, medium, compact };

// One preset of the toolbar's time-signature choices; "6/8" names it.
struct BeatloomMeterChoice {
    std::int64_t numerator = 4;
    std::int64_t denominator = 4;
    std::string id() const;
    friend bool operator==(const BeatloomMeterChoice&, const BeatloomMeterChoice&) = default;
};

// The look of a toolbar button that switches a mode or option on and off.
struct BeatloomModeButtonStyle {
    static constexpr int fontPixelSize = 13;
    static constexpr int horizontalPadding = 12;
    static constexpr int minimumHeight = 38;
    static constexpr qreal cornerRadius = 10;
    static constexpr qreal outlineOpacity = 0.12;
    static constexpr qreal fillEndOpacity = 0.075;

    struct Appearance {
        qreal textOpacity = 0.96;
        qreal accentOpacity = 0;    // of the accent gradient; 0 while not active
        qreal fillStartOpacity = 0; // of the white gradient's first stop; 0 while active
    };

    bool active = false;

    Appearance appearance(bool pressed) const;
    static QFont font();
    // The button's body: background, outline and the label centred over them.
    void paint(QPainter& painter, const QRectF& rect, const QString& label, bool pressed) const;
};

// A toolbar toggle in the mode-button look; `active` says whether what it toggles is on.
class BeatloomModeButton final : public QAbstractButton {
public:
    explicit BeatloomModeButton(const QString& text, QWidget* parent = nullptr);

    static constexpr int kSymbolOnlySide = 20;
    static constexpr int kSymbolBesideTextSide = 14;
    static constexpr int kSymbolSpacing = 6;

    bool active() const { return style_.active; }
    void setActive(bool active);
    // An optional symbol of the app's set before the label (or alone when there is no text).
    void setSystemImage(const QString& systemImage);
    QString systemImage() const;
    const BeatloomModeButtonStyle& buttonStyle() const { return style_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int symbolSide() const;

    BeatloomModeButtonStyle style_;
};

// The one-row strip above the timeline: transport, tempo readout, meter, grid, modes, Bar 1,
// zoom, undo and redo, view, help, export and Clear Project. Its width picks one of three rows;
// every label, tool tip and enabled state is read again whenever the session, the player or the
// editor state publishes a change. The popovers its buttons open (Grid, Click, View, Keyboard
// Shortcuts) keep nothing themselves: they show and write the editor state, the session's
// page-follow and Free Time click settings, and the preview player's click, and they are
// opened and closed through the editor state's flags.
class BeatloomEditorToolbar final : public QWidget {
public:
    static constexpr std::array<BeatloomMeterChoice, 8> meterChoices{{
        {2, 4}, {3, 4}, {4, 4}, {5, 4}, {6, 8}, {7, 8}, {9, 8}, {12, 8},
    }};
    static constexpr int kGridPopoverWidth = 250;
    static constexpr int kViewPopoverWidth = 260;
    static constexpr int kClickPopoverWidth = 280;
    static constexpr int kShortcutsPopoverWidth = 270;

    BeatloomEditorToolbar(session::BeatloomViewModel& model, audio::BeatloomPreviewPlayer& player,
                          BeatloomEditorUIState& ui, QWidget* parent = nullptr);

    static constexpr int kRowHeight = 52;
    static constexpr int kMeterPopoverWidth = 300;
    static constexpr double kZoomStep = 1.35;
    static constexpr const char* kRangeSelectStatus =
        "Range Select: drag across the waveform, then choose Re-analyze Selection.";

    ~BeatloomEditorToolbar() override;

    session::BeatloomViewModel& model() const { return model_; }
    audio::BeatloomPreviewPlayer& player() const { return player_; }
    BeatloomEditorUIState& ui() const { return ui_; }

    // The custom time signature being put together, the Clear Project question and the tempo
    // popover: the toolbar's own, started afresh whenever the toolbar is built.
    std::int64_t customNumerator = 4;
    std::int64_t customDenominator = 4;
    bool showClearConfirmation = false;
    Published<bool> showTempoPopover{false};

    // Each call builds a new popover content, live for as long as it exists.
    QWidget* gridPopover() const;
    QWidget* clickPopover() const;
    QWidget* viewPopover() const;
    QWidget* shortcutsPopover() const;

    // ---- Layout
    // The widest row whose controls all fit `width` at their natural sizes; the compact row when
    // none does.
    BeatloomToolbarLayout layoutMode(int width);
    // The width a row needs to show every control at its natural size. Every label that changes
    // with the song keeps the width of its widest text, so this holds for the toolbar's lifetime.
    int requiredWidth(BeatloomToolbarLayout layout);
    BeatloomToolbarLayout currentLayout() const { return layout_; }
    // The row in use, rebuilt when the width moves into another layout.
    QWidget* row() const { return row_; }

    // ---- Actions
    void toggleRangeSelection();
    void toggleFlag(Published<bool>& flag);
    void toggleClick();
    void toggleMeterPopover();
    void openTempoPopover();
    void requestClearProject();
    void clearProject();
    // The confirmation asked by Clear Project while it is open, else none.
    QMessageBox* clearConfirmation() const;
    bool canExtendPickup() const;

    // ---- Texts the labels show
    static QString gridResolutionText(BeatloomGridResolution resolution);
    // The grid button's text: "Grid 1/8".
    static QString gridText(BeatloomGridResolution resolution);
    QString tempoValueText() const;
    QString meterText() const;
    QString zoomText() const;
    static QString zoomText(double zoom);
    QString undoHelp() const;
    QString redoHelp() const;

    // ---- Control groups the rows insert whole
    QWidget* tempoScaleButtons();
    QWidget* barOneGroup(bool compact);
    QWidget* zoomGroup();
    QWidget* zoomShortcutCarrier();
    QWidget* undoRedoGroup();

    // ---- The row's own controls
    QWidget* transportGroup(bool showClickSettings);
    QWidget* tempoReadout();
    QWidget* meterButton();
    QWidget* gridButton();
    QWidget* rangeSelectButton();
    QWidget* gridFitToggle(bool showText);
    QWidget* viewOptionsButton();
    QWidget* shortcutsButton();
    QWidget* exportButton(bool showText);
    QWidget* clearProjectButton();
    QWidget* moreMenu();
    QWidget* fullRow();
    QWidget* mediumRow();
    QWidget* compactRow();

    // The timeline-mode menu of each row, made by whoever owns the modes; none until it is set.
    void setTimelineModeMenu(std::function<QWidget*(bool showText)> builder);

    // ---- The "More" menu of the narrower rows and the meter popover
    // Fills `menu` with the controls the narrower rows leave out.
    void populateMoreMenu(QMenu& menu);
    QWidget* meterPopover();

    QSize minimumSizeHint() const override;

    // Reads every label, tool tip and enabled state again from the models.
    void refresh();

    static QWidget* popoverHeader(const QString& title, const std::optional<QString>& subtitle = std::nullopt);
    static QWidget* shortcutRow(const QString& key, const QString& action);
    // The click level in per cent as the Click popover shows it: "150%".
    static QString clickVolumeText(double volume);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Calls one session operation and shows its outcome at once.
    void runSessionAction(const std::function<void(session::BeatloomViewModel&)>& operation);
    // Keeps a label, tool tip or enabled state of the current row following the models.
    void follow(std::function<void()> update);
    void rebuildRow(BeatloomToolbarLayout layout);
    QWidget* buildRow(BeatloomToolbarLayout layout);
    // A popover under `anchor` following `isPresented`; none while a row is only being measured.
    void attachPopover(Published<bool>& isPresented, QWidget* anchor, std::function<QWidget*()> buildContent);
    // The meter popover under `anchor`, following `ui.showMeterPopover`.
    void attachMeterPopover(QWidget* anchor);
    QWidget* divider() const;

    session::BeatloomViewModel& model_;
    audio::BeatloomPreviewPlayer& player_;
    BeatloomEditorUIState& ui_;
    BeatloomToolbarLayout layout_ = BeatloomToolbarLayout::compact;
    // Set while a row is built only to measure it.
    bool measuring_ = false;
    std::array<std::optional<int>, 3> requiredWidths_;
    QWidget* row_ = nullptr;
    std::vector<std::function<void()>> updates_;
    QPointer<QWidget> clearAlert_;
    std::function<QWidget*(bool showText)> timelineModeMenu_;
    std::unique_ptr<PublishedRepaintBridge> bridge_;
};

}  // namespace corvel::editor
