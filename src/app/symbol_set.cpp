#include "app/symbol_set.hpp"

#include <QPainter>
#include <QPainterPath>

#include <array>
#include <utility>

namespace corvel::app {
namespace {

// Each symbol is drawn in a unit square scaled onto the box.
using SymbolPainter = void (*)(QPainter&, const QColor&);

QPen strokePen(const QColor& color, qreal width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void shippingBox(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    QPainterPath lid;
    lid.moveTo(0.22, 0.12);
    lid.lineTo(0.78, 0.12);
    lid.lineTo(0.92, 0.32);
    lid.lineTo(0.08, 0.32);
    lid.closeSubpath();
    p.drawPath(lid);
    p.drawRoundedRect(QRectF(0.1, 0.38, 0.8, 0.5), 0.06, 0.06);
    // The tape over the lid and the front.
    p.setBrush(QColor(0, 0, 0, 90));
    p.drawRect(QRectF(0.44, 0.12, 0.12, 0.36));
}

void waveformECG(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.09));
    p.setBrush(Qt::NoBrush);
    const std::array<QPointF, 8> points{QPointF(0.04, 0.52), QPointF(0.26, 0.52), QPointF(0.36, 0.2),
                                        QPointF(0.5, 0.86),  QPointF(0.62, 0.3),  QPointF(0.7, 0.52),
                                        QPointF(0.8, 0.52),  QPointF(0.96, 0.52)};
    p.drawPolyline(points.data(), static_cast<int>(points.size()));
}

void stethoscope(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.09));
    p.setBrush(Qt::NoBrush);
    QPainterPath tube;
    tube.moveTo(0.18, 0.1);
    tube.lineTo(0.18, 0.36);
    tube.cubicTo(0.18, 0.62, 0.56, 0.62, 0.56, 0.36);
    tube.lineTo(0.56, 0.1);
    tube.moveTo(0.37, 0.56);
    tube.cubicTo(0.37, 0.9, 0.78, 0.94, 0.78, 0.68);
    p.drawPath(tube);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.78, 0.6), 0.11, 0.11);
}

void globe(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.07));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(0.5, 0.5), 0.42, 0.42);
    p.drawEllipse(QPointF(0.5, 0.5), 0.17, 0.42);
    p.drawLine(QPointF(0.08, 0.5), QPointF(0.92, 0.5));
    p.drawLine(QPointF(0.17, 0.28), QPointF(0.83, 0.28));
    p.drawLine(QPointF(0.17, 0.72), QPointF(0.83, 0.72));
}

void docOnDoc(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.08));
    p.setBrush(Qt::NoBrush);
    QPainterPath back;
    back.moveTo(0.3, 0.12);
    back.lineTo(0.78, 0.12);
    back.quadTo(0.86, 0.12, 0.86, 0.2);
    back.lineTo(0.86, 0.7);
    p.drawPath(back);
    p.drawRoundedRect(QRectF(0.14, 0.26, 0.56, 0.64), 0.08, 0.08);
}

constexpr std::array<std::pair<const char*, SymbolPainter>, 5> kSymbols{{
    {"shippingbox.fill", &shippingBox},
    {"waveform.path.ecg", &waveformECG},
    {"stethoscope", &stethoscope},
    {"globe", &globe},
    {"doc.on.doc", &docOnDoc},
}};

SymbolPainter find(const QString& name) {
    for (const auto& [symbolName, painter] : kSymbols) {
        if (name == QLatin1String(symbolName)) return painter;
    }
    return nullptr;
}

}  // namespace

bool hasSymbol(const QString& name) { return find(name) != nullptr; }

bool paintSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color) {
    const SymbolPainter symbol = find(name);
    if (symbol == nullptr || box.isEmpty()) return symbol != nullptr;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(box.topLeft());
    painter.scale(box.width(), box.height());
    symbol(painter, color);
    painter.restore();
    return true;
}

}  // namespace corvel::app
