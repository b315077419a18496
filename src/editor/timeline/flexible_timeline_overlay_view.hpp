#pragma once

#include <QColor>
#include <QRectF>

#include <optional>
#include <vector>

#include "editor/timeline/flexible_timeline_overlay.hpp"
#include "editor/timeline/timeline_labels.hpp"

class QPainter;

// How the Free Time / Rubato overlay looks on the timeline and where it takes the pointer.

namespace corvel::editor {

// A rectangle as the label and marker layouts measure it.
inline LabelBox boxOf(const QRectF& rect) { return {rect.left(), rect.top(), rect.right(), rect.bottom()}; }

QRectF regionPillRect(const FlexibleRegionPill& pill);
// The box of the "AUDIO START" tag.
QRectF audioStartTagRect(const AudioStartTag& tag);
QRectF rhythmicAnchorMarkerRect(const RhythmicAnchorMarker& marker);
// The topmost pill or marker under the point: later ones lie over earlier ones. Bands and the
// "AUDIO START" tag take no hits.
std::optional<FlexibleRegionPill> regionPillAt(const std::vector<FlexibleRegionPill>& pills, QPointF position);
std::optional<RhythmicAnchorMarker> rhythmicAnchorMarkerAt(const std::vector<RhythmicAnchorMarker>& markers,
                                                           QPointF position);

// The tint of a region's band. The timeline lays the bands into its lanes' columns as it fills
// them, so that a band costs a pass over its width rather than over its area.
QColor regionBandColour(BeatloomTimelineMode mode);

// The tag, pills and markers, back to front, over the bands.
void paintFlexibleTimelineOverlay(QPainter& painter, const std::optional<AudioStartTag>& tag,
                                  const std::vector<FlexibleRegionPill>& pills,
                                  const std::vector<RhythmicAnchorMarker>& markers);

}  // namespace corvel::editor
