#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QWidget>

class QPainter;

// Small pieces the tempo-editor screen and its rows share: colours at an opacity, labels, and
// the symbols shown on their own (not inside a theme button): the application's symbol set
// first, then the few only this screen needs. Every symbol widget keeps the symbol's name in
// the shared "systemImage" property.

namespace corvel::editor {

// The colour with this opacity.
QColor atOpacity(const QColor& color, qreal opacity);

// A label in this font and text colour.
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color);

// Draws the named symbol into the box; false, drawing nothing, for an unknown name.
bool paintScreenSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

// A symbol image of a fixed side.
class ScreenSymbol final : public QWidget {
public:
    ScreenSymbol(const QString& name, int side, const QColor& color, QWidget* parent = nullptr);
    QString name() const;
    void setColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
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
