#pragma once

#include <QSize>
#include <QToolButton>
#include <QWidget>

#include <functional>

#include "editor/toolbar/toolbar_popovers.hpp"

// The small widgets the editor toolbar's controls are made of.

namespace corvel::editor {

// A pull-down menu shown as one symbol of the app's set (kept in the "systemImage" property),
// without the platform's menu indicator. Its menu is `menu()`.
class ToolbarMenuButton final : public QToolButton {
public:
    ToolbarMenuButton(const QString& systemImage, QSize symbolFrame, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSize symbolFrame_;
};

// The tempo readout's body: all of it takes clicks, and only a double click does anything.
class TempoReadout final : public QWidget {
public:
    explicit TempoReadout(std::function<void()> onDoubleClick, QWidget* parent = nullptr);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    std::function<void()> onDoubleClick_;
};

}  // namespace corvel::editor
