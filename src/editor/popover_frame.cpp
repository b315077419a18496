#include "editor/popover_frame.hpp"

#include <QCheckBox>
#include <QHideEvent>
#include <QLabel>
#include <QVBoxLayout>

#include <utility>
#include <vector>

#include "app/orvanta_theme.hpp"

namespace corvel::editor {
namespace {

class SubscriptionKeeper final : public QObject {
public:
    using QObject::QObject;
    std::vector<Subscription> subscriptions;
};

constexpr int kAnchorGap = 6;

}  // namespace

PopoverFrame::PopoverFrame(Published<bool>& isPresented, QWidget* anchor, ContentBuilder buildContent)
    : QFrame(anchor, Qt::Popup), isPresented_(isPresented), anchor_(anchor), buildContent_(std::move(buildContent)) {
    setFrameShape(QFrame::StyledPanel);
    // The click outside that closes the popover goes no further: a click on the button that
    // opened it must close it, not open it again.
    setAttribute(Qt::WA_NoMouseReplay);
    setAutoFillBackground(true);
    setPalette(app::OrvantaTheme::darkPalette());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    subscription_ = isPresented_.subscribe([this](const bool& presented) { present(presented); });
    if (isPresented_.value()) present(true);
}

PopoverFrame::~PopoverFrame() { subscription_.reset(); }

void PopoverFrame::present(bool presented) {
    if (!presented) {
        hide();
        // The popover may be closing from inside one of its own buttons' handlers.
        if (content_) content_->deleteLater();
        content_ = nullptr;
        return;
    }
    if (content_) return;
    content_ = buildContent_();
    layout()->addWidget(content_);
    adjustSize();
    if (anchor_) move(anchor_->mapToGlobal(QPoint(0, anchor_->height() + kAnchorGap)));
    show();
}

void PopoverFrame::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    // A click outside closes the pop-up window itself; the flag has to follow.
    isPresented_.set(false);
}

void keepWhileAlive(QObject* owner, Subscription subscription) {
    // The keeper has no meta-object of its own, so Qt's typed child lookup would not tell it apart.
    SubscriptionKeeper* keeper = nullptr;
    for (QObject* child : owner->children()) {
        if ((keeper = dynamic_cast<SubscriptionKeeper*>(child)) != nullptr) break;
    }
    if (keeper == nullptr) keeper = new SubscriptionKeeper(owner);
    keeper->subscriptions.push_back(std::move(subscription));
}

QCheckBox* makeToggle(const QString& text, const Published<bool>& shown, std::function<void(bool)> change) {
    auto* toggle = new QCheckBox(text);
    toggle->setChecked(shown.value());
    keepWhileAlive(toggle, shown.subscribe([toggle](const bool& on) { toggle->setChecked(on); }));
    QObject::connect(toggle, &QCheckBox::toggled, toggle, [toggle, &shown, change = std::move(change)](bool on) {
        change(on);
        // The model may have kept its own value.
        if (toggle->isChecked() != shown.value()) toggle->setChecked(shown.value());
    });
    return toggle;
}

QCheckBox* makeToggle(const QString& text, Published<bool>& value) {
    return makeToggle(text, value, [&value](bool on) { value.set(on); });
}

QWidget* makePopoverColumn(int width, int spacing, int padding, QVBoxLayout** layout) {
    auto* column = new QWidget;
    column->setFixedWidth(width);
    column->setFont(popoverControlFont());
    auto* columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(padding, padding, padding, padding);
    columnLayout->setSpacing(spacing);
    columnLayout->setAlignment(Qt::AlignTop);
    *layout = columnLayout;
    return column;
}

QFont popoverControlFont() { return app::OrvantaTheme::font(13, QFont::Normal); }

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    label->setFont(font);
    label->setWordWrap(false);
    if (color.isValid()) app::OrvantaTheme::setTextColor(label, color);
    return label;
}

QWidget* makeDivider() {
    auto* divider = new app::OrvantaDivider;
    divider->setFixedHeight(1);
    return divider;
}

}  // namespace corvel::editor
