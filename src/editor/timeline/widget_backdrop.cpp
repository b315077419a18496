#include "editor/timeline/widget_backdrop.hpp"

#include <QEvent>
#include <QRegion>
#include <QTimer>
#include <QWidget>

namespace corvel::editor {

WidgetBackdrop::WidgetBackdrop(QWidget& widget) : QObject(&widget), widget_(widget) {
    widget_.setAttribute(Qt::WA_OpaquePaintEvent, false);
    widget_.installEventFilter(this);
    watchAncestors();
}

bool WidgetBackdrop::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::ParentChange:
            if (watched == &widget_) watchAncestors();
            invalidate();
            break;
        case QEvent::Show:
            if (watched == &widget_) invalidate();
            break;
        case QEvent::Move:
        case QEvent::Resize:
            if (!valid_ || placement() != pictured_) invalidate();
            break;
        default: break;
    }
    return false;
}

void WidgetBackdrop::watchAncestors() {
    for (const auto& ancestor : ancestors_) {
        if (ancestor) ancestor->removeEventFilter(this);
    }
    ancestors_.clear();
    for (QWidget* ancestor = widget_.parentWidget(); ancestor != nullptr; ancestor = ancestor->parentWidget()) {
        ancestor->installEventFilter(this);
        ancestors_.emplace_back(ancestor);
        if (ancestor->isWindow()) break;
    }
}

WidgetBackdrop::Placement WidgetBackdrop::placement() const {
    const QWidget* window = widget_.window();
    return {widget_.mapTo(window, QPoint(0, 0)), widget_.size(), window->size(), widget_.devicePixelRatioF()};
}

void WidgetBackdrop::invalidate() {
    if (valid_) {
        valid_ = false;
        widget_.setAttribute(Qt::WA_OpaquePaintEvent, false);
        widget_.update();
    }
    if (pending_ || widget_.isWindow()) return;
    pending_ = true;
    QTimer::singleShot(0, this, [this] { render(); });
}

void WidgetBackdrop::render() {
    pending_ = false;
    QWidget* window = widget_.window();
    if (window == &widget_ || !widget_.isVisible() || widget_.size().isEmpty()) return;
    const QPoint origin = widget_.mapTo(window, QPoint(0, 0));
    const QRect area = QRect(origin, widget_.size()) & window->rect();
    if (area.isEmpty()) return;

    const qreal ratio = widget_.devicePixelRatioF();
    QImage picture(widget_.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(ratio);
    picture.fill(0);
    // The widget is still transparent here, so the window paints what lies beneath it; the
    // widget itself paints nothing meanwhile.
    rendering_ = true;
    window->render(&picture, area.topLeft() - origin, QRegion(area),
                   QWidget::DrawWindowBackground | QWidget::DrawChildren);
    rendering_ = false;
    picture_ = std::move(picture);
    pictured_ = placement();
    valid_ = true;
    ++renderCount_;
    widget_.setAttribute(Qt::WA_OpaquePaintEvent, true);
    widget_.update();
}

}  // namespace corvel::editor
