#pragma once

#include <QColor>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

namespace corvel::theme {

// The application's own small icon set, looked up by symbol name ("globe", "stethoscope",
// ...). Widgets that show a symbol keep its name in the property below, so the name can be
// checked without looking at pixels.
inline constexpr const char* kSystemImageProperty = "systemImage";

bool hasSymbol(const QString& name);

// Draws the symbol into `box` in `color`. Returns false, drawing nothing, for an unknown name.
bool paintSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

// A symbol of the application's icon set, drawn in a square of `side` in one colour. The
// symbol's name is kept in the widget's "systemImage" property.
class SymbolImage : public QWidget {
public:
    SymbolImage(const QString& name, int side, const QColor& color, QWidget* parent = nullptr);

    QString name() const;
    void setSymbol(const QString& name, const QColor& color);
    const QColor& color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

}  // namespace corvel::theme
