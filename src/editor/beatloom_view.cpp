#include "editor/beatloom_view.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <unordered_map>

#include "theme/orvanta_brand.hpp"
#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "audio/preview/preview_player.hpp"
#include "common/format.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/beatloom_screen_widgets.hpp"
#include "editor/popover_frame.hpp"
#include "editor/timeline/timeline_handle_view.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/published_repaint_bridge.hpp"
#include "editor/tempo_point_row.hpp"
#include "editor/waveform_editor.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {
namespace {

using theme::FontDesign;
using theme::OrvantaButton;
using theme::OrvantaTheme;

constexpr int kBlockSpacing = 16;
// Wide enough that a 1920-px window shows the toolbar's full row.
constexpr int kColumnMaximumWidth = 1920;
// The analysing panel's small bar, wide enough to read the fraction done from it.
constexpr int kAnalysingProgressWidth = 64;
constexpr int kAnalysingProgressSteps = 1000;
QString fromStd(const std::string& text) { return QString::fromStdString(text); }

QFont tracked(QFont font, qreal spacing) {
    font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

QHBoxLayout* rowLayout(QWidget* owner, int spacing) {
    auto* row = new QHBoxLayout(owner);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    return row;
}

QVBoxLayout* columnLayout(QWidget* owner, int spacing) {
    auto* column = new QVBoxLayout(owner);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    return column;
}

// A one-line label that shortens its text in the middle to the width it gets.
class MiddleElidedLabel : public QLabel {
public:
    MiddleElidedLabel() { setTextFormat(Qt::PlainText); }
    void setFullText(const QString& text) {
        full_ = text;
        setToolTip(plainToolTip(text));
        elide();
    }
    QString fullText() const { return full_; }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }
    QSize sizeHint() const override { return {fontMetrics().horizontalAdvance(full_), QLabel::sizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(width(), 0))); }
    QString full_;
};

// The drop zone hands its drag and drop events to the screen.
class DropZone : public RoundedBox {
public:
    explicit DropZone(BeatloomView& view) : RoundedBox(20, OrvantaTheme::black(0.16)), view_(view) {
        setObjectName(QStringLiteral("dropZone"));
        setAcceptDrops(true);
        setMinimumHeight(250);
    }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override { view_.dragEnteredDropZone(*event); }
    void dragLeaveEvent(QDragLeaveEvent*) override { view_.setDropTargeted(false); }
    void dropEvent(QDropEvent* event) override { view_.droppedOnDropZone(*event); }

private:
    BeatloomView& view_;
};

// The disclosure's label: a clickable row with the symbol, the title and the caption.
class DisclosureLabel : public QAbstractButton {
public:
    DisclosureLabel() {
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setText(QStringLiteral("Advanced Tempo Map"));
        auto* row = rowLayout(this, 10);
        row->addWidget(new theme::SymbolImage(QStringLiteral("slider.horizontal.3"), 18,
                                        withOpacity(OrvantaTheme::standardBlue(), 0.9)));
        auto* titles = columnLayout(nullptr, 1);
        titles->addWidget(makeLabel(text(), OrvantaTheme::font(14, QFont::ExtraBold, FontDesign::rounded),
                                    OrvantaTheme::white(0.9)));
        titles->addWidget(makeLabel(QStringLiteral("Numeric tempo points, transitions and recovery controls"),
                                    OrvantaTheme::font(11, QFont::Medium), OrvantaTheme::mutedText()));
        row->addLayout(titles);
        row->addStretch();
    }
    QSize sizeHint() const override { return layout()->sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        // The chevron at the trailing edge: right while closed, down while open.
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(OrvantaTheme::white(0.6), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF c(width() - 10.0, height() / 2.0);
        if (isChecked()) {
            painter.drawPolyline(QPolygonF{c + QPointF(-4, -2), c + QPointF(0, 2), c + QPointF(4, -2)});
        } else {
            painter.drawPolyline(QPolygonF{c + QPointF(-2, -4), c + QPointF(2, 0), c + QPointF(-2, 4)});
        }
    }
};

}  // namespace

std::optional<std::filesystem::path> droppedFile(const QMimeData& data) {
    const QList<QUrl> urls = data.urls();
    if (urls.isEmpty() || !urls.front().isLocalFile()) return std::nullopt;
    return std::filesystem::path(urls.front().toLocalFile().toStdU16String());
}

BeatloomView::BeatloomView(session::BeatloomViewModel& model, BeatloomEditorUIState& ui, QWidget* parent)
    : QWidget(parent), model_(model), ui_(ui) {
    setObjectName(QStringLiteral("beatloomView"));

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    auto* outer = columnLayout(this, 0);
    outer->addWidget(scroll);

    auto* page = new QWidget;
    auto* centring = rowLayout(page, 0);
    auto* column = new QWidget;
    column->setMaximumWidth(kColumnMaximumWidth);
    centring->addStretch();
    centring->addWidget(column, 1);
    centring->addStretch();
    scroll->setWidget(page);
    reserveScrollBarRoom(*scroll, *centring);
    // The page grows and shrinks with the tempo-point list; as its boxes paint nothing of their
    // own, only what a size change uncovers is painted again, not the whole window.
    for (QWidget* box : {page, column}) box->setAttribute(Qt::WA_StaticContents);
    scroll_ = scroll;

    auto* blocks = new QVBoxLayout(column);
    blocks->setContentsMargins(22, 18, 22, 18);
    blocks->setSpacing(kBlockSpacing);
    blocks->addWidget(startHeader_ = makeStartHeader());
    blocks->addWidget(dropZone_ = makeDropZone());
    blocks->addWidget(loadedHeader_ = makeLoadedHeader());
    blocks->addWidget(analysingPanel_ = makeAnalysingPanel());
    blocks->addWidget(editorBlock_ = makeEditorBlock());
    blocks->addWidget(errorBanner_ = makeErrorBanner());
    blocks->addWidget(promotionalPanel_ = makePromotionalPanel());
    blocks->addStretch();

    bridge_ = new PublishedRepaintBridge([this] { refresh(); }, this);
    bridge_->watch(model_.result);
    bridge_->watch(model_.isAnalyzing);
    bridge_->watch(model_.analysisProgress);
    bridge_->watch(model_.selectedURL);
    bridge_->watch(model_.errorText);
    bridge_->watch(model_.exportStatusText);
    bridge_->watch(model_.statusText);
    bridge_->watch(model_.locatorSeconds);
    // Every recorded edit, undo and redo changes at least one edited value: the buttons that
    // follow the history hear of it through them.
    bridge_->watch(model_.editableTempoPoints);
    bridge_->watch(model_.meterEvents);
    bridge_->watch(model_.barAnchors);
    bridge_->watch(model_.phaseLocks);
    bridge_->watch(model_.barOneSeconds);
    bridge_->watch(model_.pickupBarCount);
    bridge_->watch(model_.gridFitAnchors);
    bridge_->watch(model_.lockedRanges);
    bridge_->watch(model_.timelineRegions);
    bridge_->watch(model_.rhythmicAnchors);
    refresh();
}

// The subscriptions end before the widgets they update.
BeatloomView::~BeatloomView() { delete bridge_; }

void BeatloomView::setDropTargeted(bool targeted) {
    if (targeted == dropTargeted_) return;
    dropTargeted_ = targeted;
    refresh();
}

void BeatloomView::setShowAdvancedTempoMap(bool open) {
    if (open == showAdvancedTempoMap_) return;
    showAdvancedTempoMap_ = open;
    refresh();
}

void BeatloomView::dragEnteredDropZone(QDragEnterEvent& event) {
    if (event.mimeData() == nullptr || !event.mimeData()->hasUrls()) {
        event.ignore();
        return;
    }
    event.acceptProposedAction();
    setDropTargeted(true);
}

void BeatloomView::droppedOnDropZone(QDropEvent& event) {
    setDropTargeted(false);
    if (event.mimeData() == nullptr || !event.mimeData()->hasUrls() || event.mimeData()->urls().isEmpty()) {
        event.ignore();
        return;
    }
    event.acceptProposedAction();
    const auto file = droppedFile(*event.mimeData());
    if (!file) return;
    // The session hears of the file in a task of its own on the main thread, after the drop.
    QMetaObject::invokeMethod(
        this, [this, file = *file] { model_.loadAudio(file); }, Qt::QueuedConnection);
}

// ---- Blocks

QWidget* BeatloomView::makeStartHeader() {
    auto* header = new QWidget;
    header->setObjectName(QStringLiteral("startHeader"));
    auto* row = rowLayout(header, 14);
    row->addWidget(new theme::OrvantaMarkBadge(48, true), 0, Qt::AlignVCenter);

    auto* texts = columnLayout(nullptr, 2);
    auto* titleRow = rowLayout(nullptr, 9);
    titleRow->addWidget(makeLabel(QStringLiteral("Beatloom"), OrvantaTheme::font(27, QFont::Black, FontDesign::rounded),
                                  OrvantaTheme::white(0.98)));
    auto* badge = new RoundedBox(9, withOpacity(OrvantaTheme::standardGreen(), 0.1));
    auto* badgeRow = rowLayout(badge, 0);
    badgeRow->setContentsMargins(8, 4, 8, 4);
    badgeRow->addWidget(makeLabel(QStringLiteral("STANDALONE"), tracked(OrvantaTheme::font(9, QFont::ExtraBold), 1.2),
                                  withOpacity(OrvantaTheme::standardGreen(), 0.92)));
    titleRow->addWidget(badge, 0, Qt::AlignVCenter);
    titleRow->addStretch();
    texts->addLayout(titleRow);
    texts->addWidget(makeLabel(QStringLiteral("Precise waveform, musical grid, click preview and tempo-map export."),
                               OrvantaTheme::font(13, QFont::Medium), OrvantaTheme::secondaryText()));
    texts->addWidget(makeLabel(QStringLiteral("Standalone — VODUVE is not required."),
                               OrvantaTheme::font(10, QFont::DemiBold), OrvantaTheme::mutedText()));
    row->addLayout(texts);
    row->addSpacing(16);
    row->addStretch();
    return header;
}

QWidget* BeatloomView::makeDropZone() {
    auto* zone = new DropZone(*this);
    auto* column = columnLayout(zone, 14);
    column->setContentsMargins(20, 20, 20, 20);
    column->addStretch();
    auto* symbol = new theme::SymbolImage(QStringLiteral("waveform.badge.plus"), 44, OrvantaTheme::white(0.78));
    symbol->setObjectName(QStringLiteral("dropSymbol"));
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* title = makeLabel(QStringLiteral("Open a song to start"),
                            OrvantaTheme::font(24, QFont::Black, FontDesign::rounded), OrvantaTheme::white(0.95));
    column->addWidget(title, 0, Qt::AlignHCenter);
    column->addWidget(makeLabel(QStringLiteral("Drag an audio file here, or choose one from your computer."),
                                OrvantaTheme::font(14, QFont::Medium), OrvantaTheme::secondaryText()),
                      0, Qt::AlignHCenter);
    auto* choose = new OrvantaButton(OrvantaButton::Style::primary, QStringLiteral("CHOOSE AUDIO FILE"),
                                     QStringLiteral("folder.fill"));
    connect(choose, &QAbstractButton::clicked, this, [this] { model_.chooseAudioFile(); });
    chooseButton_ = choose;
    column->addWidget(choose, 0, Qt::AlignHCenter);
    column->addStretch();
    return zone;
}

QWidget* BeatloomView::makeLoadedHeader() {
    auto* header = new QWidget;
    header->setObjectName(QStringLiteral("loadedHeader"));
    auto* row = rowLayout(header, 12);
    row->setContentsMargins(4, 0, 4, 0);
    auto* mark = new theme::OrvantaMark(false);
    mark->setFixedSize(25, 25);
    row->addWidget(mark, 0, Qt::AlignVCenter);
    row->addWidget(makeLabel(QStringLiteral("Beatloom"), OrvantaTheme::font(20, QFont::Black, FontDesign::rounded),
                             OrvantaTheme::white(0.96)));
    auto* divider = new theme::OrvantaDivider;
    divider->setFixedSize(1, 20);
    row->addWidget(divider, 0, Qt::AlignVCenter);
    auto* file = new MiddleElidedLabel;
    file->setObjectName(QStringLiteral("loadedFileName"));
    file->setFont(OrvantaTheme::font(13, QFont::DemiBold));
    OrvantaTheme::setTextColor(file, OrvantaTheme::white(0.66));
    loadedFile_ = file;
    row->addWidget(file, 1);
    auto* open = new OrvantaButton(OrvantaButton::Style::secondary, QStringLiteral("Open"), QStringLiteral("folder"));
    connect(open, &QAbstractButton::clicked, this, [this] { model_.chooseAudioFile(); });
    openButton_ = open;
    row->addWidget(open);
    return header;
}

QWidget* BeatloomView::makeAnalysingPanel() {
    auto* panel = new theme::OrvantaPanel({14, 14});
    panel->setObjectName(QStringLiteral("analysingPanel"));
    auto* row = rowLayout(panel, 12);
    // Indeterminate until the analysis reports how far it got, then the fraction done.
    analysingProgress_ = new QProgressBar;
    analysingProgress_->setRange(0, 0);
    analysingProgress_->setTextVisible(false);
    analysingProgress_->setFixedSize(kAnalysingProgressWidth, 6);
    row->addWidget(analysingProgress_, 0, Qt::AlignVCenter);
    auto* texts = columnLayout(nullptr, 3);
    texts->addWidget(makeLabel(QStringLiteral("Analyzing audio…"), OrvantaTheme::font(14, QFont::Bold),
                               OrvantaTheme::white(0.92)));
    analysingFile_ = makeLabel({}, OrvantaTheme::font(12, QFont::Medium), OrvantaTheme::mutedText());
    texts->addWidget(analysingFile_);
    row->addLayout(texts);
    analysingPercent_ = makeLabel({}, OrvantaTheme::font(12, QFont::Medium), OrvantaTheme::mutedText());
    row->addWidget(analysingPercent_, 0, Qt::AlignVCenter);
    row->addStretch();
    return panel;
}

void BeatloomView::showAnalysisProgress() {
    const double fraction = std::clamp(model_.analysisProgress.value(), 0.0, 1.0);
    const bool known = fraction > 0;
    analysingProgress_->setRange(0, known ? kAnalysingProgressSteps : 0);
    if (known) analysingProgress_->setValue(static_cast<int>(std::lround(fraction * kAnalysingProgressSteps)));
    const auto percent = static_cast<int>(std::floor(fraction * 100.0));
    analysingPercent_->setVisible(known);
    analysingPercent_->setText(known ? QStringLiteral("%1 %").arg(percent) : QString());
}

QWidget* BeatloomView::makeEditorBlock() {
    auto* block = new QWidget;
    block->setObjectName(QStringLiteral("editorBlock"));
    block->setAttribute(Qt::WA_StaticContents);
    auto* column = columnLayout(block, kBlockSpacing);

    waveformEditorSeam_ = new QWidget;
    waveformEditorSeam_->setObjectName(QStringLiteral("waveformEditorSeam"));
    columnLayout(waveformEditorSeam_, 0);
    column->addWidget(waveformEditorSeam_);

    auto* exportLine = new QWidget;
    auto* exportRow = rowLayout(exportLine, 5);
    exportRow->setContentsMargins(4, 0, 4, 0);
    exportRow->addWidget(new theme::SymbolImage(QStringLiteral("checkmark.circle.fill"), 12,
                                          withOpacity(OrvantaTheme::standardGreen(), 0.9)));
    exportStatus_ = makeLabel({}, OrvantaTheme::font(11, QFont::DemiBold), withOpacity(OrvantaTheme::standardGreen(), 0.9));
    exportStatus_->setObjectName(QStringLiteral("exportStatus"));
    exportRow->addWidget(exportStatus_);
    exportRow->addStretch();
    column->addWidget(exportLine);

    column->addWidget(makeAdvancedTempoMap());
    return block;
}

QWidget* BeatloomView::makeAdvancedTempoMap() {
    auto* panel = new theme::OrvantaPanel({16, 14});
    panel->setObjectName(QStringLiteral("advancedTempoMap"));
    auto* column = columnLayout(panel, 0);
    auto* toggle = new DisclosureLabel;
    connect(toggle, &QAbstractButton::clicked, this, [this](bool open) { setShowAdvancedTempoMap(open); });
    advancedToggle_ = toggle;
    column->addWidget(toggle);

    advancedContent_ = new QWidget;
    advancedContent_->setObjectName(QStringLiteral("advancedTempoMapContent"));
    advancedContent_->setAttribute(Qt::WA_StaticContents);
    auto* content = columnLayout(advancedContent_, 10);
    content->setContentsMargins(0, 10, 0, 0);
    auto* divider = new theme::OrvantaDivider(OrvantaTheme::white(0.08));
    divider->setFixedHeight(1);
    content->addWidget(divider);

    tempoLevelPanel_ = new RoundedBox(9, withOpacity(OrvantaTheme::standardOrange(), 0.055));
    tempoLevelPanel_->setObjectName(QStringLiteral("tempoLevelPanel"));
    candidatesRow_ = rowLayout(tempoLevelPanel_, 9);
    candidatesRow_->setContentsMargins(10, 10, 10, 10);
    candidatesRow_->addWidget(makeLabel(QStringLiteral("TEMPO LEVEL"), tracked(OrvantaTheme::font(10, QFont::Black), 0.7),
                                        withOpacity(OrvantaTheme::standardOrange(), 0.9)));
    candidatesRow_->addStretch();
    candidatesRow_->addWidget(makeLabel(QStringLiteral("Use this only when the detected half/double-time level is wrong."),
                                        OrvantaTheme::font(11, QFont::Medium), OrvantaTheme::mutedText()));
    content->addWidget(tempoLevelPanel_);

    auto* rows = new QWidget;
    rows->setAttribute(Qt::WA_StaticContents);
    rowsLayout_ = columnLayout(rows, 10);
    // The list's rows keep their height while the page catches up with the list's new one: a
    // new row makes the list itself taller at once, and the room a removed row leaves goes to
    // the stretch, so that no other row is squeezed or stretched and laid out again.
    rowsLayout_->setSizeConstraint(QLayout::SetMinimumSize);
    rowsLayout_->addStretch();
    content->addWidget(rows);
    content->addWidget(makeLocatorBar());
    status_ = makeLabel({}, OrvantaTheme::font(12, QFont::DemiBold), OrvantaTheme::secondaryText());
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setWordWrap(true);
    content->addWidget(status_);
    column->addWidget(advancedContent_);
    return panel;
}

QWidget* BeatloomView::makeLocatorBar() {
    auto* bar = new QWidget;
    bar->setObjectName(QStringLiteral("locatorBar"));
    auto* row = rowLayout(bar, 10);
    const auto button = [&](const QString& title, const QString& symbol, auto action) {
        auto* made = new OrvantaButton(OrvantaButton::Style::secondary, title, symbol);
        connect(made, &QAbstractButton::clicked, this, action);
        row->addWidget(made);
        return made;
    };
    addButton_ = button(QStringLiteral("ADD TEMPO CHANGE AT LOCATOR"), QStringLiteral("plus.circle"),
                        [this] { model_.addTempoPointAtLocator(); });
    undoButton_ = button(QStringLiteral("UNDO"), QStringLiteral("arrow.uturn.backward"), [this] { model_.undo(); });
    redoButton_ = button(QStringLiteral("REDO"), QStringLiteral("arrow.uturn.forward"), [this] { model_.redo(); });
    resetButton_ = button(QStringLiteral("RESET DETECTED"), QString(), [this] { model_.resetToDetected(); });
    row->addStretch();
    locatorReadout_ = makeLabel({}, OrvantaTheme::font(11, QFont::Bold, FontDesign::monospaced), OrvantaTheme::mutedText());
    locatorReadout_->setObjectName(QStringLiteral("locatorReadout"));
    row->addWidget(locatorReadout_);
    return bar;
}

QWidget* BeatloomView::makeErrorBanner() {
    auto* banner = new RoundedBox(12, withOpacity(OrvantaTheme::standardRed(), 0.075), withOpacity(OrvantaTheme::standardRed(), 0.18), 1);
    banner->setObjectName(QStringLiteral("errorBanner"));
    auto* row = rowLayout(banner, 10);
    row->setContentsMargins(14, 14, 14, 14);
    row->addWidget(new theme::SymbolImage(QStringLiteral("exclamationmark.triangle.fill"), 16, withOpacity(OrvantaTheme::standardRed(), 0.9)), 0,
                   Qt::AlignTop);
    errorLabel_ = makeLabel({}, OrvantaTheme::font(13, QFont::DemiBold), OrvantaTheme::white(0.84));
    errorLabel_->setObjectName(QStringLiteral("errorText"));
    errorLabel_->setWordWrap(true);
    errorLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(errorLabel_, 1, Qt::AlignTop);
    return banner;
}

QWidget* BeatloomView::makePromotionalPanel() {
    auto* holder = new QWidget;
    holder->setObjectName(QStringLiteral("promotionalPanel"));
    auto* outer = columnLayout(holder, 0);
    outer->setContentsMargins(0, 0, 0, 10);
    auto* panel = new theme::OrvantaPanel({16, 16});
    auto* row = rowLayout(panel, 14);
    auto* lines = columnLayout(nullptr, 3);
    lines->addWidget(makeLabel(QStringLiteral("Part of Orvanta VODUVE Corvel"), OrvantaTheme::font(13, QFont::Bold),
                               OrvantaTheme::white(0.88)));
    lines->addWidget(makeLabel(QStringLiteral("Tempo maps made here play in VODUVE next to the Corvel tools."),
                               OrvantaTheme::font(12, QFont::Medium), OrvantaTheme::mutedText()));
    row->addLayout(lines);
    row->addStretch();
    auto* link = new OrvantaButton(OrvantaButton::Style::secondary, QStringLiteral("VISIT ORVANTA"));
    link->setToolTip(QString::fromLatin1(kBeatloomPromotionURL));
    connect(link, &QAbstractButton::clicked, this,
            [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kBeatloomPromotionURL))); });
    row->addWidget(link, 0, Qt::AlignVCenter);
    outer->addWidget(panel);
    return holder;
}

// ---- Following the session

void BeatloomView::refresh() {
    const auto& result = model_.result.value();
    const bool loaded = result.has_value();

    startHeader_->setVisible(!loaded);
    dropZone_->setVisible(!loaded);
    auto* zone = static_cast<DropZone*>(dropZone_);
    const QColor blue = OrvantaTheme::standardBlue();
    zone->setLook(dropTargeted_ ? withOpacity(blue, 0.09) : OrvantaTheme::black(0.16),
                  dropTargeted_ ? withOpacity(blue, 0.72) : OrvantaTheme::white(0.12), dropTargeted_ ? 1.5 : 1, true);
    if (auto* symbol = dropZone_->findChild<theme::SymbolImage*>(QStringLiteral("dropSymbol"))) {
        symbol->setSymbol(symbol->name(), dropTargeted_ ? blue : OrvantaTheme::white(0.78));
    }

    loadedHeader_->setVisible(loaded);
    if (loaded) static_cast<MiddleElidedLabel*>(loadedFile_)->setFullText(fromStd(result->fileName));

    analysingPanel_->setVisible(model_.isAnalyzing.value());
    const auto& url = model_.selectedURL.value();
    analysingFile_->setVisible(url.has_value());
    analysingFile_->setText(url ? QString::fromStdU16String(url->filename().u16string()) : QString());
    showAnalysisProgress();

    showWaveformEditor(loaded);
    editorBlock_->setVisible(loaded);
    const std::string& exported = model_.exportStatusText.value();
    exportStatus_->setText(fromStd(exported));
    exportStatus_->parentWidget()->setVisible(!exported.empty());

    advancedToggle_->setChecked(showAdvancedTempoMap_);
    advancedContent_->setVisible(showAdvancedTempoMap_);
    // The list's rows follow the map only while the list shows: a closed list costs nothing
    // per edit, and catches up when it opens.
    if (loaded) showTempoLevel();
    if (loaded && showAdvancedTempoMap_) showTempoPointRows();
    undoButton_->setEnabled(!model_.editHistory().undoEntries().empty());
    redoButton_->setEnabled(!model_.editHistory().redoEntries().empty());
    locatorReadout_->setText(QStringLiteral("Locator ") + fromStd(formatLocatorTime(model_.locatorSeconds.value())));
    status_->setText(fromStd(model_.statusText.value()));
    status_->setVisible(!model_.statusText.value().empty());

    const std::string& error = model_.errorText.value();
    errorBanner_->setVisible(!error.empty());
    errorLabel_->setText(fromStd(error));
    promotionalPanel_->setVisible(!loaded);
    // While a popover is open the user is looking at it (it says what it refused): the page
    // does not scroll away from under it.
    if (!error.empty() && error != shownError_ && QApplication::activePopupWidget() == nullptr) revealErrorBanner();
    shownError_ = error;
}

void BeatloomView::revealErrorBanner() {
    // A new message is brought into view, so that what the user just did visibly answers.
    layOutNow(errorBanner_);
    scroll_->ensureWidgetVisible(errorBanner_, 0, kBlockSpacing);
}

void BeatloomView::showWaveformEditor(bool shown) {
    if (shown == (waveformEditor_ != nullptr)) return;
    if (!shown) {
        delete waveformEditor_.data();
        return;
    }
    auto* editor = new BeatloomWaveformEditor(model_, model_.previewPlayer(), ui_);
    waveformEditor_ = editor;
    waveformEditorSeam_->layout()->addWidget(editor);
}

void BeatloomView::showTempoLevel() {
    const auto& result = *model_.result.value();
    tempoLevelPanel_->setVisible(result.ambiguous || result.candidates.size() >= 2);
    std::vector<Uuid> ids;
    const std::size_t shown = std::min<std::size_t>(result.candidates.size(), 4);
    for (std::size_t i = 0; i < shown; ++i) ids.push_back(result.candidates[i].id);
    if (ids == candidateIDs_) return;
    for (auto* old : candidateButtons_) {
        old->hide();
        old->deleteLater();
    }
    candidateButtons_.clear();
    candidateIDs_ = ids;
    for (std::size_t i = 0; i < shown; ++i) {
        const double bpm = result.candidates[i].bpm;
        auto* button = new QPushButton(fromStd(formatFixed(bpm, 1)));
        button->setObjectName(QStringLiteral("tempoCandidate"));
        button->setFont(OrvantaTheme::font(11, QFont::DemiBold));
        // The orange tint of the panel.
        button->setStyleSheet(QStringLiteral("QPushButton { color: %1; padding: 2px 8px; }")
                                  .arg(OrvantaTheme::standardOrange().name()));
        connect(button, &QAbstractButton::clicked, this, [this, bpm] { model_.chooseTempoCandidate(bpm); });
        // After the label, in the candidates' order.
        candidatesRow_->insertWidget(int(1 + i), button);
        candidateButtons_.push_back(button);
    }
}

void BeatloomView::showTempoPointRows() {
    const auto& points = model_.editableTempoPoints.value();
    const double duration = model_.result.value() ? model_.result.value()->durationSeconds : 0.0;
    // A point keeps its row, and with it what is typed there, as long as the row can show it:
    // the first and the last row carry other controls, so a point that becomes or stops being
    // first or last gets a new row. Rows of points that left the map go.
    std::unordered_map<Uuid, BeatloomTempoPointRow*> previous;
    for (auto* row : rows_) previous.emplace(row->point().id, row);
    const auto discard = [this](BeatloomTempoPointRow* row) {
        rowsLayout_->removeWidget(row);
        row->hide();
        row->deleteLater();
    };
    std::vector<BeatloomTempoPointRow*> rows;
    rows.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const bool last = i + 1 == points.size();
        BeatloomTempoPointRow* row = nullptr;
        if (const auto kept = previous.find(points[i].id); kept != previous.end()) {
            row = kept->second;
            previous.erase(kept);
            if ((row->index() == 0) != (i == 0) || row->isLast() != last || row->duration() != duration) {
                discard(row);
                row = nullptr;
            }
        }
        if (row != nullptr) {
            row->setIndex(int(i));
            row->setPoint(points[i]);
        } else {
            row = new BeatloomTempoPointRow(model_, points[i], int(i), last, duration);
        }
        rows.push_back(row);
    }
    for (const auto& [id, row] : previous) discard(row);
    // In map order; only the rows out of place move.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QLayoutItem* item = rowsLayout_->itemAt(int(i));
        if (item != nullptr && item->widget() == rows[i]) continue;
        rowsLayout_->removeWidget(rows[i]);
        rowsLayout_->insertWidget(int(i), rows[i]);
    }
    rows_ = std::move(rows);
}

}  // namespace corvel::editor
