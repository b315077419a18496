#pragma once

#include <QColor>
#include <QImage>

#include <vector>

#include "session/beatloom_viewport_state.hpp"

// Pixel work on the timeline's pictures that a painter would do span by span: filling the
// lanes and laying one-pixel vertical lines (grid, waveform columns, marker dashes) straight
// into the picture's pixels. Lengths are logical pixels; the picture's device pixel ratio maps
// them to its pixels. The picture is 32-bit premultiplied ARGB.

namespace corvel::editor {

// Lays `colour` over the pixels of a horizontal band, with `layers` extra coats of `coat` on
// the columns of each span (spans may overlap: each adds one coat).
void fillBandWithCoats(QImage& picture, double top, double height, const QColor& colour, const QColor& coat,
                       const std::vector<session::BeatloomPixelSpan>& coatedSpans);

// Lays `colour` over one pixel column, `lineWidth` logical pixels wide from the column's left
// edge, between `top` and `bottom`; dashed with `on` and `off` lengths when `on` is positive.
void blendColumn(QImage& picture, double columnX, double lineWidth, double top, double bottom, const QColor& colour,
                 double on = 0, double off = 0);

}  // namespace corvel::editor
