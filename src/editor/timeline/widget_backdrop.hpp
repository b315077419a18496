#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>

#include <vector>

class QWidget;

namespace corvel::editor {

// What the window paints beneath a widget, kept as a picture so that the widget can paint
// itself opaquely: the window then no longer repaints the backgrounds under it (the root
// view's glow, the panels) on every update of the widget. The picture is made again, at the
// next turn of the event loop, after the widget showed, or after it or one of its ancestors
// moved or resized so that the widget's place in the window, its size or the window's size
// changed (scrolling included); until then the widget is marked transparent and the window
// paints beneath it as usual. The backgrounds beneath are taken to change only with those. A
// widget that is its own window has no backdrop.
class WidgetBackdrop final : public QObject {
public:
    explicit WidgetBackdrop(QWidget& widget);

    // The picture beneath the widget at its own size, or none while there is none to trust;
    // while there is one the widget is marked opaque and must cover every pixel.
    const QImage* picture() const { return valid_ ? &picture_ : nullptr; }
    // While the picture is being made: the widget must paint nothing.
    bool rendering() const { return rendering_; }
    // How often the picture was made.
    int renderCount() const { return renderCount_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Where the widget stands in its window, its size and the window's.
    struct Placement {
        QPoint origin;
        QSize size;
        QSize windowSize;
        qreal ratio = 1;
        friend bool operator==(const Placement&, const Placement&) = default;
    };
    Placement placement() const;
    void invalidate();
    void render();
    void watchAncestors();

    QWidget& widget_;
    QImage picture_;
    Placement pictured_;
    bool valid_ = false;
    bool pending_ = false;
    bool rendering_ = false;
    int renderCount_ = 0;
    std::vector<QPointer<QWidget>> ancestors_;
};

}  // namespace corvel::editor
