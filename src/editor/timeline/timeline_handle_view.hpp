#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>

#include <optional>
#include <vector>

#include "editor/timeline/timeline_handles.hpp"

class QMenu;
class QPainter;

// How the marker handles look on the timeline and where they take the pointer.

namespace corvel::editor {

// The property a context-menu action carries when it deletes or removes something.
inline constexpr const char* kDestructiveActionProperty = "destructive";

// A named colour at an opacity, as the timeline's layers draw them.
QColor withOpacity(QColor color, double opacity);

// The area the handle covers, centred on its centre.
QRectF markerHandleRect(const MarkerHandle& handle);
// The topmost handle under the point: later handles lie over earlier ones.
std::optional<MarkerHandle> markerHandleAt(const std::vector<MarkerHandle>& handles, QPointF position);
void paintMarkerHandle(QPainter& painter, const MarkerHandle& handle);

// Fills a menu with the items; a destructive action carries kDestructiveActionProperty.
void populateContextMenu(QMenu& menu, const std::vector<TimelineMenuItem>& items);

}  // namespace corvel::editor
