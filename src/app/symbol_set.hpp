#pragma once

#include <QColor>
#include <QRectF>
#include <QString>

class QPainter;

namespace corvel::app {

// The application's own small icon set, looked up by symbol name ("globe", "stethoscope",
// ...). Widgets that show a symbol keep its name in the property below, so the name can be
// checked without looking at pixels.
inline constexpr const char* kSystemImageProperty = "systemImage";

bool hasSymbol(const QString& name);

// Draws the symbol into `box` in `color`. Returns false, drawing nothing, for an unknown name.
bool paintSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

}  // namespace corvel::app
