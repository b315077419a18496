#include "setup/setup_view.hpp"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

#include "theme/main_thread.hpp"
#include "theme/orvanta_brand.hpp"
#include "theme/orvanta_theme.hpp"
#include "setup/qt_folder_chooser.hpp"
#include "setup/setup_widgets.hpp"
#include "setup/tool_card_view.hpp"

namespace corvel::setup {

using voduvetools::ToolComponent;
using voduvetools::VoduvePaths;
namespace {

using theme::FontDesign;
using theme::OrvantaButton;
using theme::OrvantaTheme;

constexpr int kColumnMaximumWidth = 1120;
constexpr int kInstallLabelMinimumWidth = 290;

QString text(const std::string& value) { return QString::fromStdString(value); }

// A section label padded 6 on its leading edge.
QWidget* sectionLabel(const QString& title) {
    auto* label = new theme::OrvantaSectionLabel(title);
    label->setContentsMargins(6, 0, 0, 0);
    return label;
}

QVBoxLayout* column(int spacing) {
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QHBoxLayout* row(int spacing) {
    auto* layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

}  // namespace

SetupView::SetupView(std::function<void()> openBeatloom, QWidget* parent)
    : SetupView(std::move(openBeatloom), std::make_unique<QtFolderChooser>(), nullptr, ToolInstallViewModel::Seams(),
                parent) {}

SetupView::SetupView(std::function<void()> openBeatloom, platform::FolderChooser& folderChooser,
                     ToolInstallViewModel::Seams seams, QWidget* parent)
    : SetupView(std::move(openBeatloom), nullptr, &folderChooser, std::move(seams), parent) {}

SetupView::SetupView(std::function<void()> openBeatloom, std::unique_ptr<platform::FolderChooser> ownChooser,
                     platform::FolderChooser* folderChooser, ToolInstallViewModel::Seams seams, QWidget* parent)
    : QWidget(parent),
      openBeatloomAction_(std::move(openBeatloom)),
      ownChooser_(std::move(ownChooser)),
      voduveRunning_(seams.voduveRunning) {
    theme::requireMainThread();
    setObjectName(QStringLiteral("setupView"));
    model_ = makeModel(folderChooser != nullptr ? *folderChooser : *ownChooser_, std::move(seams));
    build();
    const auto changed = [this](const auto&) { rebuild(); };
    subscriptions_.push_back(model_->tools().subscribe(changed));
    subscriptions_.push_back(model_->voduvePath().subscribe(changed));
    subscriptions_.push_back(model_->installMessage().subscribe(changed));
    subscriptions_.push_back(model_->isInstalling().subscribe(changed));
    subscriptions_.push_back(model_->keymapProblem().subscribe(changed));
    rebuild();
}

SetupView::~SetupView() {
    // The cards call into the model; they go before it does.
    subscriptions_.clear();
    delete scroll_;
}

std::unique_ptr<ToolInstallViewModel> SetupView::makeModel(platform::FolderChooser& folderChooser,
                                                           ToolInstallViewModel::Seams seams) {
    return std::make_unique<ToolInstallViewModel>(folderChooser, std::move(seams));
}

bool SetupView::installDisabled(bool detected, bool running, bool installing,
                                const std::vector<ToolInstallViewModel::State>& tools) {
    if (!detected || running || installing) return true;
    return std::ranges::any_of(tools, [](const ToolInstallViewModel::State& tool) {
        return tool.enabled && ((!tool.conflicts.empty() && !tool.replaceConflict) || !tool.sharedShortcutWith.empty());
    });
}

void SetupView::build() {
    auto* scroll = new QScrollArea(this);
    scroll_ = scroll;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    auto* content = new QWidget;
    auto* centring = new QHBoxLayout(content);
    centring->setContentsMargins(0, 0, 0, 0);
    auto* blocks = new QWidget;
    blocks->setMaximumWidth(kColumnMaximumWidth);
    auto* stack = new QVBoxLayout(blocks);
    stack->setContentsMargins(28, 24, 28, 24);
    stack->setSpacing(20);
    stack->addWidget(buildHeader());
    stack->addWidget(buildStandaloneBlock());
    stack->addWidget(buildVoduveBlock());
    stack->addStretch();
    centring->addStretch();
    centring->addWidget(blocks, 1);
    centring->addStretch();
    scroll->setWidget(content);
}

QWidget* SetupView::buildHeader() {
    auto* header = new QWidget;
    auto* layout = row(15);
    header->setLayout(layout);
    layout->addWidget(new theme::OrvantaMarkBadge(58, true), 0, Qt::AlignVCenter);
    auto* titles = column(5);
    auto* words = row(9);
    const QFont titleFont = OrvantaTheme::font(29, QFont::Black, FontDesign::rounded);
    QLabel* brand = makeLabel(QStringLiteral("Orvanta"), 29, QFont::Black, OrvantaTheme::white(0.98));
    brand->setFont(titleFont);
    auto* edition = new theme::OrvantaGradientText(QStringLiteral("Corvel"));
    edition->setFont(titleFont);
    words->addWidget(brand);
    words->addWidget(edition);
    words->addStretch();
    titles->addLayout(words);
    QLabel* caption = makeLabel(QStringLiteral("Three focused free tools: Beatloom works standalone; Cuewarden and "
                                               "Razo Zerur → Ozovi integrate with VODUVE."),
                                14, QFont::DemiBold, OrvantaTheme::secondaryText());
    caption->setWordWrap(true);
    titles->addWidget(caption);
    layout->addLayout(titles, 1);
    return header;
}

QWidget* SetupView::buildStandaloneBlock() {
    const ToolComponent& beatloom = ToolComponent::beatloomTool();
    auto* block = new QWidget;
    auto* layout = column(10);
    block->setLayout(layout);
    layout->addWidget(sectionLabel(QStringLiteral("Standalone Tool")));

    auto* panel = new theme::OrvantaPanel({18, 18});
    auto* panelRow = row(18);
    panel->setLayout(panelRow);
    panelRow->addWidget(new theme::OrvantaMarkBadge(66, true), 0, Qt::AlignVCenter);
    auto* texts = column(5);
    auto* titleRow = row(9);
    QLabel* name = makeLabel(text(beatloom.displayName), 23, QFont::Black, OrvantaTheme::white(0.96));
    name->setFont(OrvantaTheme::font(23, QFont::Black, FontDesign::rounded));
    titleRow->addWidget(name, 0, Qt::AlignVCenter);
    // Green 0.1 behind green 0.9 text.
    const CapsuleStyle standalone{.tracking = 1.3, .horizontalPadding = 9, .verticalPadding = 5, .fillOpacity = 0.1 / 0.9};
    titleRow->addWidget(
        new CapsuleBadge(QStringLiteral("STANDALONE"), withOpacity(OrvantaTheme::standardGreen(), 0.9), standalone), 0,
        Qt::AlignVCenter);
    titleRow->addStretch();
    texts->addLayout(titleRow);
    QLabel* summary = makeLabel(text(beatloom.summary), 14, QFont::Medium, OrvantaTheme::secondaryText());
    summary->setWordWrap(true);
    texts->addWidget(summary);
    QLabel* note = makeLabel(QStringLiteral("No VODUVE installation. No VODUVE action. No shortcut. Drop an audio file "
                                            "into Beatloom and analyze it directly."),
                             12, QFont::Medium, OrvantaTheme::mutedText());
    note->setWordWrap(true);
    texts->addWidget(note);
    panelRow->addLayout(texts, 1);
    openBeatloom_ = new OrvantaButton(OrvantaButton::Style::primary, QString::fromUtf8(kOpenBeatloomTitle),
                                      QStringLiteral("play.fill"));
    connect(openBeatloom_, &QAbstractButton::clicked, this, [this] {
        if (openBeatloomAction_) openBeatloomAction_();
    });
    panelRow->addWidget(openBeatloom_, 0, Qt::AlignVCenter);
    layout->addWidget(panel);
    return block;
}

QWidget* SetupView::buildVoduveBlock() {
    auto* block = new QWidget;
    auto* layout = column(12);
    block->setLayout(layout);
    layout->addWidget(sectionLabel(QStringLiteral("VODUVE Tools")));

    // The resource folder.
    auto* folderPanel = new theme::OrvantaPanel({16, 16});
    auto* folderRow = row(14);
    folderPanel->setLayout(folderRow);
    folderSymbol_ = new SymbolImage(QString(), 24, Qt::white);
    folderRow->addWidget(folderSymbol_, 0, Qt::AlignTop);
    auto* folderTexts = column(5);
    folderTitle_ = makeLabel(QString(), 16, QFont::Bold, OrvantaTheme::white(0.92));
    folderPath_ = makeSelectableLabel(QString(), 11, QFont::Medium, OrvantaTheme::mutedText());
    folderPath_->setWordWrap(true);
    runningWarning_ = makeLabel(QString::fromUtf8(kVoduveRunningWarning), 12, QFont::DemiBold,
                                withOpacity(OrvantaTheme::standardOrange(), 0.94));
    runningWarning_->setWordWrap(true);
    keymapProblem_ = makeSelectableLabel(QString(), 12, QFont::DemiBold, withOpacity(OrvantaTheme::standardOrange(), 0.94));
    keymapProblem_->setObjectName(QStringLiteral("keymapProblem"));
    keymapProblem_->setWordWrap(true);
    folderTexts->addWidget(folderTitle_);
    folderTexts->addWidget(folderPath_);
    folderTexts->addWidget(runningWarning_);
    folderTexts->addWidget(keymapProblem_);
    folderRow->addLayout(folderTexts, 1);
    chooseFolder_ = new OrvantaButton(OrvantaButton::Style::secondary, QString::fromUtf8(kChooseFolderTitle));
    connect(chooseFolder_, &QAbstractButton::clicked, this, [this] { model_->chooseVoduveFolder(); });
    folderRow->addWidget(chooseFolder_, 0, Qt::AlignTop);
    layout->addWidget(folderPanel);

    // One card per VODUVE tool.
    for (std::size_t index = 0; index < model_->tools().value().size(); ++index) {
        ToolCardView::Binding binding{
            [this, index] { return model_->tools().value().at(index); },
            [this, index](const std::function<void(ToolInstallViewModel::State&)>& change) {
                model_->editTool(index, change);
            }};
        auto* card = new ToolCardView(
            binding,
            [this, get = binding.get](std::optional<VoduveShortcut> shortcut) {
                model_->setShortcut(get().id, std::move(shortcut));
            },
            [this, get = binding.get] { model_->suggestFreeShortcut(get().id); });
        cards_.push_back(card);
        layout->addWidget(card);
    }

    // Install button, its note and the message area.
    auto* installColumn = column(12);
    auto* installRow = row(14);
    install_ = new OrvantaButton(OrvantaButton::Style::primary, QString::fromUtf8(kInstallTitle),
                                 QStringLiteral("arrow.down.to.line.compact"));
    connect(install_, &QAbstractButton::clicked, this, [this] { model_->install(); });
    installRow->addWidget(install_, 0, Qt::AlignVCenter);
    QLabel* preserved = makeLabel(QStringLiteral("Orvanta-compatible files are preserved. Existing files and shortcuts "
                                                 "are never replaced silently."),
                                  12, QFont::Medium, OrvantaTheme::mutedText());
    preserved->setWordWrap(true);
    installRow->addWidget(preserved, 1, Qt::AlignVCenter);
    installColumn->addLayout(installRow);

    messageArea_ = new RoundedBox(10, OrvantaTheme::black(0.17));
    auto* messageLayout = new QVBoxLayout(messageArea_);
    messageLayout->setContentsMargins(12, 12, 12, 12);
    message_ = makeSelectableLabel(QString(), 12, QFont::Medium, OrvantaTheme::white(0.76));
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    messageLayout->addWidget(message_);
    installColumn->addWidget(messageArea_);
    layout->addLayout(installColumn);
    return block;
}

void SetupView::rebuild() {
    theme::requireMainThread();
    const bool detected = VoduvePaths::isResourceFolder(std::filesystem::path(model_->voduvePath().value()));
    const bool running = voduveRunning_ ? voduveRunning_() : false;

    folderSymbol_->setSymbol(detected ? QStringLiteral("checkmark.circle.fill")
                                      : QStringLiteral("exclamationmark.triangle.fill"),
                             withOpacity(detected ? OrvantaTheme::standardGreen() : OrvantaTheme::standardOrange(), 0.92));
    folderTitle_->setText(QString::fromUtf8(detected ? kVoduveDetectedTitle : kVoduveNotDetectedTitle));
    folderPath_->setText(text(model_->voduvePath().value()));
    runningWarning_->setVisible(running);
    const std::string& keymapProblem = model_->keymapProblem().value();
    keymapProblem_->setText(text(keymapProblem));
    keymapProblem_->setVisible(!keymapProblem.empty());

    for (ToolCardView* card : cards_) card->rebuild();

    const bool installing = model_->isInstalling().value();
    install_->setText(QString::fromUtf8(installing ? kInstallingTitle : kInstallTitle));
    install_->setFixedWidth(std::max(kInstallLabelMinimumWidth + 2 * theme::OrvantaPrimaryButtonStyle::horizontalPadding,
                                     install_->sizeHint().width()));
    install_->setEnabled(!installDisabled(detected, running, installing, model_->tools().value()));

    const std::string& message = model_->installMessage().value();
    message_->setText(text(message));
    messageArea_->setVisible(!message.empty());
}

void SetupView::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && plain) {
        if (install_->isEnabled()) install_->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace corvel::setup
