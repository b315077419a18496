#include "editor/timeline/timeline_raster.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

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

// A line in device pixels: columns x0 ..< x1, rows y0 ..< y1, dashes of `on` rows in `period`.
struct DeviceLine {
    int x0 = 0;
    int x1 = 0;
    int y0 = 0;
    int y1 = 0;
    QRgb colour = 0;
    int on = 0;  // 0: solid
    int period = 1;
    int phase = 0;  // the row's place in the dash pattern, kept as the rows go down
};

DeviceLine deviceLine(const ColumnLine& line, const QImage& picture) {
    const qreal ratio = picture.devicePixelRatio();
    DeviceLine device;
    const double left = std::floor(line.x * ratio);
    if (!(left >= 0 && left < picture.width())) return device;
    device.x0 = int(left);
    device.x1 = std::min(picture.width(), device.x0 + std::max(1, int(std::lround(line.width * ratio))));
    device.y0 = devicePixel(std::min(line.top, line.bottom), ratio, picture.height());
    device.y1 = devicePixel(std::max(line.top, line.bottom), ratio, picture.height());
    device.colour = premultiplied(line.colour);
    if (line.on > 0 && line.off > 0) {
        device.on = std::max(1, int(std::lround(line.on * ratio)));
        device.period = device.on + std::max(1, int(std::lround(line.off * ratio)));
    }
    return device;
}

QRgb* row(QImage& picture, int y) {
    return reinterpret_cast<QRgb*>(picture.bits() + picture.bytesPerLine() * y);
}

}  // namespace

void fillBand(QImage& picture, double top, double height, const QColor& colour, const QColor& coat,
              const std::vector<session::BeatloomPixelSpan>& coatedSpans, const std::vector<ColumnLine>& lines,
              const std::vector<ColumnLine>& trace, const std::vector<ColumnTint>& tints) {
    const qreal ratio = picture.devicePixelRatio();
    const int width = picture.width();
    const int y0 = devicePixel(top, ratio, picture.height());
    const int y1 = devicePixel(top + height, ratio, picture.height());
    if (y0 >= y1 || width <= 0) return;
    const auto w = std::size_t(width);

    // One row of the band's colours, the same all the way down.
    std::vector<std::uint8_t> coats(w, 0);
    for (const auto& span : coatedSpans) {
        const int x0 = devicePixel(span.x0, ratio, width);
        const int x1 = devicePixel(span.x1, ratio, width);
        for (int x = x0; x < x1; ++x) coats[std::size_t(x)] = std::uint8_t(std::min(coats[std::size_t(x)] + 1, 255));
    }
    const QRgb coatColour = premultiplied(coat);
    std::vector<QRgb> shades{premultiplied(colour)};
    std::vector<QRgb> band(w);
    for (std::size_t x = 0; x < w; ++x) {
        while (shades.size() <= coats[x]) shades.push_back(over(coatColour, shades.back()));
        band[x] = shades[coats[x]];
    }
    for (const auto& line : lines) {
        const DeviceLine device = deviceLine(line, picture);
        for (int x = device.x0; x < device.x1; ++x) band[std::size_t(x)] = over(device.colour, band[std::size_t(x)]);
    }
    const QRgb* under = row(picture, y0);
    for (std::size_t x = 0; x < w; ++x) band[x] = over(band[x], under[x]);

    // The trace, per column: its rows and its colour over the band (no rows where it has none).
    std::vector<int> traceTop(w, 0);
    std::vector<int> traceBottom(w, 0);
    std::vector<QRgb> traceColour(band);
    for (const auto& line : trace) {
        const DeviceLine device = deviceLine(line, picture);
        for (int x = device.x0; x < device.x1; ++x) {
            const auto c = std::size_t(x);
            if (traceBottom[c] > traceTop[c]) {
                traceTop[c] = std::min(traceTop[c], device.y0);
                traceBottom[c] = std::max(traceBottom[c], device.y1);
            } else {
                traceTop[c] = device.y0;
                traceBottom[c] = device.y1;
            }
            traceColour[c] = over(device.colour, band[c]);
        }
    }
    for (const auto& tint : tints) {
        const QRgb source = premultiplied(tint.colour);
        const int x1 = devicePixel(tint.x1, ratio, width);
        for (int x = devicePixel(tint.x0, ratio, width); x < x1; ++x) {
            band[std::size_t(x)] = over(source, band[std::size_t(x)]);
            traceColour[std::size_t(x)] = over(source, traceColour[std::size_t(x)]);
        }
    }
    const int* tops = traceTop.data();
    const int* bottoms = traceBottom.data();
    const QRgb* traced = traceColour.data();
    const QRgb* plain = band.data();
    for (int y = y0; y < y1; ++y) {
        QRgb* pixels = row(picture, y);
        for (std::size_t x = 0; x < w; ++x) pixels[x] = y >= tops[x] && y < bottoms[x] ? traced[x] : plain[x];
    }
}

void blendLines(QImage& picture, const std::vector<ColumnLine>& lines) {
    // Lines that differ only in their columns go down the rows together, their columns merged
    // into runs; groups keep the order in which their first lines came.
    struct Group {
        DeviceLine pattern;
        std::vector<std::pair<int, int>> runs;  // columns x0 ..< x1
    };
    std::vector<Group> groups;
    int top = picture.height();
    int bottom = 0;
    for (const auto& line : lines) {
        const DeviceLine device = deviceLine(line, picture);
        if (device.x0 >= device.x1 || device.y0 >= device.y1) continue;
        const auto same = [&device](const Group& group) {
            const DeviceLine& p = group.pattern;
            return p.y0 == device.y0 && p.y1 == device.y1 && p.colour == device.colour && p.on == device.on &&
                   p.period == device.period;
        };
        auto group = std::find_if(groups.begin(), groups.end(), same);
        if (group == groups.end()) group = groups.insert(groups.end(), Group{device, {}});
        if (!group->runs.empty() && group->runs.back().second == device.x0) {
            group->runs.back().second = device.x1;
        } else {
            group->runs.emplace_back(device.x0, device.x1);
        }
        top = std::min(top, device.y0);
        bottom = std::max(bottom, device.y1);
    }
    // Row by row, so that each row is read and written once.
    for (int y = top; y < bottom; ++y) {
        QRgb* pixels = row(picture, y);
        for (auto& group : groups) {
            DeviceLine& p = group.pattern;
            if (y < p.y0 || y >= p.y1) continue;
            const bool dash = p.on == 0 || p.phase < p.on;
            p.phase = p.phase + 1 == p.period ? 0 : p.phase + 1;
            if (!dash) continue;
            for (const auto& [x0, x1] : group.runs) {
                for (int x = x0; x < x1; ++x) pixels[x] = over(p.colour, pixels[x]);
            }
        }
    }
}

void blendRow(QImage& picture, double y, double left, double right, const QColor& colour) {
    const qreal ratio = picture.devicePixelRatio();
    const double deviceRow = std::floor(y * ratio);
    if (!(deviceRow >= 0 && deviceRow < picture.height())) return;
    const int device = int(deviceRow);
    const int x0 = devicePixel(left, ratio, picture.width());
    const int x1 = devicePixel(right, ratio, picture.width());
    const QRgb source = premultiplied(colour);
    QRgb* pixels = row(picture, device);
    for (int x = x0; x < x1; ++x) pixels[x] = over(source, pixels[x]);
}

QImage verticalStrokes(const std::vector<ColumnLine>& strokes, double left, int columns, double height,
                       qreal pixelRatio) {
    QImage picture(int(std::ceil(columns * pixelRatio)), int(std::ceil(height * pixelRatio)),
                   QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(pixelRatio);
    picture.fill(0);
    for (const auto& stroke : strokes) {
        const double x0 = (stroke.x - stroke.width / 2 - left) * pixelRatio;
        const double x1 = (stroke.x + stroke.width / 2 - left) * pixelRatio;
        if (!(x0 < x1 && x1 > 0 && x0 < picture.width())) continue;  // also no NaN past here
        const int y0 = devicePixel(std::min(stroke.top, stroke.bottom), pixelRatio, picture.height());
        const int y1 = devicePixel(std::max(stroke.top, stroke.bottom), pixelRatio, picture.height());
        for (int c = int(std::max(0.0, std::floor(x0))); c < picture.width() && c < x1; ++c) {
            const double coverage = std::min(x1, double(c + 1)) - std::max(x0, double(c));
            if (!(coverage > 0)) continue;
            QColor colour = stroke.colour;
            colour.setAlphaF(float(colour.alphaF() * std::min(coverage, 1.0)));
            const QRgb source = premultiplied(colour);
            for (int y = y0; y < y1; ++y) row(picture, y)[c] = over(source, row(picture, y)[c]);
        }
    }
    return picture;
}

}  // namespace corvel::editor
