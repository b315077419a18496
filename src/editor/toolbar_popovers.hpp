#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/observable.hpp"

namespace corvel::audio {
class BeatloomPreviewPlayer;
}
namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;

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

    bool active() const { return style_.active; }
    void setActive(bool active);
    const BeatloomModeButtonStyle& buttonStyle() const { return style_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    BeatloomModeButtonStyle style_;
};

// The editor toolbar's own state and the content of the popovers its buttons open: Grid,
// Click, View and Keyboard Shortcuts. The popovers keep nothing themselves: they show and
// write the editor state, the session's page-follow and Free Time click settings, and the
// preview player's click, and they are opened and closed through the editor state's flags.
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

    static QWidget* popoverHeader(const QString& title, const std::optional<QString>& subtitle = std::nullopt);
    static QWidget* shortcutRow(const QString& key, const QString& action);
    // The click level in per cent as the Click popover shows it: "150%".
    static QString clickVolumeText(double volume);

private:
    session::BeatloomViewModel& model_;
    audio::BeatloomPreviewPlayer& player_;
    BeatloomEditorUIState& ui_;
};

}  // namespace corvel::editor
