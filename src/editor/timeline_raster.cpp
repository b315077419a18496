#include "editor/timeline_raster.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/numeric.hpp"

namespace corvel::editor {

namespace {

// Every channel of a premultiplied pixel times a / 255, two channels per multiplication.
inline std::uint32_t scaled(std::uint32_t pixel, std::uint32_t a) {
    std::uint32_t redBlue = (pixel & 0xff00ff) * a;
    redBlue = ((redBlue + ((redBlue >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    std::uint32_t alphaGreen = ((pixel >> 8) & 0xff00ff) * a;
    alphaGreen = (alphaGreen + ((alphaGreen >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return alphaGreen | redBlue;
}

// Source over, both premultiplied.
inline QRgb over(QRgb source, QRgb destination) { return source + scaled(destination, 255 - qAlpha(source)); }

QRgb premultiplied(const QColor& colour) { return qPremultiply(colour.rgba()); }

// A logical coordinate in device pixels, kept inside 0 ... limit.
int devicePixel(double logical, qreal ratio, int limit) {
    return int(std::clamp<std::int64_t>(roundedInt64(logical * ratio), 0, limit));
}

}  // namespace

void fillBandWithCoats(QImage& picture, double top, double height, const QColor& colour, const QColor& coat,
                       const std::vector<session::BeatloomPixelSpan>& coatedSpans) {
    const qreal ratio = picture.devicePixelRatio();
    const int width = picture.width();
    const int y0 = devicePixel(top, ratio, picture.height());
    const int y1 = devicePixel(top + height, ratio, picture.height());
    if (y0 >= y1 || width <= 0) return;

    std::vector<std::uint8_t> coats(std::size_t(width), 0);
    for (const auto& span : coatedSpans) {
        const int x0 = devicePixel(span.x0, ratio, width);
        const int x1 = devicePixel(span.x1, ratio, width);
        for (int x = x0; x < x1; ++x) coats[std::size_t(x)] = std::uint8_t(std::min(coats[std::size_t(x)] + 1, 255));
    }
    // One row of finished colours, laid over each row of the band.
    const QRgb base = premultiplied(colour);
    const QRgb coatColour = premultiplied(coat);
    std::vector<QRgb> shades{base};
    std::vector<QRgb> row(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        const std::size_t n = coats[std::size_t(x)];
        while (shades.size() <= n) shades.push_back(over(coatColour, shades.back()));
        row[std::size_t(x)] = shades[n];
    }
    uchar* bits = picture.bits();
    const qsizetype stride = picture.bytesPerLine();
    for (int y = y0; y < y1; ++y) {
        auto* pixels = reinterpret_cast<QRgb*>(bits + stride * y);
        for (int x = 0; x < width; ++x) pixels[x] = over(row[std::size_t(x)], pixels[x]);
    }
}

void blendColumn(QImage& picture, double columnX, double lineWidth, double top, double bottom, const QColor& colour,
                 double on, double off) {
    const qreal ratio = picture.devicePixelRatio();
    const double left = std::floor(columnX * ratio);
    if (!(left >= 0 && left < picture.width())) return;
    const int x0 = int(left);
    const int x1 = std::min(picture.width(), x0 + std::max(1, int(std::lround(lineWidth * ratio))));
    const int y0 = devicePixel(std::min(top, bottom), ratio, picture.height());
    const int y1 = devicePixel(std::max(top, bottom), ratio, picture.height());
    const QRgb source = premultiplied(colour);
    // Dashes in whole pixels, starting with a dash at the top.
    const bool dashed = on > 0 && off > 0;
    const int onPixels = std::max(1, int(std::lround(on * ratio)));
    const int period = onPixels + std::max(1, int(std::lround(off * ratio)));
    uchar* bits = picture.bits();
    const qsizetype stride = picture.bytesPerLine();
    int phase = 0;
    for (int y = y0; y < y1; ++y, phase = phase + 1 == period ? 0 : phase + 1) {
        if (dashed && phase >= onPixels) continue;
        auto* pixels = reinterpret_cast<QRgb*>(bits + stride * y);
        for (int x = x0; x < x1; ++x) pixels[x] = over(source, pixels[x]);
    }
}

}  // namespace corvel::editor
