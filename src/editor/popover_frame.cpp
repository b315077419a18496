#include "editor/popover_frame.hpp"

#include <QCheckBox>
#include <QHideEvent>
#include <QLabel>
#include <QPainter>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

#include "theme/orvanta_theme.hpp"

namespace corvel::editor {
namespace {

class SubscriptionKeeper final : public QObject {
public:
    using QObject::QObject;
    std::vector<Subscription> subscriptions;
};

constexpr int kAnchorGap = 6;
constexpr int kEdgeWidth = 1;
// The popover's face: a step above the window's background, so it reads as lying over it.
const QColor kFace(26, 28, 35);

}  // namespace

PopoverFrame::PopoverFrame(Published<bool>& isPresented, QWidget* anchor, ContentBuilder buildContent)
    : QFrame(anchor, Qt::Popup), isPresented_(isPresented), anchor_(anchor), buildContent_(std::move(buildContent)) {
    // The edge and the face are drawn here: the style's own frame vanishes over the black timeline.
    setFrameShape(QFrame::NoFrame);
    // The click outside that closes the popover goes no further: a click on the button that
    // opened it must close it, not open it again.
    setAttribute(Qt::WA_NoMouseReplay);
    setPalette(theme::OrvantaTheme::darkPalette());
    // Radio circles in the style's own colours are black on black; these stand out.
    setStyleSheet(QStringLiteral("QRadioButton::indicator { width: 12px; height: 12px; border-radius: 7px;"
                                 " border: 1px solid %1; background: %2; }"
                                 "QRadioButton::indicator:checked { border: 4px solid %3; background: white; width: 6px;"
                                 " height: 6px; }"
                                 "QRadioButton::indicator:disabled { border-color: %4; }")
                      .arg(theme::OrvantaTheme::white(0.55).name(QColor::HexArgb),
                           theme::OrvantaTheme::white(0.06).name(QColor::HexArgb),
                           theme::OrvantaTheme::standardBlue().name(),
                           theme::OrvantaTheme::white(0.2).name(QColor::HexArgb)));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kEdgeWidth, kEdgeWidth, kEdgeWidth, kEdgeWidth);
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
    place();
    show();
}

void PopoverFrame::place() {
    if (!anchor_) return;
    // Under the anchor, its leading edges aligned, and inside the anchor's window: moved left
    // where it would stick out on the right, and above the anchor where it would stick out below.
    const QRect window = anchor_->window()->geometry();
    const QPoint anchorTop = anchor_->mapToGlobal(QPoint(0, 0));
    QPoint at(anchorTop.x(), anchorTop.y() + anchor_->height() + kAnchorGap);
    if (at.x() + width() > window.right() + 1) at.setX(window.right() + 1 - width());
    if (at.y() + height() > window.bottom() + 1) {
        const int above = anchorTop.y() - kAnchorGap - height();
        at.setY(above >= window.top() ? above : window.bottom() + 1 - height());
    }
    at.setX(std::max(at.x(), window.left()));
    at.setY(std::max(at.y(), window.top()));
    move(at);
}

void PopoverFrame::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    // Content that grows while it is shown (a message that appears) keeps the popover inside.
    if (content_) place();
}

void PopoverFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kFace);
    painter.setPen(QPen(edgeColor(), kEdgeWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

QColor PopoverFrame::edgeColor() { return theme::OrvantaTheme::panelStroke(); }

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

QFont popoverControlFont() { return theme::OrvantaTheme::font(13, QFont::Normal); }

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    // File names, messages and numbers are shown as they are, never read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(false);
    if (color.isValid()) theme::OrvantaTheme::setTextColor(label, color);
    return label;
}

QString plainToolTip(const QString& text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap) : text;
}

QWidget* makeDivider() {
    auto* divider = new theme::OrvantaDivider;
    divider->setFixedHeight(1);
    return divider;
}

}  // namespace corvel::editor
