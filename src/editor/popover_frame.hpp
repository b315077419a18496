#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

#include "common/observable.hpp"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QVBoxLayout;

// The small panels the tempo editor opens from its buttons. Each one shows while a Boolean
// of the editor state (or of its owner) is true and is gone while it is false; whoever closes
// it (its own buttons, a click outside, the owner) goes through that one flag.

namespace corvel::editor {

// A pop-up window under its anchor that follows a presentation flag. Its content is built
// anew each time the flag turns true and dropped when it turns false, so what it shows is
// always read afresh from the models. A click outside closes it and sets the flag false. It
// stays inside the anchor's window, also when its content grows.
class PopoverFrame final : public QFrame {
public:
    using ContentBuilder = std::function<QWidget*()>;

    PopoverFrame(Published<bool>& isPresented, QWidget* anchor, ContentBuilder buildContent);
    ~PopoverFrame() override;

    // The content while the popover is presented, else none.
    QWidget* content() const { return content_; }
    // The line around the popover, in the theme's outline colour.
    static QColor edgeColor();

protected:
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void present(bool presented);
    void place();

    Published<bool>& isPresented_;
    QPointer<QWidget> anchor_;
    ContentBuilder buildContent_;
    QPointer<QWidget> content_;
    Subscription subscription_;
};

// Keeps a subscription for as long as `owner` lives.
void keepWhileAlive(QObject* owner, Subscription subscription);

// A switch that shows `shown` and hands every change by the user to `change`; the model decides
// what is stored, and the switch follows what it publishes.
QCheckBox* makeToggle(const QString& text, const Published<bool>& shown, std::function<void(bool)> change);
// A switch that writes straight into a view setting.
QCheckBox* makeToggle(const QString& text, Published<bool>& value);

// A column of popover items aligned to the leading edge, padded on all sides, of fixed width.
QWidget* makePopoverColumn(int width, int spacing, int padding, QVBoxLayout** layout);

// The platform's regular control size, for the switches, pickers and buttons of a popover.
QFont popoverControlFont();

// A one-line label of plain text (never read as markup); an invalid colour keeps the default
// foreground.
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color = {});

// A tool tip that shows `text` as it is: Qt reads a tool tip that looks like markup as markup.
QString plainToolTip(const QString& text);

// A horizontal divider line across the column.
QWidget* makeDivider();

}  // namespace corvel::editor
