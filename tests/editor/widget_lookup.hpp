#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <gtest/gtest.h>

#include "theme/symbol_set.hpp"

// Finding the controls of a view the way a user tells them apart: by their text, their tool
// tip or the symbol they show.

namespace corvel::editor::testing {

inline QString widgetText(const QWidget* widget) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
    return {};
}

// The one widget of that type under root with that text; fails the test when there is none.
template <typename W = QWidget>
W* findByText(const QWidget* root, const QString& text) {
    for (W* widget : root->findChildren<W*>()) {
        if (widgetText(widget) == text) return widget;
    }
    ADD_FAILURE() << "no widget reads " << text.toStdString();
    return nullptr;
}

template <typename W = QWidget>
int countByText(const QWidget* root, const QString& text) {
    int count = 0;
    for (W* widget : root->findChildren<W*>()) count += widgetText(widget) == text ? 1 : 0;
    return count;
}

template <typename W = QWidget>
W* findByToolTip(const QWidget* root, const QString& toolTip) {
    for (W* widget : root->findChildren<W*>()) {
        if (widget->toolTip() == toolTip) return widget;
    }
    ADD_FAILURE() << "no widget has the tool tip " << toolTip.toStdString();
    return nullptr;
}

inline QWidget* findBySymbol(const QWidget* root, const QString& symbol) {
    for (QWidget* widget : root->findChildren<QWidget*>()) {
        if (widget->property(theme::kSystemImageProperty).toString() == symbol) return widget;
    }
    ADD_FAILURE() << "no widget shows the symbol " << symbol.toStdString();
    return nullptr;
}

// The texts of the labels under root, in the order they were made.
inline QStringList labelTexts(const QWidget* root) {
    QStringList texts;
    for (const QLabel* label : root->findChildren<QLabel*>()) texts << label->text();
    return texts;
}

// Visible to the user: shown itself and inside a shown parent chain, as far as root.
inline bool shownUnder(const QWidget* widget, const QWidget* root) {
    for (const QWidget* w = widget; w != nullptr && w != root; w = w->parentWidget()) {
        if (w->isHidden()) return false;
    }
    return true;
}

}  // namespace corvel::editor::testing
