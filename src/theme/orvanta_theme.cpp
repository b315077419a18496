#include "theme/orvanta_theme.hpp"

#include <QEvent>
#include <algorithm>
#include <cmath>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "theme/symbol_set.hpp"

namespace corvel::theme {
namespace {

QColor rgb(qreal red, qreal green, qreal blue) { return QColor::fromRgbF(red, green, blue); }

QGradientStops evenlySpaced(std::initializer_list<QColor> colors) {
    QGradientStops stops;
    const auto last = static_cast<qreal>(colors.size() - 1);
    qreal index = 0;
    for (const QColor& color : colors) {
        stops.append({last > 0 ? index / last : 0, color});
        index += 1;
    }
    return stops;
}

QLinearGradient gradient(const QPointF& from, const QPointF& to, const QGradientStops& stops) {
    QLinearGradient result(from, to);
    result.setStops(stops);
    return result;
}

// The symbol box beside a label in a font of this pixel size.
qreal symbolSide(int fontPixelSize) { return fontPixelSize + 2; }

void paintSymbolAndText(QPainter& painter, const QRectF& area, const QString& systemImage, qreal spacing,
                        const QFont& symbolFont, const QFont& textFont, const QString& text, const QColor& color) {
    const QFontMetricsF metrics(textFont);
    const qreal side = systemImage.isEmpty() ? 0 : symbolSide(symbolFont.pixelSize());
    const qreal gap = systemImage.isEmpty() || text.isEmpty() ? 0 : spacing;
    const qreal width = side + gap + metrics.horizontalAdvance(text);
    qreal x = area.center().x() - width / 2;
    if (side > 0) {
        paintSymbol(painter, systemImage, QRectF(x, area.center().y() - side / 2, side, side), color);
        x += side + gap;
    }
    painter.setFont(textFont);
    painter.setPen(color);
    painter.drawText(QRectF(x, area.top(), area.right() - x, area.height()), Qt::AlignLeft | Qt::AlignVCenter, text);
}

// The panel's rounded rectangle, filled and outlined, filling `panel`.
void paintPanelShape(QPainter& painter, const QRectF& panel, qreal cornerRadius, qreal opacity) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacity);
    const QRectF shape = panel.adjusted(0.5, 0.5, -0.5, -0.5);
    QPen stroke(OrvantaTheme::panelStroke(), 1);
    stroke.setMiterLimit(10);
    painter.setPen(stroke);
    painter.setBrush(OrvantaTheme::panelFill());
    painter.drawRoundedRect(shape, cornerRadius, cornerRadius);
}

// The panel's shadow: the rectangle's own alpha blurred by 20 px, 10 px down, in black.
constexpr qreal kShadowBlur = 20;
constexpr qreal kShadowOffsetY = 10;
// Room around the panel for the shadow to fall in.
constexpr int kShadowMargin = 40;
// Far enough along an edge from a corner that the blurred edge no longer feels the corner:
// past there every row (column) of the shadowed edge is the same.
int plainEdgeFrom(qreal cornerRadius) { return int(std::ceil(cornerRadius + 3 * kShadowBlur)); }

// The panel of this size with its shadow, `kShadowMargin` around it, as the drop-shadow effect
// draws it.
QImage shadowedPanel(QSize panelSize, qreal cornerRadius, qreal opacity) {
    QImage shape(panelSize, QImage::Format_ARGB32_Premultiplied);
    shape.fill(0);
    {
        QPainter painter(&shape);
        paintPanelShape(painter, QRectF(QPointF(0, 0), QSizeF(panelSize)), cornerRadius, opacity);
    }
    QGraphicsScene scene;
    QGraphicsPixmapItem* item = scene.addPixmap(QPixmap::fromImage(shape));
    auto* shadow = new QGraphicsDropShadowEffect;
    shadow->setBlurRadius(kShadowBlur);
    shadow->setOffset(0, kShadowOffsetY);
    shadow->setColor(OrvantaTheme::black(0.28 * opacity));
    item->setGraphicsEffect(shadow);
    const QSize size = panelSize + QSize(2 * kShadowMargin, 2 * kShadowMargin);
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(0);
    QPainter painter(&out);
    scene.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)),
                 QRectF(-kShadowMargin, -kShadowMargin, size.width(), size.height()));
    return out;
}

// The rounded rectangle of an OrvantaPanel with its shadow, in a widget that reaches
// kShadowMargin beyond the panel on every side. The shadow is drawn once for a panel of the
// least size that holds its corners and plain edges, and stretched between them: a tall panel
// (a long list) costs no more to repaint than a small one.
class PanelBackdrop : public QWidget {
public:
    PanelBackdrop(qreal cornerRadius, QWidget* parent) : QWidget(parent), cornerRadius_(cornerRadius) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setOpacity(1);
    }

    void setOpacity(qreal opacity) {
        opacity_ = opacity;
        picture_ = QImage();
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const QSize panel = size() - QSize(2 * kShadowMargin, 2 * kShadowMargin);
        if (panel.isEmpty()) return;
        const int edge = plainEdgeFrom(cornerRadius_);
        const QSize least(std::min(panel.width(), 2 * edge + 1), std::min(panel.height(), 2 * edge + 1));
        if (picture_.isNull() || pictured_ != least) {
            picture_ = shadowedPanel(least, cornerRadius_, opacity_);
            pictured_ = least;
        }
        QPainter painter(this);
        // Corners as drawn, the middle row and column of the least panel stretched between them.
        const int w = width();
        const int h = height();
        const int pw = picture_.width();
        const int ph = picture_.height();
        const int left = std::min(kShadowMargin + edge, pw / 2);
        const int top = std::min(kShadowMargin + edge, ph / 2);
        const int right = pw - left;
        const int bottom = ph - top;
        const int xs[] = {0, left, w - (pw - right), w};
        const int ys[] = {0, top, h - (ph - bottom), h};
        const int sxs[] = {0, left, right, pw};
        const int sys[] = {0, top, bottom, ph};
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                const QRect target(QPoint(xs[column], ys[row]), QPoint(xs[column + 1] - 1, ys[row + 1] - 1));
                QRect source(QPoint(sxs[column], sys[row]), QPoint(sxs[column + 1] - 1, sys[row + 1] - 1));
                if (target.isEmpty()) continue;
                if (source.isEmpty()) source = QRect(sxs[column], sys[row], 1, 1);
                if (column == 1) source.setWidth(1);
                if (row == 1) source.setHeight(1);
                painter.drawImage(target, picture_, source);
            }
        }
    }

private:
    qreal cornerRadius_;
    qreal opacity_ = 1;
    QImage picture_;
    QSize pictured_;
};

}  // namespace

const QColor& OrvantaTheme::background() {
    static const QColor color = rgb(0.035, 0.04, 0.055);
    return color;
}
const QColor& OrvantaTheme::panelFill() {
    static const QColor color = white(0.06);
    return color;
}
const QColor& OrvantaTheme::panelStroke() {
    static const QColor color = white(0.15);
    return color;
}
const QColor& OrvantaTheme::secondaryText() {
    static const QColor color = white(0.76);
    return color;
}
const QColor& OrvantaTheme::mutedText() {
    static const QColor color = white(0.58);
    return color;
}
const QColor& OrvantaTheme::pink() {
    static const QColor color = rgb(0.95, 0.14, 0.36);
    return color;
}
const QColor& OrvantaTheme::blue() {
    static const QColor color = rgb(0.08, 0.52, 1.0);
    return color;
}
const QColor& OrvantaTheme::standardBlue() {
    static const QColor color(10, 132, 255);
    return color;
}
const QColor& OrvantaTheme::standardPink() {
    static const QColor color(255, 55, 95);
    return color;
}

const QColor& OrvantaTheme::standardGreen() {
    static const QColor color(48, 209, 88);
    return color;
}
const QColor& OrvantaTheme::standardOrange() {
    static const QColor color(255, 159, 10);
    return color;
}
const QColor& OrvantaTheme::standardRed() {
    static const QColor color(255, 69, 58);
    return color;
}
const QColor& OrvantaTheme::standardCyan() {
    static const QColor color(100, 210, 255);
    return color;
}
const QColor& OrvantaTheme::standardPurple() {
    static const QColor color(191, 90, 242);
    return color;
}
const QColor& OrvantaTheme::standardGray() {
    static const QColor color(152, 152, 157);
    return color;
}
const QColor& OrvantaTheme::separator() {
    static const QColor color = white(0.1);
    return color;
}

const QGradientStops& OrvantaTheme::accentStops() {
    static const QGradientStops stops = evenlySpaced({pink(), blue()});
    return stops;
}
const QGradientStops& OrvantaTheme::brandStops() {
    static const QGradientStops stops = evenlySpaced({pink(), rgb(0.55, 0.2, 0.98), blue()});
    return stops;
}
const QGradientStops& OrvantaTheme::markStops() {
    static const QGradientStops stops = evenlySpaced({pink(), rgb(0.91, 0.08, 0.74), rgb(0.4, 0.22, 0.98), blue()});
    return stops;
}

QLinearGradient OrvantaTheme::accentGradient(const QRectF& rect) {
    return gradient(QPointF(rect.left(), rect.center().y()), QPointF(rect.right(), rect.center().y()), accentStops());
}
QLinearGradient OrvantaTheme::brandGradient(const QRectF& rect) {
    return gradient(rect.topLeft(), rect.bottomRight(), brandStops());
}
QLinearGradient OrvantaTheme::markGradient(const QRectF& rect) {
    return gradient(QPointF(rect.left(), rect.center().y()), QPointF(rect.right(), rect.center().y()), markStops());
}

void OrvantaTheme::paintBackgroundGlow(QPainter& painter, const QRectF& area) {
    painter.fillRect(area, background());
    const auto glow = [&](const QPointF& centre, const QColor& color, qreal opacity, qreal endRadius) {
        QColor inner = color;
        inner.setAlphaF(opacity);
        QColor outer = color;
        outer.setAlphaF(0);
        // Full colour up to 20 px from the corner, fading out by endRadius.
        QRadialGradient radial(centre, endRadius, centre, 20);
        radial.setColorAt(0, inner);
        radial.setColorAt(1, outer);
        painter.fillRect(area, radial);
    };
    glow(area.topLeft(), standardBlue(), 0.22, 720);
    glow(area.topRight(), standardPink(), 0.16, 760);
}

QColor OrvantaTheme::white(qreal opacity) {
    QColor color(255, 255, 255);
    color.setAlphaF(opacity);
    return color;
}

QColor OrvantaTheme::black(qreal opacity) {
    QColor color(0, 0, 0);
    color.setAlphaF(opacity);
    return color;
}

QFont OrvantaTheme::font(int pixelSize, QFont::Weight weight, FontDesign design) {
    QFont font = design == FontDesign::monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QFont();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QColor OrvantaTheme::disabled(const QColor& color) {
    QColor dimmed = color;
    dimmed.setAlphaF(color.alphaF() * disabledOpacity);
    return dimmed;
}

void OrvantaTheme::setRoleColor(QPalette& palette, QPalette::ColorRole role, const QColor& color) {
    palette.setColor(QPalette::Active, role, color);
    palette.setColor(QPalette::Inactive, role, color);
    palette.setColor(QPalette::Disabled, role, disabled(color));
}

void OrvantaTheme::setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        setRoleColor(palette, role, color);
    }
    widget->setPalette(palette);
}

QPalette OrvantaTheme::darkPalette() {
    QPalette palette;
    const QColor text = white(0.96);
    palette.setColor(QPalette::Window, background());
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(20, 22, 28));
    palette.setColor(QPalette::AlternateBase, QColor(28, 30, 38));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(30, 32, 40));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, QColor(30, 32, 40));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, mutedText());
    palette.setColor(QPalette::Highlight, standardBlue());
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, standardBlue());
    palette.setColor(QPalette::Mid, QColor(60, 62, 70));
    palette.setColor(QPalette::Dark, QColor(12, 13, 16));
    palette.setColor(QPalette::Light, QColor(80, 82, 90));
    // What can't be used now: faint text and marks on a flatter, darker face.
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::HighlightedText,
                            QPalette::ToolTipText, QPalette::Link, QPalette::Highlight}) {
        palette.setColor(QPalette::Disabled, role, disabled(palette.color(QPalette::Active, role)));
    }
    palette.setColor(QPalette::Disabled, QPalette::PlaceholderText, white(0.22));
    palette.setColor(QPalette::Disabled, QPalette::Button, QColor(22, 23, 29));
    palette.setColor(QPalette::Disabled, QPalette::Base, QColor(15, 16, 21));
    palette.setColor(QPalette::Disabled, QPalette::Light, QColor(40, 42, 48));
    palette.setColor(QPalette::Disabled, QPalette::Mid, QColor(34, 36, 42));
    return palette;
}

// ---- Panel

OrvantaPanel::OrvantaPanel(OrvantaPanelModifier modifier, QWidget* parent) : QWidget(parent), modifier_(modifier) {
    setContentsMargins(modifier.padding, modifier.padding, modifier.padding, modifier.padding);
    followParent();
}

OrvantaPanel::~OrvantaPanel() { delete backdrop_.data(); }

void OrvantaPanel::followParent() {
    delete backdrop_.data();
    if (parentWidget() == nullptr) return;
    auto* backdrop = new PanelBackdrop(modifier_.cornerRadius, parentWidget());
    backdrop->setOpacity(opacity_);
    backdrop_ = backdrop;
    syncBackdrop();
}

void OrvantaPanel::setPanelOpacity(qreal opacity) {
    if (opacity_ == opacity) return;
    opacity_ = opacity;
    if (backdrop_ != nullptr) static_cast<PanelBackdrop*>(backdrop_.data())->setOpacity(opacity);
    // The content: an opacity effect only while it dims, so a full-opacity panel draws directly.
    if (opacity >= 1) {
        setGraphicsEffect(nullptr);
    } else {
        auto* effect = qobject_cast<QGraphicsOpacityEffect*>(graphicsEffect());
        if (effect == nullptr) {
            effect = new QGraphicsOpacityEffect(this);
            setGraphicsEffect(effect);
        }
        effect->setOpacity(opacity);
    }
}

void OrvantaPanel::syncBackdrop() {
    if (backdrop_ == nullptr) return;
    backdrop_->setGeometry(geometry().adjusted(-kShadowMargin, -kShadowMargin, kShadowMargin, kShadowMargin));
    backdrop_->setVisible(isVisible());
    backdrop_->stackUnder(this);
}

bool OrvantaPanel::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ParentChange: followParent(); break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide: syncBackdrop(); break;
    default: break;
    }
    return QWidget::event(event);
}

// ---- Buttons

ButtonAppearance OrvantaPrimaryButtonStyle::appearance(bool pressed) {
    ButtonAppearance look;
    look.backgroundOpacity = pressed ? 0.78 : 1.0;
    look.textOpacity = 1.0;
    look.shadowOpacity = pressed ? 0.14 : 0.3;
    look.scale = pressed ? 0.985 : 1.0;
    return look;
}

ButtonAppearance OrvantaSecondaryButtonStyle::appearance(bool pressed) {
    ButtonAppearance look;
    look.topFillOpacity = pressed ? 0.1 : 0.16;
    look.textOpacity = pressed ? 0.8 : 0.96;
    return look;
}

namespace {

QFont buttonFont(OrvantaButton::Style style) {
    return style == OrvantaButton::Style::primary
               ? OrvantaTheme::font(OrvantaPrimaryButtonStyle::fontPixelSize, QFont::ExtraBold, FontDesign::rounded)
               : OrvantaTheme::font(OrvantaSecondaryButtonStyle::fontPixelSize, QFont::Bold, FontDesign::rounded);
}

constexpr qreal kButtonSymbolSpacing = 7;

}  // namespace

OrvantaButton::OrvantaButton(Style style, const QString& text, const QString& systemImage, QWidget* parent)
    : QAbstractButton(parent), style_(style), systemImage_(systemImage) {
    setText(text);
    setFont(buttonFont(style));
    setCursor(Qt::PointingHandCursor);
    setProperty(kSystemImageProperty, systemImage);
    if (style == Style::primary) {
        auto* shadow = new QGraphicsDropShadowEffect(this);
        shadow->setBlurRadius(10);
        shadow->setOffset(0, 5);
        setGraphicsEffect(shadow);
        connect(this, &QAbstractButton::pressed, this, [this] { updateShadow(); });
        connect(this, &QAbstractButton::released, this, [this] { updateShadow(); });
        updateShadow();
    }
}

void OrvantaButton::setSystemImage(const QString& systemImage) {
    if (systemImage == systemImage_) return;
    systemImage_ = systemImage;
    setProperty(kSystemImageProperty, systemImage);
    updateGeometry();
    update();
}

ButtonAppearance OrvantaButton::currentAppearance() const {
    return style_ == Style::primary ? OrvantaPrimaryButtonStyle::appearance(isDown())
                                    : OrvantaSecondaryButtonStyle::appearance(isDown());
}

void OrvantaButton::updateShadow() {
    if (auto* shadow = qobject_cast<QGraphicsDropShadowEffect*>(graphicsEffect())) {
        QColor color = OrvantaTheme::standardBlue();
        color.setAlphaF(currentAppearance().shadowOpacity);
        shadow->setColor(color);
    }
}

QSize OrvantaButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const bool primary = style_ == Style::primary;
    const int padding = primary ? OrvantaPrimaryButtonStyle::horizontalPadding : OrvantaSecondaryButtonStyle::horizontalPadding;
    const int minimumHeight = primary ? OrvantaPrimaryButtonStyle::minimumHeight : OrvantaSecondaryButtonStyle::minimumHeight;
    int width = 2 * padding + metrics.horizontalAdvance(text());
    if (!systemImage_.isEmpty()) {
        width += static_cast<int>(symbolSide(font().pixelSize()) + (text().isEmpty() ? 0 : kButtonSymbolSpacing));
    }
    return {width, std::max(minimumHeight, metrics.height())};
}

void OrvantaButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const ButtonAppearance look = currentAppearance();
    const QRectF area = rect();
    // A button that can't be pressed now is drawn faded.
    const qreal enabledOpacity = isEnabled() ? 1.0 : OrvantaTheme::disabledOpacity;
    painter.setOpacity(enabledOpacity);
    if (look.scale != 1.0) {
        painter.translate(area.center());
        painter.scale(look.scale, look.scale);
        painter.translate(-area.center());
    }
    const bool primary = style_ == Style::primary;
    const qreal radius = primary ? OrvantaPrimaryButtonStyle::cornerRadius : OrvantaSecondaryButtonStyle::cornerRadius;
    const QRectF shape = area.adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath outline;
    outline.addRoundedRect(shape, radius, radius);
    if (primary) {
        painter.setOpacity(enabledOpacity * look.backgroundOpacity);
        painter.fillPath(outline, OrvantaTheme::accentGradient(area));
        painter.setOpacity(enabledOpacity);
    } else {
        QLinearGradient fill(area.topLeft(), area.bottomRight());
        fill.setColorAt(0, OrvantaTheme::white(look.topFillOpacity));
        fill.setColorAt(1, OrvantaTheme::white(0.075));
        painter.fillPath(outline, fill);
    }
    painter.strokePath(outline, QPen(OrvantaTheme::white(primary ? 0.16 : 0.12), 1));
    paintSymbolAndText(painter, area, systemImage_, kButtonSymbolSpacing, font(), font(), text(),
                       OrvantaTheme::white(look.textOpacity));
}

// ---- Gradient text and divider

void OrvantaGradientText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font());
    painter.setPen(QPen(QBrush(OrvantaTheme::brandGradient(contentsRect())), 1));
    painter.drawText(contentsRect(), static_cast<int>(alignment()), text());
}

void OrvantaDivider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), OrvantaTheme::separator());
    painter.fillRect(rect(), overlay_);
}

// ---- Section label

OrvantaSectionLabel::OrvantaSectionLabel(const QString& text, QWidget* parent) : QLabel(text.toUpper(), parent) {
    QFont labelFont = OrvantaTheme::font(12, QFont::ExtraBold);
    labelFont.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    setFont(labelFont);
    OrvantaTheme::setTextColor(this, OrvantaTheme::white(0.62));
}

// ---- Navigation button

namespace {

constexpr int kNavigationPadding = 16;
constexpr qreal kNavigationSpacing = 8;
constexpr qreal kNavigationRadius = 11;

QFont navigationSymbolFont() { return OrvantaTheme::font(14, QFont::Bold); }
QFont navigationTitleFont() { return OrvantaTheme::font(14, QFont::ExtraBold, FontDesign::rounded); }

}  // namespace

OrvantaNavigationButton::OrvantaNavigationButton(const QString& title, const QString& systemImage, bool selected,
                                                 std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), title_(title), systemImage_(systemImage), selected_(selected), action_(std::move(action)) {
    setText(title);
    setFont(navigationTitleFont());
    setFixedHeight(height);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setProperty(kSystemImageProperty, systemImage);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (action_) action_();
    });
}

void OrvantaNavigationButton::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    update();
}

QSize OrvantaNavigationButton::sizeHint() const {
    const QFontMetricsF metrics(navigationTitleFont());
    const qreal width = 2 * kNavigationPadding + symbolSide(navigationSymbolFont().pixelSize()) + kNavigationSpacing +
                        metrics.horizontalAdvance(title_);
    return {static_cast<int>(std::ceil(width)), height};
}

void OrvantaNavigationButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect();
    QPainterPath outline;
    outline.addRoundedRect(area.adjusted(0.5, 0.5, -0.5, -0.5), kNavigationRadius, kNavigationRadius);
    if (selected_) {
        painter.setOpacity(0.92);
        painter.fillPath(outline, OrvantaTheme::accentGradient(area));
        painter.setOpacity(1);
    } else {
        QLinearGradient fill(area.topLeft(), area.bottomRight());
        fill.setColorAt(0, OrvantaTheme::white(0.085));
        fill.setColorAt(1, OrvantaTheme::white(0.035));
        painter.fillPath(outline, fill);
    }
    painter.strokePath(outline, QPen(OrvantaTheme::white(selected_ ? 0.2 : 0.09), 1));
    paintSymbolAndText(painter, area, systemImage_, kNavigationSpacing, navigationSymbolFont(), navigationTitleFont(),
                       title_, OrvantaTheme::white(selected_ ? 1.0 : 0.82));
}

}  // namespace corvel::theme
