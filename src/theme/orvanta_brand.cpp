#include "theme/orvanta_brand.hpp"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

#include "theme/orvanta_theme.hpp"

namespace corvel::theme {
namespace {

// One pass of a running-sum box blur over the alpha channel, along rows or columns.
void boxBlurPass(std::vector<float>& values, int width, int height, int radius, bool alongRows) {
    const int lines = alongRows ? height : width;
    const int length = alongRows ? width : height;
    std::vector<float> line(static_cast<std::size_t>(length));
    const float window = static_cast<float>(2 * radius + 1);
    for (int l = 0; l < lines; ++l) {
        const auto at = [&](int i) -> float& {
            const int index = alongRows ? l * width + i : i * width + l;
            return values[static_cast<std::size_t>(index)];
        };
        for (int i = 0; i < length; ++i) line[static_cast<std::size_t>(i)] = at(i);
        float sum = 0;
        for (int i = -radius; i <= radius; ++i) {
            if (i >= 0 && i < length) sum += line[static_cast<std::size_t>(i)];
        }
        for (int i = 0; i < length; ++i) {
            at(i) = sum / window;
            const int leaving = i - radius;
            const int entering = i + radius + 1;
            if (leaving >= 0) sum -= line[static_cast<std::size_t>(leaving)];
            if (entering < length) sum += line[static_cast<std::size_t>(entering)];
        }
    }
}

// The glyph's shadow: its silhouette in one colour, blurred (three box passes each way come
// close to a Gaussian), drawn at the offset.
void paintShadow(QPainter& painter, const QPainterPath& shape, const MarkShadow& shadow) {
    if (shadow.color.alpha() == 0) return;
    const qreal scale = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;
    const int margin = static_cast<int>(std::ceil(shadow.blurRadius * 2));
    const QRect bounds = shape.boundingRect().toAlignedRect().adjusted(-margin, -margin, margin, margin);
    const int width = static_cast<int>(std::ceil(bounds.width() * scale));
    const int height = static_cast<int>(std::ceil(bounds.height() * scale));
    if (width <= 0 || height <= 0) return;

    QImage mask(width, height, QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter maskPainter(&mask);
        maskPainter.setRenderHint(QPainter::Antialiasing);
        maskPainter.scale(scale, scale);
        maskPainter.translate(-bounds.topLeft());
        maskPainter.fillPath(shape, Qt::black);
    }
    std::vector<float> alpha(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const uchar* row = mask.constScanLine(y);
        for (int x = 0; x < width; ++x) alpha[static_cast<std::size_t>(y * width + x)] = row[x];
    }
    const int radius = std::max(1, static_cast<int>(std::lround(shadow.blurRadius * scale / 2)));
    for (int pass = 0; pass < 3; ++pass) {
        boxBlurPass(alpha, width, height, radius, true);
        boxBlurPass(alpha, width, height, radius, false);
    }
    QImage tinted(width, height, QImage::Format_ARGB32_Premultiplied);
    const QColor color = shadow.color;
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(tinted.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const float coverage = alpha[static_cast<std::size_t>(y * width + x)] / 255.0f;
            const float a = std::clamp(coverage * static_cast<float>(color.alphaF()), 0.0f, 1.0f);
            row[x] = qPremultiply(qRgba(color.red(), color.green(), color.blue(), static_cast<int>(std::lround(a * 255))));
        }
    }
    tinted.setDevicePixelRatio(scale);
    painter.drawImage(QPointF(bounds.topLeft()) + shadow.offset, tinted);
}

}  // namespace

QPainterPath OrvantaMarkShape::path(const QRectF& rect) {
    const qreal x0 = rect.left();
    const qreal y0 = rect.top();
    const qreal w = rect.width();
    const qreal h = rect.height();
    const auto at = [&](qreal a, qreal b) { return QPointF(x0 + a * w, y0 + b * h); };
    const auto bar = [&](qreal a, qreal b, qreal aw, qreal bh) { return QRectF(at(a, b), QSizeF(aw * w, bh * h)); };

    QPainterPath path;
    const qreal radius = 0.065 * w;
    path.addRoundedRect(bar(0.02, 0.35, 0.14, 0.42), radius, radius);
    path.addRoundedRect(bar(0.22, 0.06, 0.15, 0.66), radius, radius);
    path.addRoundedRect(bar(0.45, 0.22, 0.16, 0.62), radius, radius);

    QPainterPath foot;
    foot.moveTo(at(0.22, 0.7));
    foot.lineTo(at(0.37, 0.6));
    foot.lineTo(at(0.37, 0.88));
    foot.quadTo(at(0.22, 0.94), at(0.22, 0.94));
    foot.closeSubpath();
    path.addPath(foot);

    QPainterPath arc;
    arc.moveTo(at(0.68, 0.29));
    arc.quadTo(at(0.98, 0.41), at(0.97, 0.48));
    arc.quadTo(at(0.98, 0.6), at(0.68, 0.72));
    arc.closeSubpath();
    path.addPath(arc);
    // Non-zero winding: where the figures overlap they stay filled.
    path.setFillRule(Qt::WindingFill);
    return path;
}

OrvantaMark::OrvantaMark(bool glow, QWidget* parent) : QWidget(parent), glow_(glow) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

std::array<MarkShadow, 2> OrvantaMark::shadows(bool glow) {
    QColor pink = OrvantaTheme::pink();
    pink.setAlphaF(glow ? 0.34 : 0);
    QColor blue = OrvantaTheme::blue();
    blue.setAlphaF(glow ? 0.3 : 0);
    return {MarkShadow{pink, 8, QPointF(-3, 1)}, MarkShadow{blue, 8, QPointF(4, 1)}};
}

void OrvantaMark::paint(QPainter& painter, const QRectF& rect, bool glow) {
    const QPainterPath shape = OrvantaMarkShape::path(rect);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    for (const MarkShadow& shadow : shadows(glow)) paintShadow(painter, shape, shadow);
    painter.fillPath(shape, OrvantaTheme::markGradient(rect));
    painter.restore();
}

void OrvantaMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, rect(), glow_);
}

OrvantaMarkBadge::OrvantaMarkBadge(qreal size, bool glow, QWidget* parent) : QWidget(parent), size_(size), glow_(glow) {
    const int side = static_cast<int>(std::lround(size));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

qreal OrvantaMarkBadge::cornerRadius(qreal size) { return 0.24 * size; }

QRectF OrvantaMarkBadge::markRect(qreal size) {
    const qreal inset = 0.16 * size;
    return {inset, inset, size - 2 * inset, size - 2 * inset};
}

void OrvantaMarkBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(0, 0, size_, size_);
    const QRectF outline = tile.adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = cornerRadius(size_);

    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, OrvantaTheme::white(0.075));
    fill.setColorAt(1, OrvantaTheme::black(0.16));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(outline, radius, radius);

    painter.setOpacity(0.42);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QBrush(OrvantaTheme::markGradient(tile)), 1));
    painter.drawRoundedRect(outline, radius, radius);
    painter.setOpacity(1);

    OrvantaMark::paint(painter, markRect(size_), glow_);
}

QImage OrvantaMarkBadge::iconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    OrvantaMarkBadge badge(size, false);
    badge.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QIcon OrvantaMarkBadge::applicationIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(QPixmap::fromImage(iconImage(size)));
    return icon;
}

}  // namespace corvel::theme
