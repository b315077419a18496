#include "setup/tool_card_view.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "theme/main_thread.hpp"
#include "setup/setup_widgets.hpp"

namespace corvel::setup {

using voduvetools::ToolComponent;
using voduvetools::kDifferentVersionStatus;
using voduvetools::kInstalledStatus;
using voduvetools::kPartiallyInstalledStatus;
using voduvetools::kVoduveNotDetectedStatus;
namespace {

using theme::FontDesign;
using theme::OrvantaTheme;

// The label of the enable checkbox: a click on the tool's name or summary toggles it too.
class CheckboxLabel : public QWidget {
public:
    explicit CheckboxLabel(QCheckBox* checkbox) : checkbox_(checkbox) { setCursor(Qt::PointingHandCursor); }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (rect().contains(event->position().toPoint())) checkbox_->click();
    }

private:
    QCheckBox* checkbox_;
};

QString symbolFor(ToolComponent::Kind kind) {
    return kind == ToolComponent::Kind::cuewarden ? QStringLiteral("flag.2.crossed.fill")
                                                  : QStringLiteral("text.bubble.fill");
}

}  // namespace

QColor ToolCardView::statusColor(const std::string& statusText) {
    if (statusText == kInstalledStatus) return OrvantaTheme::standardGreen();
    if (statusText == kPartiallyInstalledStatus || statusText == kDifferentVersionStatus) {
        return OrvantaTheme::standardOrange();
    }
    if (statusText == kVoduveNotDetectedStatus) return OrvantaTheme::standardGray();
    return OrvantaTheme::white(0.52);
}

QString ToolCardView::conflictLine(const std::optional<VoduveShortcut>& shortcut, const ShortcutConflict& conflict) {
    const std::string keys = shortcut ? shortcut->displayText() : std::string("Shortcut");
    return QString::fromStdString(keys + " is assigned to: " + conflict.description);
}

QString ToolCardView::sharedShortcutLine(const VoduveShortcut& shortcut, const std::string& otherTool) {
    return QString::fromStdString(shortcut.displayText() + " is also chosen for " + otherTool +
                                  ". Choose another shortcut for one of them.");
}

ToolCardView::ToolCardView(Binding tool, std::function<void(std::optional<VoduveShortcut>)> onShortcutChanged,
                           std::function<void()> onSuggestFreeShortcut, QWidget* parent)
    : theme::OrvantaPanel({16, 16}, parent),
      tool_(std::move(tool)),
      onShortcutChanged_(std::move(onShortcutChanged)),
      onSuggestFreeShortcut_(std::move(onSuggestFreeShortcut)) {
    theme::requireMainThread();
    const State state = tool_.get();
    setObjectName(QStringLiteral("toolCard-") + QString::fromUtf8(rawValue(state.id)));

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(14);

    // Header: icon tile, enable checkbox with name and summary, status badge.
    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    auto* tile = new RoundedBox(12, withOpacity(OrvantaTheme::standardBlue(), 0.12));
    tile->setFixedSize(46, 46);
    auto* tileLayout = new QVBoxLayout(tile);
    tileLayout->setContentsMargins(0, 0, 0, 0);
    icon_ = new SymbolImage(symbolFor(state.component.id), 24, withOpacity(OrvantaTheme::standardBlue(), 0.92));
    tileLayout->addWidget(icon_, 0, Qt::AlignCenter);
    header->addWidget(tile, 0, Qt::AlignTop);

    auto* toggle = new QHBoxLayout;
    toggle->setSpacing(6);
    enable_ = new QCheckBox;
    enable_->setObjectName(QStringLiteral("enableTool"));
    enable_->setToolTip(QString::fromStdString(state.component.displayName));
    toggle->addWidget(enable_, 0, Qt::AlignTop);
    auto* texts = new CheckboxLabel(enable_);
    auto* textStack = new QVBoxLayout(texts);
    textStack->setContentsMargins(0, 0, 0, 0);
    textStack->setSpacing(4);
    name_ = makeLabel(QString::fromStdString(state.component.displayName), 19, QFont::ExtraBold,
                      OrvantaTheme::white(0.95));
    name_->setFont(OrvantaTheme::font(19, QFont::ExtraBold, FontDesign::rounded));
    summary_ = makeLabel(QString::fromStdString(state.component.summary), 13, QFont::Medium,
                         OrvantaTheme::secondaryText());
    summary_->setWordWrap(true);
    textStack->addWidget(name_);
    textStack->addWidget(summary_);
    toggle->addWidget(texts, 1);
    header->addLayout(toggle, 1);
    header->addStretch();
    status_ = new CapsuleBadge(QString(), Qt::white,
                               {.tracking = 1.2, .horizontalPadding = 10, .verticalPadding = 6, .fillOpacity = 0.11});
    header->addWidget(status_, 0, Qt::AlignTop);
    stack->addLayout(header);
    problem_ = makeLabel(QString(), 12, QFont::DemiBold, withOpacity(OrvantaTheme::standardOrange(), 0.94));
    problem_->setObjectName(QStringLiteral("toolProblem"));
    problem_->setWordWrap(true);
    problem_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stack->addWidget(problem_);
    connect(enable_, &QCheckBox::toggled, this, [this](bool on) { edit([on](State& s) { s.enabled = on; }); });

    divider_ = new theme::OrvantaDivider(OrvantaTheme::white(0.08));
    divider_->setFixedHeight(1);
    stack->addWidget(divider_);

    // The shortcut row.
    shortcutRow_ = new QWidget;
    auto* row = new QHBoxLayout(shortcutRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    auto* captions = new QVBoxLayout;
    captions->setSpacing(4);
    QLabel* caption = makeLabel(QStringLiteral("VODUVE SHORTCUT"), 10, QFont::ExtraBold, OrvantaTheme::mutedText());
    QFont captionFont = caption->font();
    captionFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    caption->setFont(captionFont);
    captions->addWidget(caption);
    captions->addWidget(makeLabel(QStringLiteral("Optional — the action also remains available in VODUVE's Action List."),
                                  12, QFont::Medium, OrvantaTheme::secondaryText()));
    row->addLayout(captions);
    row->addStretch();
    recorder_ = ShortcutRecorder::makeView(shortcutBinding());
    recorder_->setFixedSize(170, 32);
    row->addWidget(recorder_, 0, Qt::AlignVCenter);
    stack->addWidget(shortcutRow_);

    // The conflict box.
    conflictBox_ = new RoundedBox(11, withOpacity(OrvantaTheme::standardOrange(), 0.075),
                                  withOpacity(OrvantaTheme::standardOrange(), 0.19));
    auto* box = new QVBoxLayout(conflictBox_);
    box->setContentsMargins(12, 12, 12, 12);
    box->setSpacing(9);
    auto* title = new QHBoxLayout;
    title->setSpacing(6);
    const QColor titleColor = withOpacity(OrvantaTheme::standardOrange(), 0.95);
    title->addWidget(new SymbolImage(QStringLiteral("exclamationmark.triangle.fill"), 16, titleColor));
    title->addWidget(makeLabel(QString::fromUtf8(kShortcutInUseTitle), 14, QFont::Bold, titleColor));
    title->addStretch();
    box->addLayout(title);
    conflictLineStack_ = new QVBoxLayout;
    conflictLineStack_->setSpacing(9);
    box->addLayout(conflictLineStack_);
    auto* ways = new QHBoxLayout;
    ways->setSpacing(12);
    freeShortcut_ = new theme::OrvantaButton(theme::OrvantaButton::Style::secondary, QString::fromUtf8(kUseFreeShortcutTitle));
    connect(freeShortcut_, &QAbstractButton::clicked, this, [this] {
        if (onSuggestFreeShortcut_) onSuggestFreeShortcut_();
    });
    ways->addWidget(freeShortcut_);
    replace_ = makeCheckbox(QString::fromUtf8(kReplaceAssignmentTitle), 13, QFont::DemiBold, OrvantaTheme::white(0.82));
    connect(replace_, &QCheckBox::toggled, this,
            [this](bool on) { edit([on](State& s) { s.replaceConflict = on; }); });
    ways->addWidget(replace_);
    ways->addStretch();
    box->addLayout(ways);
    replaceNote_ = makeLabel(
        QStringLiteral("Nothing is replaced unless this option is explicitly enabled. A backup is created before any keymap change."),
        11, QFont::Medium, OrvantaTheme::mutedText());
    replaceNote_->setWordWrap(true);
    box->addWidget(replaceNote_);
    stack->addWidget(conflictBox_);

    rebuild();
}

ShortcutRecorder::Binding ToolCardView::shortcutBinding() {
    return {[this] { return tool_.get().shortcut; },
            [this](std::optional<VoduveShortcut> shortcut) {
                // The row holds the new value before anyone hears of it.
                edit([&shortcut](State& s) { s.shortcut = shortcut; });
                if (onShortcutChanged_) onShortcutChanged_(shortcut);
            }};
}

void ToolCardView::edit(const std::function<void(State&)>& change) {
    if (tool_.edit) tool_.edit(change);
    rebuild();
}

void ToolCardView::rebuild() {
    theme::requireMainThread();
    const State state = tool_.get();
    {
        const QSignalBlocker quiet(enable_);
        enable_->setChecked(state.enabled);
    }
    status_->setText(QString::fromStdString(state.statusText).toUpper());
    status_->setColor(statusColor(state.statusText));
    problem_->setText(QString::fromStdString(state.problem));
    problem_->setVisible(!state.problem.empty());

    divider_->setVisible(state.enabled);
    shortcutRow_->setVisible(state.enabled);
    ShortcutRecorder::updateView(*recorder_, shortcutBinding());

    for (QLabel* line : conflictLines_) delete line;
    conflictLines_.clear();
    for (const auto& conflict : state.conflicts) {
        QLabel* line = makeLabel(conflictLine(state.shortcut, conflict), 13, QFont::Medium, OrvantaTheme::white(0.78));
        line->setWordWrap(true);
        conflictLineStack_->addWidget(line);
        conflictLines_.push_back(line);
    }
    // Another card that chose the same shortcut: replacing can't settle that, another shortcut can.
    for (const auto kind : state.sharedShortcutWith) {
        const ToolComponent* other = ToolComponent::find(kind);
        if (other == nullptr || !state.shortcut) continue;
        QLabel* line = makeLabel(sharedShortcutLine(*state.shortcut, other->displayName), 13, QFont::Medium,
                                 OrvantaTheme::white(0.78));
        line->setWordWrap(true);
        conflictLineStack_->addWidget(line);
        conflictLines_.push_back(line);
    }
    {
        const QSignalBlocker quiet(replace_);
        replace_->setChecked(state.replaceConflict);
    }
    replace_->setVisible(!state.conflicts.empty());
    replaceNote_->setVisible(!state.conflicts.empty());
    conflictBox_->setVisible(state.enabled && !conflictLines_.empty());

    setPanelOpacity(state.enabled ? 1.0 : 0.68);
}

}  // namespace corvel::setup
