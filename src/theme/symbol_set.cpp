#include "theme/symbol_set.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <array>
#include <utility>

namespace corvel::theme {
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

void checkmarkCircleFill(QPainter& p, const QColor& color) {
    QPainterPath disc;
    disc.addEllipse(QPointF(0.5, 0.5), 0.44, 0.44);
    QPainterPathStroker stroker;
    stroker.setWidth(0.1);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainterPath tick;
    tick.moveTo(0.3, 0.52);
    tick.lineTo(0.44, 0.66);
    tick.lineTo(0.7, 0.36);
    p.fillPath(disc.subtracted(stroker.createStroke(tick)), color);
}

void exclamationTriangleFill(QPainter& p, const QColor& color) {
    QPainterPath triangle;
    triangle.moveTo(0.5, 0.08);
    triangle.lineTo(0.95, 0.88);
    triangle.lineTo(0.05, 0.88);
    triangle.closeSubpath();
    QPainterPath mark;
    mark.addRoundedRect(QRectF(0.455, 0.34, 0.09, 0.3), 0.045, 0.045);
    mark.addEllipse(QPointF(0.5, 0.75), 0.055, 0.055);
    p.fillPath(triangle.subtracted(mark), color);
}

void playFill(QPainter& p, const QColor& color) {
    QPainterPath triangle;
    triangle.moveTo(0.22, 0.1);
    triangle.lineTo(0.86, 0.5);
    triangle.lineTo(0.22, 0.9);
    triangle.closeSubpath();
    p.fillPath(triangle, color);
}

void arrowDownToLine(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.1));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(0.5, 0.12), QPointF(0.5, 0.62));
    const std::array<QPointF, 3> head{QPointF(0.3, 0.44), QPointF(0.5, 0.64), QPointF(0.7, 0.44)};
    p.drawPolyline(head.data(), static_cast<int>(head.size()));
    p.drawLine(QPointF(0.2, 0.84), QPointF(0.8, 0.84));
}

void crossedFlagsFill(QPainter& p, const QColor& color) {
    // Two poles crossing, each with its flag; the right one is the left one mirrored.
    for (const bool mirrored : {false, true}) {
        p.save();
        if (mirrored) {
            p.translate(1, 0);
            p.scale(-1, 1);
        }
        p.setPen(strokePen(color, 0.07));
        p.drawLine(QPointF(0.16, 0.92), QPointF(0.62, 0.1));
        QPainterPath flag;
        flag.moveTo(0.6, 0.12);
        flag.quadTo(0.44, 0.08, 0.3, 0.16);
        flag.lineTo(0.22, 0.36);
        flag.quadTo(0.36, 0.28, 0.5, 0.32);
        flag.closeSubpath();
        p.fillPath(flag, color);
        p.restore();
    }
}

void textBubbleFill(QPainter& p, const QColor& color) {
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(0.06, 0.12, 0.88, 0.62), 0.16, 0.16);
    QPainterPath tail;
    tail.moveTo(0.24, 0.7);
    tail.lineTo(0.2, 0.92);
    tail.lineTo(0.44, 0.72);
    tail.closeSubpath();
    QPainterPath lines;
    lines.addRoundedRect(QRectF(0.22, 0.3, 0.56, 0.07), 0.035, 0.035);
    lines.addRoundedRect(QRectF(0.22, 0.48, 0.4, 0.07), 0.035, 0.035);
    p.fillPath(bubble.united(tail).subtracted(lines), color);
}

void speakerWave1(QPainter& p, const QColor& color) {
    QPainterPath speaker;
    speaker.moveTo(0.08, 0.38);
    speaker.lineTo(0.26, 0.38);
    speaker.lineTo(0.5, 0.16);
    speaker.lineTo(0.5, 0.84);
    speaker.lineTo(0.26, 0.62);
    speaker.lineTo(0.08, 0.62);
    speaker.closeSubpath();
    p.fillPath(speaker, color);
    p.setPen(strokePen(color, 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(0.44, 0.3, 0.3, 0.4), -60 * 16, 120 * 16);
}

void scope(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(0.5, 0.5), 0.34, 0.34);
    // The cross hairs reach past the ring on every side.
    p.drawLine(QPointF(0.5, 0.06), QPointF(0.5, 0.3));
    p.drawLine(QPointF(0.5, 0.7), QPointF(0.5, 0.94));
    p.drawLine(QPointF(0.06, 0.5), QPointF(0.3, 0.5));
    p.drawLine(QPointF(0.7, 0.5), QPointF(0.94, 0.5));
}

void ellipsis(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    for (const qreal x : {0.2, 0.5, 0.8}) p.drawEllipse(QPointF(x, 0.5), 0.08, 0.08);
}

void diamondFill(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    QPainterPath diamond;
    diamond.moveTo(0.5, 0.06);
    diamond.lineTo(0.9, 0.5);
    diamond.lineTo(0.5, 0.94);
    diamond.lineTo(0.1, 0.5);
    diamond.closeSubpath();
    p.drawPath(diamond);
}

void circleFill(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.5, 0.5), 0.42, 0.42);
}

void waveformPath(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.08));
    const std::array<std::pair<qreal, qreal>, 7> bars{{
        {0.1, 0.14}, {0.23, 0.3}, {0.36, 0.4}, {0.5, 0.22}, {0.64, 0.36}, {0.77, 0.26}, {0.9, 0.12},
    }};
    for (const auto& [x, half] : bars) p.drawLine(QPointF(x, 0.5 - half), QPointF(x, 0.5 + half));
}

void trianglePathDotted(QPainter& p, const QColor& color) {
    // Three points joined by a dotted path, as an elastic grid through anchors.
    const std::array<QPointF, 3> points{QPointF(0.15, 0.8), QPointF(0.5, 0.2), QPointF(0.85, 0.8)};
    QPen dotted = strokePen(color, 0.06);
    dotted.setDashPattern({0.5, 1.8});
    p.setPen(dotted);
    p.drawLine(points[0], points[1]);
    p.drawLine(points[1], points[2]);
    p.drawLine(points[2], points[0]);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    for (const auto& point : points) p.drawEllipse(point, 0.11, 0.11);
}

void pauseRectangle(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.07));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(0.08, 0.2, 0.84, 0.6), 0.1, 0.1);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRect(QRectF(0.37, 0.36, 0.08, 0.28));
    p.drawRect(QRectF(0.55, 0.36, 0.08, 0.28));
}

void chevronDown(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.16));
    p.setBrush(Qt::NoBrush);
    QPainterPath chevron;
    chevron.moveTo(0.15, 0.35);
    chevron.lineTo(0.5, 0.7);
    chevron.lineTo(0.85, 0.35);
    p.drawPath(chevron);
}

// ---- The editor toolbar's symbols

void strokeStyle(QPainter& p, const QColor& color, qreal width = 0.08) {
    p.setPen(strokePen(color, width));
    p.setBrush(Qt::NoBrush);
}

void stopFill(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(0.2, 0.2, 0.6, 0.6), 0.08, 0.08);
}

QPainterPath metronomeBody() {
    QPainterPath body;
    body.moveTo(0.38, 0.08);
    body.lineTo(0.62, 0.08);
    body.lineTo(0.84, 0.92);
    body.lineTo(0.16, 0.92);
    body.closeSubpath();
    return body;
}

void metronome(QPainter& p, const QColor& color) {
    strokeStyle(p, color);
    p.drawPath(metronomeBody());
    p.drawLine(QPointF(0.5, 0.78), QPointF(0.76, 0.26));
}

void metronomeFill(QPainter& p, const QColor& color) {
    QPainterPath arm;
    arm.moveTo(0.47, 0.8);
    arm.lineTo(0.74, 0.24);
    arm.lineTo(0.8, 0.27);
    arm.lineTo(0.53, 0.82);
    arm.closeSubpath();
    p.fillPath(metronomeBody().subtracted(arm), color);
}

void magnifyingGlass(QPainter& p, const QColor& color, bool plus) {
    strokeStyle(p, color);
    p.drawEllipse(QPointF(0.42, 0.42), 0.28, 0.28);
    p.drawLine(QPointF(0.63, 0.63), QPointF(0.9, 0.9));
    p.drawLine(QPointF(0.3, 0.42), QPointF(0.54, 0.42));
    if (plus) p.drawLine(QPointF(0.42, 0.3), QPointF(0.42, 0.54));
}

void minusMagnifyingGlass(QPainter& p, const QColor& color) { magnifyingGlass(p, color, false); }
void plusMagnifyingGlass(QPainter& p, const QColor& color) { magnifyingGlass(p, color, true); }

void uturnArrow(QPainter& p, const QColor& color, bool backward) {
    if (!backward) {
        p.translate(1, 0);
        p.scale(-1, 1);
    }
    strokeStyle(p, color);
    QPainterPath path;
    path.moveTo(0.2, 0.36);
    path.lineTo(0.62, 0.36);
    path.cubicTo(0.92, 0.36, 0.92, 0.8, 0.62, 0.8);
    path.lineTo(0.4, 0.8);
    p.drawPath(path);
    const std::array<QPointF, 3> head{QPointF(0.36, 0.18), QPointF(0.18, 0.36), QPointF(0.36, 0.54)};
    p.drawPolyline(head.data(), static_cast<int>(head.size()));
}

void uturnBackward(QPainter& p, const QColor& color) { uturnArrow(p, color, true); }
void uturnForward(QPainter& p, const QColor& color) { uturnArrow(p, color, false); }

void trash(QPainter& p, const QColor& color) {
    strokeStyle(p, color);
    p.drawLine(QPointF(0.14, 0.24), QPointF(0.86, 0.24));
    p.drawLine(QPointF(0.4, 0.12), QPointF(0.6, 0.12));
    QPainterPath can;
    can.moveTo(0.22, 0.24);
    can.lineTo(0.28, 0.9);
    can.lineTo(0.72, 0.9);
    can.lineTo(0.78, 0.24);
    p.drawPath(can);
    p.drawLine(QPointF(0.42, 0.4), QPointF(0.42, 0.76));
    p.drawLine(QPointF(0.58, 0.4), QPointF(0.58, 0.76));
}

void eye(QPainter& p, const QColor& color) {
    strokeStyle(p, color);
    QPainterPath lids;
    lids.moveTo(0.06, 0.5);
    lids.quadTo(0.5, 0.06, 0.94, 0.5);
    lids.quadTo(0.5, 0.94, 0.06, 0.5);
    p.drawPath(lids);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.5, 0.5), 0.13, 0.13);
}

void questionmarkCircle(QPainter& p, const QColor& color) {
    strokeStyle(p, color);
    p.drawEllipse(QPointF(0.5, 0.5), 0.42, 0.42);
    QPainterPath hook;
    hook.moveTo(0.36, 0.38);
    hook.cubicTo(0.36, 0.18, 0.66, 0.2, 0.64, 0.38);
    hook.cubicTo(0.62, 0.5, 0.5, 0.5, 0.5, 0.6);
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.5, 0.74), 0.05, 0.05);
}

void squareAndArrowUp(QPainter& p, const QColor& color) {
    strokeStyle(p, color);
    QPainterPath box;
    box.moveTo(0.34, 0.4);
    box.lineTo(0.2, 0.4);
    box.lineTo(0.2, 0.9);
    box.lineTo(0.8, 0.9);
    box.lineTo(0.8, 0.4);
    box.lineTo(0.66, 0.4);
    p.drawPath(box);
    p.drawLine(QPointF(0.5, 0.08), QPointF(0.5, 0.62));
    const std::array<QPointF, 3> head{QPointF(0.34, 0.24), QPointF(0.5, 0.08), QPointF(0.66, 0.24)};
    p.drawPolyline(head.data(), static_cast<int>(head.size()));
}

void selectionPinInOut(QPainter& p, const QColor& color) {
    QPen dashed = strokePen(color, 0.07);
    dashed.setStyle(Qt::DashLine);
    p.setPen(dashed);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.22, 0.22, 0.56, 0.56));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.22, 0.22), 0.1, 0.1);
    p.drawEllipse(QPointF(0.78, 0.78), 0.1, 0.1);
}

void ellipsisCircle(QPainter& p, const QColor& color) {
    strokeStyle(p, color);
    p.drawEllipse(QPointF(0.5, 0.5), 0.42, 0.42);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    for (const qreal x : {0.3, 0.5, 0.7}) p.drawEllipse(QPointF(x, 0.5), 0.06, 0.06);
}

void waveformBadgePlus(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.07));
    p.setBrush(Qt::NoBrush);
    const std::array<std::pair<qreal, qreal>, 7> bars{{
        {0.08, 0.12}, {0.18, 0.26}, {0.28, 0.4}, {0.38, 0.2}, {0.48, 0.32}, {0.58, 0.14}, {0.68, 0.08},
    }};
    for (const auto& [x, half] : bars) p.drawLine(QPointF(x, 0.42 - half), QPointF(x, 0.42 + half));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.74, 0.74), 0.22, 0.22);
    p.setPen(strokePen(Qt::black, 0.07));
    p.drawLine(QPointF(0.74, 0.63), QPointF(0.74, 0.85));
    p.drawLine(QPointF(0.63, 0.74), QPointF(0.85, 0.74));
}

void sliderHorizontal3(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.07));
    for (const auto& [y, knob] : std::array<std::pair<qreal, qreal>, 3>{{{0.22, 0.66}, {0.5, 0.32}, {0.78, 0.56}}}) {
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(0.08, y), QPointF(0.92, y));
        p.setBrush(color);
        p.drawEllipse(QPointF(knob, y), 0.08, 0.08);
    }
}

void folder(QPainter& p, const QColor& color, bool filled) {
    QPainterPath shape;
    shape.moveTo(0.08, 0.24);
    shape.lineTo(0.38, 0.24);
    shape.lineTo(0.46, 0.32);
    shape.lineTo(0.92, 0.32);
    shape.lineTo(0.92, 0.82);
    shape.lineTo(0.08, 0.82);
    shape.closeSubpath();
    if (filled) {
        p.fillPath(shape, color);
    } else {
        p.setPen(strokePen(color, 0.08));
        p.setBrush(Qt::NoBrush);
        p.drawPath(shape);
    }
}

void folderFill(QPainter& p, const QColor& color) { folder(p, color, true); }
void folderOutline(QPainter& p, const QColor& color) { folder(p, color, false); }

void plusCircle(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(0.5, 0.5), 0.4, 0.4);
    p.drawLine(QPointF(0.5, 0.3), QPointF(0.5, 0.7));
    p.drawLine(QPointF(0.3, 0.5), QPointF(0.7, 0.5));
}

void waveformBadgeExclamationmark(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.07));
    p.setBrush(Qt::NoBrush);
    const std::array<std::pair<qreal, qreal>, 6> bars{{
        {0.08, 0.12}, {0.18, 0.26}, {0.28, 0.4}, {0.38, 0.2}, {0.48, 0.32}, {0.58, 0.14},
    }};
    for (const auto& [x, half] : bars) p.drawLine(QPointF(x, 0.42 - half), QPointF(x, 0.42 + half));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QPointF(0.74, 0.74), 0.22, 0.22);
    p.setPen(strokePen(Qt::black, 0.07));
    p.drawLine(QPointF(0.74, 0.62), QPointF(0.74, 0.77));
    p.drawPoint(QPointF(0.74, 0.86));
}

QPainterPath locationArrow() {
    QPainterPath arrow;
    arrow.moveTo(0.9, 0.1);
    arrow.lineTo(0.52, 0.9);
    arrow.lineTo(0.44, 0.56);
    arrow.lineTo(0.1, 0.48);
    arrow.closeSubpath();
    return arrow;
}

void locationFill(QPainter& p, const QColor& color) { p.fillPath(locationArrow(), color); }

void locationSlash(QPainter& p, const QColor& color) {
    p.setPen(strokePen(color, 0.07));
    p.setBrush(Qt::NoBrush);
    p.drawPath(locationArrow());
    p.setPen(strokePen(color, 0.09));
    p.drawLine(QPointF(0.12, 0.12), QPointF(0.88, 0.88));
}

constexpr std::array<std::pair<const char*, SymbolPainter>, 41> kSymbols{{
    {"shippingbox.fill", &shippingBox},
    {"waveform.path.ecg", &waveformECG},
    {"stethoscope", &stethoscope},
    {"globe", &globe},
    {"doc.on.doc", &docOnDoc},
    {"checkmark.circle.fill", &checkmarkCircleFill},
    {"exclamationmark.triangle.fill", &exclamationTriangleFill},
    {"play.fill", &playFill},
    {"arrow.down.to.line.compact", &arrowDownToLine},
    {"flag.2.crossed.fill", &crossedFlagsFill},
    {"text.bubble.fill", &textBubbleFill},
    {"speaker.wave.1", &speakerWave1},
    {"scope", &scope},
    {"ellipsis", &ellipsis},
    {"diamond.fill", &diamondFill},
    {"circle.fill", &circleFill},
    {"waveform.path", &waveformPath},
    {"point.3.connected.trianglepath.dotted", &trianglePathDotted},
    {"pause.rectangle", &pauseRectangle},
    {"chevron.down", &chevronDown},
    {"stop.fill", &stopFill},
    {"metronome", &metronome},
    {"metronome.fill", &metronomeFill},
    {"minus.magnifyingglass", &minusMagnifyingGlass},
    {"plus.magnifyingglass", &plusMagnifyingGlass},
    {"arrow.uturn.backward", &uturnBackward},
    {"arrow.uturn.forward", &uturnForward},
    {"trash", &trash},
    {"eye", &eye},
    {"questionmark.circle", &questionmarkCircle},
    {"square.and.arrow.up", &squareAndArrowUp},
    {"selection.pin.in.out", &selectionPinInOut},
    {"ellipsis.circle", &ellipsisCircle},
    {"waveform.badge.plus", &waveformBadgePlus},
    {"slider.horizontal.3", &sliderHorizontal3},
    {"folder.fill", &folderFill},
    {"folder", &folderOutline},
    {"plus.circle", &plusCircle},
    {"waveform.badge.exclamationmark", &waveformBadgeExclamationmark},
    {"location.fill", &locationFill},
    {"location.slash", &locationSlash},
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

SymbolImage::SymbolImage(const QString& name, int side, const QColor& color, QWidget* parent)
    : QWidget(parent), color_(color) {
    setFixedSize(side, side);
    setProperty(kSystemImageProperty, name);
}

QString SymbolImage::name() const { return property(kSystemImageProperty).toString(); }

void SymbolImage::setSymbol(const QString& name, const QColor& color) {
    if (name == this->name() && color == color_) return;
    setProperty(kSystemImageProperty, name);
    color_ = color;
    update();
}

void SymbolImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintSymbol(painter, name(), QRectF(rect()), color_);
}

}  // namespace corvel::theme
