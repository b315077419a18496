#include "app/diagnostics_view.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include "theme/main_thread.hpp"
#include "theme/orvanta_brand.hpp"
#include "theme/orvanta_theme.hpp"

namespace corvel::app {
namespace {

// The report's dark well: black at 0.2 in a rounded rectangle, the scroll view inset by 14.
class ReportWell : public QWidget {
public:
    explicit ReportWell(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::OrvantaTheme::black(0.2));
        painter.drawRoundedRect(QRectF(rect()), 12, 12);
    }
};

}  // namespace

DiagnosticsView::DiagnosticsView(DiagnosticsSnapshot snapshot, SnapshotMaker maker, QWidget* parent)
    : QWidget(parent), snapshot_(std::move(snapshot)), maker_(std::move(maker)) {
    theme::requireMainThread();
    setObjectName(QStringLiteral("diagnosticsView"));

    auto* column = new QWidget(this);
    column->setMaximumWidth(1020);
    auto* stack = new QVBoxLayout(column);
    stack->setContentsMargins(28, 24, 28, 24);
    stack->setSpacing(20);

    // Header: badge, title and caption.
    auto* header = new QHBoxLayout;
    header->setSpacing(15);
    header->addWidget(new theme::OrvantaMarkBadge(52, true), 0, Qt::AlignVCenter);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(5);
    auto* title = new QLabel(QStringLiteral("Diagnostics"));
    title->setFont(theme::OrvantaTheme::font(32, QFont::Black, theme::FontDesign::rounded));
    theme::OrvantaTheme::setTextColor(title, theme::OrvantaTheme::white(0.97));
    auto* caption =
        new QLabel(QStringLiteral("Technical state for support. No project content or personal data is collected."));
    caption->setFont(theme::OrvantaTheme::font(14, QFont::DemiBold));
    theme::OrvantaTheme::setTextColor(caption, theme::OrvantaTheme::secondaryText());
    titles->addWidget(title);
    titles->addWidget(caption);
    header->addLayout(titles);
    header->addStretch();
    stack->addLayout(header);

    // The panel with the report and its two buttons.
    auto* panel = new theme::OrvantaPanel({20, 20});
    auto* panelStack = new QVBoxLayout(panel);
    panelStack->setContentsMargins(0, 0, 0, 0);
    panelStack->setSpacing(12);
    panelStack->addWidget(new theme::OrvantaSectionLabel(QStringLiteral("System State")));

    auto* well = new ReportWell;
    auto* wellLayout = new QVBoxLayout(well);
    wellLayout->setContentsMargins(14, 14, 14, 14);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setMinimumHeight(360);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    report_ = new QLabel;
    report_->setObjectName(QStringLiteral("diagnosticsReport"));
    report_->setTextFormat(Qt::PlainText);
    report_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    report_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    report_->setFont(theme::OrvantaTheme::font(12, QFont::Medium, theme::FontDesign::monospaced));
    theme::OrvantaTheme::setTextColor(report_, theme::OrvantaTheme::white(0.76));
    scroll->setWidget(report_);
    wellLayout->addWidget(scroll);
    panelStack->addWidget(well, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    refreshButton_ = new theme::OrvantaButton(theme::OrvantaButton::Style::secondary, QStringLiteral("REFRESH"));
    copyButton_ = new theme::OrvantaButton(theme::OrvantaButton::Style::primary, QStringLiteral("COPY DIAGNOSTICS"),
                                    QStringLiteral("doc.on.doc"));
    connect(refreshButton_, &QAbstractButton::clicked, this, [this] { refresh(); });
    connect(copyButton_, &QAbstractButton::clicked, this, [this] { copyToPasteboard(); });
    buttons->addWidget(refreshButton_);
    buttons->addWidget(copyButton_);
    buttons->addStretch();
    panelStack->addLayout(buttons);
    stack->addWidget(panel, 1);

    auto* centring = new QHBoxLayout(this);
    centring->setContentsMargins(0, 0, 0, 0);
    centring->addStretch();
    centring->addWidget(column, 1);
    centring->addStretch();

    showSnapshot(snapshot_);
}

void DiagnosticsView::showSnapshot(DiagnosticsSnapshot snapshot) {
    snapshot_ = std::move(snapshot);
    report_->setText(QString::fromStdString(snapshot_.text));
}

void DiagnosticsView::refresh() {
    theme::requireMainThread();
    showSnapshot(maker_ ? maker_() : DiagnosticsSnapshot::make());
}

void DiagnosticsView::copyToPasteboard() const {
    theme::requireMainThread();
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(snapshot_.text));
}

}  // namespace corvel::app
