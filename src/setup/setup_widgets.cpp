#include "setup/setup_widgets.hpp"

#include <QPainter>
#include <QPainterPath>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"

namespace corvel::setup {

using theme::OrvantaTheme;

// ---- Capsule

CapsuleBadge::CapsuleBadge(const QString& text, const QColor& color, const CapsuleStyle& style, QWidget* parent)
    : QLabel(text, parent), color_(color), fillOpacity_(style.fillOpacity) {
    QFont font = OrvantaTheme::font(style.fontPixelSize, style.weight);
    font.setLetterSpacing(QFont::AbsoluteSpacing, style.tracking);
    setFont(font);
    setContentsMargins(style.horizontalPadding, style.verticalPadding, style.horizontalPadding, style.verticalPadding);
    setAlignment(Qt::AlignCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    OrvantaTheme::setTextColor(this, color);
}

void CapsuleBadge::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    OrvantaTheme::setTextColor(this, color);
    update();
}

void CapsuleBadge::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = color_;
        fill.setAlphaF(color_.alphaF() * fillOpacity_);
        const QRectF shape(rect());
        const qreal radius = shape.height() / 2;
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(shape, radius, radius);
    }
    QLabel::paintEvent(event);
}

// ---- Rounded box

RoundedBox::RoundedBox(qreal cornerRadius, const QColor& fill, const QColor& stroke, QWidget* parent)
    : QWidget(parent), cornerRadius_(cornerRadius), fill_(fill), stroke_(stroke) {}

void RoundedBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius_, cornerRadius_);
    painter.fillPath(shape, fill_);
    if (stroke_.alpha() > 0) painter.strokePath(shape, QPen(stroke_, 1));
}

// ---- Labels and checkboxes

QColor withOpacity(QColor color, qreal opacity) {
    color.setAlphaF(opacity);
    return color;
}

QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(OrvantaTheme::font(pixelSize, weight));
    OrvantaTheme::setTextColor(label, color);
    return label;
}

QLabel* makeSelectableLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color,
                            QWidget* parent) {
    QLabel* label = makeLabel(text, pixelSize, weight, color, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QCheckBox* makeCheckbox(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color,
                        QWidget* parent) {
    auto* checkbox = new QCheckBox(text, parent);
    checkbox->setFont(OrvantaTheme::font(pixelSize, weight));
    OrvantaTheme::setTextColor(checkbox, color);
    return checkbox;
}

}  // namespace corvel::setup
