#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QLinearGradient>
#include <QPalette>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <functional>

class QPainter;

namespace corvel::theme {

// Typeface families the screens ask for. Linux has no rounded system face, so "rounded"
// falls back to the standard face; the monospaced one is the system's fixed-width font.
enum class FontDesign { standard, rounded, monospaced };

// The shared dark look: named colours, gradients and fonts. Every value is built once on
// first use (thread-safe static initialisation) and shared afterwards.
struct OrvantaTheme {
    static const QColor& background();
    static const QColor& panelFill();
    static const QColor& panelStroke();
    static const QColor& secondaryText();
    static const QColor& mutedText();
    static const QColor& pink();
    static const QColor& blue();
    // The platform accent colours the window glow and the primary button's shadow use.
    static const QColor& standardBlue();
    static const QColor& standardPink();
    // The platform's named colours in the dark scheme, for status and warning marks.
    static const QColor& standardGreen();
    static const QColor& standardOrange();
    static const QColor& standardRed();
    static const QColor& standardCyan();
    static const QColor& standardPurple();
    static const QColor& standardGray();
    // The platform's divider line.
    static const QColor& separator();

    // The gradients' colour stops, spaced evenly from 0 to 1.
    static const QGradientStops& accentStops();
    static const QGradientStops& brandStops();
    static const QGradientStops& markStops();

    // The gradients laid over a rectangle: accent and mark run from the leading to the
    // trailing edge, brand from the top-leading to the bottom-trailing corner.
    static QLinearGradient accentGradient(const QRectF& rect);
    static QLinearGradient brandGradient(const QRectF& rect);
    static QLinearGradient markGradient(const QRectF& rect);

    // The window background: base colour, a blue glow from the top-leading corner and a
    // pink glow from the top-trailing corner.
    static void paintBackgroundGlow(QPainter& painter, const QRectF& area);

    static QColor white(qreal opacity);
    static QColor black(qreal opacity);
    static QFont font(int pixelSize, QFont::Weight weight, FontDesign design = FontDesign::standard);
    // How strongly a control that can't be used now is drawn: its colours at this share of
    // their opacity.
    static constexpr qreal disabledOpacity = 0.42;
    // `color` as a control that can't be used now shows it.
    static QColor disabled(const QColor& color);
    // Gives `role` the colour `color` while the widget can be used and its dimmed form while it
    // can't.
    static void setRoleColor(QPalette& palette, QPalette::ColorRole role, const QColor& color);
    // Sets the colour a label, text view, button or switch draws its text in (dimmed while disabled).
    static void setTextColor(QWidget* widget, const QColor& color);
    // The palette of the dark colour scheme, for the parts Qt's own style draws (scroll bars,
    // text selection, menus, switches); its Disabled group is dimmed, so a control that can't
    // be used looks so.
    static QPalette darkPalette();
};

// A rounded panel: the content padded by `padding`, over a rounded rectangle filled with
// the panel fill and stroked with the panel stroke; only that rectangle casts a shadow.
struct OrvantaPanelModifier {
    qreal cornerRadius = 0;
    int padding = 0;
};

class OrvantaPanel : public QWidget {
public:
    explicit OrvantaPanel(OrvantaPanelModifier modifier, QWidget* parent = nullptr);
    ~OrvantaPanel() override;

    const OrvantaPanelModifier& modifier() const { return modifier_; }
    // Draws the whole panel, its rounded rectangle and shadow included, at this opacity.
    void setPanelOpacity(qreal opacity);
    qreal panelOpacity() const { return opacity_; }

protected:
    bool event(QEvent* event) override;

private:
    void followParent();
    void syncBackdrop();

    OrvantaPanelModifier modifier_;
    qreal opacity_ = 1;
    // The painted rectangle lives beside the panel under the same parent, so that its shadow
    // can fall outside the panel and the content casts none.
    QPointer<QWidget> backdrop_;
};

// How a theme button looks in one press state.
struct ButtonAppearance {
    qreal backgroundOpacity = 1;  // of the primary fill gradient
    qreal topFillOpacity = 0;     // of the secondary gradient's first stop
    qreal textOpacity = 1;
    qreal shadowOpacity = 0;      // 0: no shadow
    qreal scale = 1;
};

struct OrvantaPrimaryButtonStyle {
    static constexpr int fontPixelSize = 15;
    static constexpr int horizontalPadding = 18;
    static constexpr int minimumHeight = 44;
    static constexpr qreal cornerRadius = 11;
    static ButtonAppearance appearance(bool pressed);
};

struct OrvantaSecondaryButtonStyle {
    static constexpr int fontPixelSize = 14;
    static constexpr int horizontalPadding = 15;
    static constexpr int minimumHeight = 40;
    static constexpr qreal cornerRadius = 10;
    static ButtonAppearance appearance(bool pressed);
};

// A button in one of the two theme styles; its label is an optional symbol (by symbol name,
// kept in the "systemImage" property) followed by the text.
class OrvantaButton : public QAbstractButton {
public:
    enum class Style { primary, secondary };

    OrvantaButton(Style style, const QString& text, const QString& systemImage = {}, QWidget* parent = nullptr);

    Style style() const { return style_; }
    // Shows another symbol in place of the current one (a state shown by the symbol alone).
    void setSystemImage(const QString& systemImage);
    ButtonAppearance currentAppearance() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateShadow();

    Style style_;
    QString systemImage_;
};

// A text filled with the brand gradient.
class OrvantaGradientText : public QLabel {
public:
    explicit OrvantaGradientText(const QString& text, QWidget* parent = nullptr) : QLabel(text, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A line in the platform's divider colour with `overlay` laid over it; its thickness is the
// widget's width or height.
class OrvantaDivider : public QWidget {
public:
    explicit OrvantaDivider(QColor overlay = Qt::transparent, QWidget* parent = nullptr)
        : QWidget(parent), overlay_(overlay) {}

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor overlay_;
};

// A small tracked upper-case caption over a section of a screen.
class OrvantaSectionLabel : public QLabel {
public:
    explicit OrvantaSectionLabel(const QString& text, QWidget* parent = nullptr);
};

// A section button of the section bar. Its size does not depend on `selected`; only the
// fill, the border and the text opacity do.
class OrvantaNavigationButton : public QAbstractButton {
public:
    OrvantaNavigationButton(const QString& title, const QString& systemImage, bool selected,
                            std::function<void()> action, QWidget* parent = nullptr);

    const QString& title() const { return title_; }
    const QString& systemImage() const { return systemImage_; }
    bool selected() const { return selected_; }
    void setSelected(bool selected);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    static constexpr int height = 40;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString title_;
    QString systemImage_;
    bool selected_;
    std::function<void()> action_;
};

}  // namespace corvel::theme
