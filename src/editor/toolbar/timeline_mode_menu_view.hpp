#pragma once

#include <QToolButton>

#include "common/observable.hpp"
#include "editor/toolbar/timeline_mode_menu.hpp"

class QMenu;
class QShortcut;

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class PopoverFrame;

// The toolbar's Free Time / Rubato / Rejoin Grid pull-down. Its label follows the mode at the
// locator (the title, or only the symbol when `showText` is false); its menu is built afresh
// each time it opens. It owns the Rejoin Grid popover and its values, and the A key that adds an
// anchor at the locator while the editor is shown. The toolbar hosts one per layout.
class BeatloomTimelineModeMenu final : public QToolButton {
public:
    BeatloomTimelineModeMenu(session::BeatloomViewModel& model, bool showText, QWidget* parent = nullptr);
    ~BeatloomTimelineModeMenu() override;

    bool showText() const { return showText_; }
    BeatloomTimelineMode mode() const { return mode_; }
    // The items the menu shows now, with their actions.
    std::vector<TimelineModeMenuEntry> items();
    // "Rejoin Grid Here…": takes the values at the locator and opens the popover; inside no
    // region nothing changes.
    void openRejoinGrid();

    Published<bool>& showRejoinPopover() { return showRejoinPopover_; }
    RejoinGridValues& rejoinValues() { return rejoinValues_; }
    PopoverFrame* rejoinPopover() const { return popover_; }
    QShortcut* addAnchorShortcut() const { return shortcut_; }

private:
    void refresh();
    void rebuildMenu();

    session::BeatloomViewModel& model_;
    bool showText_;
    BeatloomTimelineMode mode_ = BeatloomTimelineMode::metered;
    Published<bool> showRejoinPopover_{false};
    RejoinGridValues rejoinValues_;
    QMenu* menu_ = nullptr;
    PopoverFrame* popover_ = nullptr;
    QShortcut* shortcut_ = nullptr;
    Subscription locatorSubscription_;
    Subscription regionsSubscription_;
};

}  // namespace corvel::editor
