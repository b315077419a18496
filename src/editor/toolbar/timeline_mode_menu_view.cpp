#include "editor/toolbar/timeline_mode_menu_view.hpp"

#include <QAction>
#include <QMenu>
#include <QShortcut>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "editor/popover_frame.hpp"
#include "editor/toolbar/rejoin_grid_popover.hpp"
#include "editor/timeline/timeline_handle_view.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using theme::FontDesign;
using theme::OrvantaTheme;

constexpr int kSymbolSide = 20;
constexpr int kChevronSide = 7;

QIcon symbolIcon(const QString& name, int side, const QColor& colour) {
    QPixmap pixmap(side * 2, side * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    theme::paintSymbol(painter, name, QRectF(0, 0, side, side), colour);
    painter.end();
    return QIcon(pixmap);
}

}  // namespace

BeatloomTimelineModeMenu::BeatloomTimelineModeMenu(session::BeatloomViewModel& model, bool showText, QWidget* parent)
    : QToolButton(parent), model_(model), showText_(showText) {
    setAutoRaise(true);
    setPopupMode(QToolButton::InstantPopup);
    setToolButtonStyle(showText_ ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
    // The chevron stands after the title.
    if (showText_) setLayoutDirection(Qt::RightToLeft);
    setFont(OrvantaTheme::font(11, QFont::ExtraBold, FontDesign::rounded));
    setIconSize(showText_ ? QSize(kChevronSide, kChevronSide) : QSize(kSymbolSide, kSymbolSide));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    setToolTip(QString::fromUtf8(kTimelineModeMenuHelpText.data(), qsizetype(kTimelineModeMenuHelpText.size())));
    // No arrow of the style's own: the title carries its chevron.
    setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));

    menu_ = new QMenu(this);
    connect(menu_, &QMenu::aboutToShow, this, [this] { rebuildMenu(); });
    setMenu(menu_);
    menu_->setLayoutDirection(Qt::LeftToRight);

    // A works while the editor is shown, without opening the menu.
    shortcut_ = new QShortcut(QKeySequence(Qt::Key_A), this);
    shortcut_->setContext(Qt::WindowShortcut);
    connect(shortcut_, &QShortcut::activated, this, [this] { addAnchorByKey(model_); });

    popover_ = new PopoverFrame(showRejoinPopover_, this, [this]() -> QWidget* {
        return new BeatloomRejoinGridPopover(model_, rejoinValues_, showRejoinPopover_);
    });
    popover_->setLayoutDirection(Qt::LeftToRight);

    locatorSubscription_ = model_.locatorSeconds.subscribe([this](const double&) { refresh(); });
    regionsSubscription_ =
        model_.timelineRegions.subscribe([this](const std::vector<BeatloomTimelineRegion>&) { refresh(); });
    refresh();
}

BeatloomTimelineModeMenu::~BeatloomTimelineModeMenu() {
    locatorSubscription_.reset();
    regionsSubscription_.reset();
}

std::vector<TimelineModeMenuEntry> BeatloomTimelineModeMenu::items() {
    return timelineModeMenuItems(model_, [this] { openRejoinGrid(); });
}

void BeatloomTimelineModeMenu::openRejoinGrid() {
    const auto values = rejoinGridValuesAtLocator(model_);
    if (!values) return;
    rejoinValues_ = *values;
    showRejoinPopover_.set(true);
}

void BeatloomTimelineModeMenu::refresh() {
    mode_ = model_.regionAtLocator();
    const auto label = timelineModeLabel(mode_);
    const QColor colour = palette().color(QPalette::ButtonText);
    setText(QString::fromStdString(label.title));
    // With text, the title is followed by a small chevron; without, the mode's symbol stands alone.
    setIcon(symbolIcon(showText_ ? QStringLiteral("chevron.down") : QString::fromStdString(label.symbol),
                       showText_ ? kChevronSide : kSymbolSide, colour));
    setProperty("systemImage", QString::fromStdString(label.symbol));
}

void BeatloomTimelineModeMenu::rebuildMenu() {
    menu_->clear();
    std::vector<TimelineMenuItem> plain;
    for (auto& entry : items()) {
        if (entry.shortcut) entry.item.title += "\t" + *entry.shortcut;
        plain.push_back(std::move(entry.item));
    }
    populateContextMenu(*menu_, plain);
}

}  // namespace corvel::editor
