#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QString>
#include <QWidget>

#include "app/symbol_set.hpp"

class QPainter;

// Small widgets of the tempo-editor screen. Symbols come from the application's symbol set and
// every widget keeps the symbol's name in the shared "systemImage" property.

namespace corvel::editor {

// A borderless button that shows only a symbol.
class ScreenSymbolButton final : public QAbstractButton {
public:
    ScreenSymbolButton(const QString& name, int side, const QColor& color, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

// A rounded rectangle behind the content, filled and optionally outlined.
class RoundedBox : public QWidget {
public:
    RoundedBox(qreal radius, QColor fill, QColor stroke = Qt::transparent, qreal strokeWidth = 0);

    void setLook(QColor fill, QColor stroke, qreal strokeWidth, bool dashed);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal radius_;
    QColor fill_;
    QColor stroke_;
    qreal strokeWidth_;
    bool dashed_ = false;
};

}  // namespace corvel::editor
