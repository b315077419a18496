#pragma once

#include <QColor>
#include <QImage>

#include <vector>

#include "session/beatloom_viewport_state.hpp"

// Pixel work on the timeline's pictures that a painter would do span by span: filling the
// lanes and laying vertical lines of a pixel or two (grid, waveform columns, marker dashes)
// straight into the picture's pixels, row by row. Lengths are logical pixels; the picture's
// device pixel ratio maps them to its pixels. The picture is 32-bit premultiplied ARGB.

namespace corvel::editor {

// A vertical line from its column's left edge, `width` wide, from `top` to `bottom`; dashed
// with `on` and `off` lengths from its top when `on` is positive.
struct ColumnLine {
    double x = 0;
    double width = 1;
    double top = 0;
    double bottom = 0;
    QColor colour;
    double on = 0;
    double off = 0;
};

// A colour laid over the columns x0 ... x1 through a band's whole height.
struct ColumnTint {
    double x0 = 0;
    double x1 = 0;
    QColor colour;
};

// Fills a horizontal band over what the picture holds (the same in every row of the band):
// `colour`, one coat of `coat` over the columns of each span (spans may overlap: each adds a
// coat), then `lines` through the band's whole height, then `trace` (lines each over their
// own part of the band), then the tints in order. Each column's colours are worked out once,
// however tall the band.
void fillBand(QImage& picture, double top, double height, const QColor& colour, const QColor& coat,
              const std::vector<session::BeatloomPixelSpan>& coatedSpans, const std::vector<ColumnLine>& lines,
              const std::vector<ColumnLine>& trace, const std::vector<ColumnTint>& tints = {});

// Lays the lines over the picture, in order.
void blendLines(QImage& picture, const std::vector<ColumnLine>& lines);

// Lays `colour` over the pixel row at `y`, from `left` to `right`.
void blendRow(QImage& picture, double y, double left, double right, const QColor& colour);

// Vertical strokes with flat caps, each `width` wide and centred on its x, as antialiasing
// lays them (a column they cover in part takes that part of their colour), drawn into a
// picture `columns` pixels wide whose left edge stands at `left`, in order. Only `x`, `width`,
// `top`, `bottom` and `colour` of each line count.
QImage verticalStrokes(const std::vector<ColumnLine>& strokes, double left, int columns, double height,
                       qreal pixelRatio);

}  // namespace corvel::editor
