#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <array>

class QPainter;

namespace corvel::theme {

// The logo glyph's outline, a function of the rectangle it is drawn in only: horizontal
// positions follow its width, vertical ones its height, and the bars' corner radii the width.
struct OrvantaMarkShape {
    static QPainterPath path(const QRectF& rect);
};

// One of the mark's two coloured shadows.
struct MarkShadow {
    QColor color;
    qreal blurRadius = 0;
    QPointF offset;
};

// The glyph filled with the mark gradient, with a pink and a blue glow when `glow` is on.
class OrvantaMark : public QWidget {
public:
    explicit OrvantaMark(bool glow, QWidget* parent = nullptr);

    bool glow() const { return glow_; }
    // With the glow off both shadows are clear; size and position never change.
    static std::array<MarkShadow, 2> shadows(bool glow);
    static void paint(QPainter& painter, const QRectF& rect, bool glow);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool glow_;
};

// A square tile framing the mark.
class OrvantaMarkBadge : public QWidget {
public:
    OrvantaMarkBadge(qreal size, bool glow, QWidget* parent = nullptr);

    qreal badgeSize() const { return size_; }
    bool glow() const { return glow_; }

    static qreal cornerRadius(qreal size);
    // Where the mark sits inside a badge of this size.
    static QRectF markRect(qreal size);

    // The application's icon: the badge without glow on a clear square of `size` pixels.
    static QImage iconImage(int size);
    // The icon at the sizes the desktop installs (16 to 256 pixels), for the window.
    static QIcon applicationIcon();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal size_;
    bool glow_;
};

}  // namespace corvel::theme
