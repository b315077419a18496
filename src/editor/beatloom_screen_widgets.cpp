#include "editor/beatloom_screen_widgets.hpp"

#include <QPainter>

#include "app/symbol_set.hpp"

namespace corvel::editor {

ScreenSymbolButton::ScreenSymbolButton(const QString& name, int side, const QColor& color, QWidget* parent)
    : QAbstractButton(parent), color_(color) {
    setFixedSize(side, side);
    setCursor(Qt::PointingHandCursor);
    setProperty(app::kSystemImageProperty, name);
}

void ScreenSymbolButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor color = color_;
    if (isDown()) color.setAlphaF(color.alphaF() * 0.6f);
    app::paintSymbol(painter, property(app::kSystemImageProperty).toString(), QRectF(rect()).adjusted(2, 2, -2, -2),
                      color);
}

}  // namespace corvel::editor
