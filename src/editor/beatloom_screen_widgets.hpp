#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QString>
#include <QWidget>

#include "app/symbol_set.hpp"

class QPainter;

// The symbols the tempo-editor screen shows on their own (not inside a theme button): the
// application's symbol set first, then the few only this screen needs. Every widget keeps
// the symbol's name in the shared "systemImage" property.

namespace corvel::editor {


// Draws the named symbol into the box; false, drawing nothing, for an unknown name.
bool paintScreenSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

// A symbol image of a fixed side that also draws the screen's own symbols.
class ScreenSymbol final : public app::SymbolImage {
public:
    using app::SymbolImage::SymbolImage;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A borderless button that shows only a symbol.
class ScreenSymbolButton final : public QAbstractButton {
public:
    ScreenSymbolButton(const QString& name, int side, const QColor& color, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

}  // namespace corvel::editor
