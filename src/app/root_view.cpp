#include "app/root_view.hpp"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QPainter>
#include <QUrl>
#include <QVBoxLayout>

#include "app/diagnostics_view.hpp"
#include "theme/main_thread.hpp"
#include "theme/orvanta_brand.hpp"
#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "editor/beatloom_view.hpp"
#include "setup/setup_view.hpp"

namespace corvel::app {
namespace {

constexpr int kBarPaddingX = 20;
constexpr int kBarPaddingY = 8;
constexpr int kRowSpacing = 12;
constexpr int kBrandSpacing = 7;
constexpr int kButtonSpacing = 8;
constexpr int kFlexibleSpaceMinimum = 8;
constexpr int kBadgeSize = 36;
constexpr int kDividerWidth = 1;

QFont brandFont() { return theme::OrvantaTheme::font(20, QFont::Black, theme::FontDesign::rounded); }

// The globe and the site's label, without button decoration, opening the site in the browser.
class WebLink : public QAbstractButton {
public:
    WebLink() {
        setText(QString::fromLatin1(kWebSiteLabel));
        setFont(theme::OrvantaTheme::font(11, QFont::DemiBold));
        setCursor(Qt::PointingHandCursor);
        setToolTip(QString::fromLatin1(kWebSiteURL));
        setProperty(theme::kSystemImageProperty, QStringLiteral("globe"));
        setProperty("url", QString::fromLatin1(kWebSiteURL));
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        connect(this, &QAbstractButton::clicked, this,
                [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kWebSiteURL))); });
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {symbolSide() + kSpacing + metrics.horizontalAdvance(text()), metrics.height()};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QColor color = theme::OrvantaTheme::mutedText();
        const int side = symbolSide();
        theme::paintSymbol(painter, QStringLiteral("globe"), QRectF(0, (height() - side) / 2.0, side, side), color);
        painter.setFont(font());
        painter.setPen(color);
        painter.drawText(rect().adjusted(side + kSpacing, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
    }

private:
    static constexpr int kSpacing = 5;
    int symbolSide() const { return font().pixelSize() + 1; }
};

struct SectionButtonSpec {
    AppModel::Section section;
    const char* title;
    const char* systemImage;
};

constexpr std::array<SectionButtonSpec, 3> kSectionButtons{{
    {AppModel::Section::setup, "CORVEL", "shippingbox.fill"},
    {AppModel::Section::beatloom, "BEATLOOM", "waveform.path.ecg"},
    {AppModel::Section::diagnostics, "DIAGNOSTICS", "stethoscope"},
}};

std::size_t indexOf(AppModel::Section section) {
    for (std::size_t i = 0; i < kSectionButtons.size(); ++i) {
        if (kSectionButtons[i].section == section) return i;
    }
    return 0;
}

// The screen of a section, new on every visit; the tempo editor's screen shows the one
// session and view state of the run.
QWidget* makeSectionScreen(AppModel& appModel, AppModel::Section section) {
    switch (section) {
    case AppModel::Section::diagnostics: return new DiagnosticsView(DiagnosticsSnapshot::make());
    case AppModel::Section::beatloom:
        return new editor::BeatloomView(appModel.beatloomSession(), appModel.beatloomUIState());
    case AppModel::Section::setup: break;
    }
    // A new screen, and with it a new model, on every visit.
    return new setup::SetupView([&appModel] { appModel.setSelectedSection(AppModel::Section::beatloom); });
}

}  // namespace

// ---- Section bar

SectionBar::SectionBar(std::function<void(AppModel::Section)> select, QWidget* parent) : QWidget(parent) {
    theme::requireMainThread();
    setObjectName(QStringLiteral("sectionBar"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(kBarPaddingX, kBarPaddingY, kBarPaddingX, kBarPaddingY);
    row->setSpacing(kRowSpacing);

    badge_ = new theme::OrvantaMarkBadge(kBadgeSize, true);
    row->addWidget(badge_, 0, Qt::AlignVCenter);

    auto* brand = brand_ = new QWidget;
    auto* brandRow = new QHBoxLayout(brand);
    brandRow->setContentsMargins(0, 0, 0, 0);
    brandRow->setSpacing(kBrandSpacing);
    brandWord_ = new QLabel(QStringLiteral("Orvanta"));
    brandWord_->setFont(brandFont());
    theme::OrvantaTheme::setTextColor(brandWord_, Qt::white);
    editionWord_ = new theme::OrvantaGradientText(QStringLiteral("Corvel"));
    editionWord_->setFont(brandFont());
    brandRow->addWidget(brandWord_);
    brandRow->addWidget(editionWord_);
    brand->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    row->addWidget(brand, 0, Qt::AlignVCenter);

    divider_ = new theme::OrvantaDivider;
    divider_->setFixedSize(kDividerWidth, 24);
    row->addWidget(divider_, 0, Qt::AlignVCenter);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(kButtonSpacing);
    for (std::size_t i = 0; i < kSectionButtons.size(); ++i) {
        const auto& entry = kSectionButtons[i];
        buttons_[i] = new theme::OrvantaNavigationButton(QString::fromLatin1(entry.title), QString::fromLatin1(entry.systemImage),
                                                  entry.section == AppModel::Section::setup,
                                                  [select, section = entry.section] { select(section); });
        buttonRow->addWidget(buttons_[i]);
    }
    row->addLayout(buttonRow);
    row->addSpacerItem(new QSpacerItem(kFlexibleSpaceMinimum, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));

    webLink_ = new WebLink;
    row->addWidget(webLink_, 0, Qt::AlignVCenter);
}

void SectionBar::setSelectedSection(AppModel::Section section) {
    for (std::size_t i = 0; i < buttons_.size(); ++i) buttons_[i]->setSelected(kSectionButtons[i].section == section);
}

theme::OrvantaNavigationButton* SectionBar::button(AppModel::Section section) const { return buttons_[indexOf(section)]; }

int SectionBar::idealWidth(bool wideRow) const {
    int buttons = kButtonSpacing * static_cast<int>(buttons_.size() - 1);
    for (const auto* button : buttons_) buttons += button->sizeHint().width();
    int brand = brandWord_->sizeHint().width();
    int width = 2 * kBarPaddingX + kBadgeSize + kRowSpacing + brand + kRowSpacing + kDividerWidth + kRowSpacing +
                buttons + kRowSpacing + kFlexibleSpaceMinimum;
    if (wideRow) width += kBrandSpacing + editionWord_->sizeHint().width() + kRowSpacing + webLink_->sizeHint().width();
    return width;
}

QSize SectionBar::minimumSizeHint() const {
    return {idealWidth(false), theme::OrvantaNavigationButton::height + 2 * kBarPaddingY};
}

void SectionBar::chooseRow() {
    const bool wide = width() >= idealWidth(true);
    if (wide == wide_ && editionWord_->isVisibleTo(this) == wide) return;
    wide_ = wide;
    editionWord_->setVisible(wide);
    webLink_->setVisible(wide);
    // Lay the row out again now, not one event later, so it never draws squeezed.
    brand_->layout()->invalidate();
    brand_->updateGeometry();
    layout()->activate();
}

void SectionBar::resizeEvent(QResizeEvent* event) {
    chooseRow();
    QWidget::resizeEvent(event);
}

void SectionBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::OrvantaTheme::black(0.12));
}

// ---- Root view

RootView::RootView(AppModel& appModel, QWidget* parent) : QWidget(parent), appModel_(appModel) {
    theme::requireMainThread();
    setObjectName(QStringLiteral("rootView"));
    setPalette(theme::OrvantaTheme::darkPalette());

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    sectionBar_ = new SectionBar([this](AppModel::Section section) { selectSection(section); });
    stack->addWidget(sectionBar_);
    auto* divider = new theme::OrvantaDivider(theme::OrvantaTheme::white(0.08));
    divider->setFixedHeight(1);
    stack->addWidget(divider);
    contentHost_ = new QWidget;
    auto* hostLayout = new QVBoxLayout(contentHost_);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    stack->addWidget(contentHost_, 1);

    sectionBar_->setSelectedSection(appModel_.selectedSection());
    showSectionContent(appModel_.selectedSection());
    connect(&appModel_, &AppModel::selectedSectionChanged, this, [this](AppModel::Section section) {
        sectionBar_->setSelectedSection(section);
        showSectionContent(section);
        sectionChanged(section);
    });
}

void RootView::selectSection(AppModel::Section section) { appModel_.setSelectedSection(section); }

void RootView::sectionChanged(AppModel::Section section) {
    if (section == AppModel::Section::beatloom) return;
    if (appModel_.stopBeatloomPreview) appModel_.stopBeatloomPreview();
}

void RootView::showSectionContent(AppModel::Section section) {
    theme::requireMainThread();
    if (content_ != nullptr) {
        // The old screen may be the sender of the click that got here; it goes once that
        // event is over.
        content_->hide();
        contentHost_->layout()->removeWidget(content_);
        content_->deleteLater();
    }
    content_ = makeSectionScreen(appModel_, section);
    contentHost_->layout()->addWidget(content_);
    content_->show();
}

void RootView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    theme::OrvantaTheme::paintBackgroundGlow(painter, rect());
}

}  // namespace corvel::app
