#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QString>
#include <QWidget>

#include "theme/symbol_set.hpp"

class QPainter;
class QScrollArea;
class QBoxLayout;

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

// Lays `changed` and every widget above it out again now, up to the window, rather than one level
// per turn of the event loop (a slow paint in between would show the old places for a while). A
// scroll area on the way fits its page at once.
void layOutNow(QWidget* changed);

// Keeps the page of `area` as wide while its vertical scroll bar shows as while it does not: with
// the bar hidden, `pageLayout` leaves the bar's width free at the trailing edge. Content that only
// grows taller (a panel opening) then never makes the page narrower under the user's eyes.
void reserveScrollBarRoom(QScrollArea& area, QBoxLayout& pageLayout);

}  // namespace corvel::editor
