#include "editor/beatloom_view.hpp"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QProgressBar>
#include <QTextDocument>
#include <QUrl>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/popover_frame.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/grid_fit_context_bar.hpp"
#include "editor/tempo_point_row.hpp"
#include "editor/toolbar/tempo_control_popover.hpp"
#include "editor/toolbar/toolbar_controls.hpp"
#include "editor/toolbar/toolbar_popovers.hpp"
#include "editor/waveform_editor.hpp"
#include "editor/widget_lookup.hpp"
#include "session/loading_fixture.hpp"
#include "session/undo_names.hpp"

namespace corvel::editor {
namespace {

namespace records = corvel::testing;
using session::testing::undoNames;

QUrl fileURL(const std::filesystem::path& file) { return QUrl::fromLocalFile(QString::fromStdString(file.string())); }

// What a label or tool tip puts on the screen: Qt reads a text of automatic format that looks
// like markup as markup.
QString shownText(const QString& text, Qt::TextFormat format = Qt::AutoText) {
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text))) return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}
QString shownText(const QLabel* label) { return shownText(label->text(), label->textFormat()); }

class BeatloomViewTest : public session::testing::LoadingTest {
protected:
    BeatloomViewTest() : view(std::make_unique<BeatloomView>(model, ui)) { view->resize(1200, 900); }

    // Lets the queued drop task run, then the refresh that its changes asked for.
    static void flush() {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    bool shows(const QWidget* widget) const { return widget != nullptr && widget->isVisibleTo(view.get()); }

    // Which of the five blocks show, top to bottom.
    struct Blocks {
        bool startHeaderAndDropZone, loadedHeader, analysing, editor, errorBanner, promotion;
        friend bool operator==(const Blocks&, const Blocks&) = default;
        friend std::ostream& operator<<(std::ostream& out, const Blocks& b) {
            return out << b.startHeaderAndDropZone << b.loadedHeader << b.analysing << b.editor << b.errorBanner
                       << b.promotion;
        }
    };
    Blocks blocks() const {
        EXPECT_EQ(shows(view->startHeader()), shows(view->dropZone()));
        return {shows(view->dropZone()), shows(view->loadedHeader()),  shows(view->analysingPanel()),
                shows(view->editorBlock()), shows(view->errorBanner()), shows(view->promotionalPanel())};
    }

    // Drags the files over the drop zone and drops them there; whether the drop was taken.
    bool drop(const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view->dropZone(), &enter);
        EXPECT_TRUE(view->dropTargeted());
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view->dropZone(), &dropped);
        EXPECT_FALSE(view->dropTargeted());
        return dropped.isAccepted();
    }

    BeatloomEditorUIState ui;
    std::unique_ptr<BeatloomView> view;
};

TEST_F(BeatloomViewTest, ADroppedFileIsAnalysedAndTheScreenFollowsTheSessionIntoTheEditor) {
    EXPECT_EQ(blocks(), (Blocks{true, false, false, false, false, true}));
    EXPECT_FALSE(view->showAdvancedTempoMap());

    ASSERT_TRUE(drop({fileURL(song90()), fileURL(song120())}));
    EXPECT_FALSE(model.selectedURL.value());  // the session hears of it in a task of its own
    QCoreApplication::processEvents();
    EXPECT_EQ(model.selectedURL.value(), song90());
    flush();
    EXPECT_EQ(model.selectedURL.value(), song90());  // the first file only
    EXPECT_TRUE(model.isAnalyzing.value());
    EXPECT_EQ(blocks(), (Blocks{true, false, true, false, false, true}));
    EXPECT_EQ(view->analysingFileLabel()->text(), "take.01.wav");

    settle();
    flush();
    ASSERT_TRUE(model.result.value()) << model.errorText.value();
    EXPECT_EQ(blocks(), (Blocks{false, true, false, true, false, false}));
    EXPECT_EQ(view->loadedFileLabel()->toolTip(), "take.01.wav");
    EXPECT_NE(dynamic_cast<BeatloomWaveformEditor*>(view->waveformEditor()), nullptr);
    EXPECT_EQ(view->waveformEditor()->parentWidget(), view->waveformEditorSeam());

    // A re-analysis keeps the song on screen under the analysing panel, which shows how far it got.
    model.isAnalyzing.set(true);
    model.analysisProgress.set(0.0);
    flush();
    EXPECT_EQ(blocks(), (Blocks{false, true, true, true, false, false}));
    EXPECT_EQ(view->analysingProgressBar()->maximum(), 0);  // nothing reported yet: busy
    EXPECT_FALSE(shows(view->analysingPercentLabel()));
    model.analysisProgress.set(0.426);
    flush();
    EXPECT_EQ(view->analysingProgressBar()->minimum(), 0);
    EXPECT_GT(view->analysingProgressBar()->maximum(), 0);
    EXPECT_NEAR(double(view->analysingProgressBar()->value()) / view->analysingProgressBar()->maximum(), 0.426, 1e-3);
    EXPECT_TRUE(shows(view->analysingPercentLabel()));
    EXPECT_EQ(view->analysingPercentLabel()->text(), "42 %");

    model.resetSession();
    flush();
    EXPECT_EQ(blocks(), (Blocks{true, false, false, false, false, true}));
    EXPECT_EQ(view->waveformEditor(), nullptr);
}

TEST_F(BeatloomViewTest, ChooseAndOpenAskTheSessionsOpenPanelForAnAudioFile) {
    panels.openAnswer = song120();
    view->chooseButton()->click();
    settle();
    flush();
    ASSERT_TRUE(model.result.value()) << model.errorText.value();
    EXPECT_TRUE(shows(view->openButton()));

    panels.openAnswer.reset();  // cancelled: the song stays
    view->openButton()->click();
    ASSERT_EQ(panels.openRequests.size(), 2u);
    EXPECT_EQ(panels.openRequests.back().contentType, "audio");
    EXPECT_EQ(model.selectedURL.value(), song120());
}

TEST_F(BeatloomViewTest, DropsWithoutItemsAreRefusedAndItemsThatAreNoFileChangeNothing) {
    EXPECT_FALSE(drop({}));
    EXPECT_TRUE(drop({QUrl(QStringLiteral("https://orvanta.example/song.wav"))}));
    flush();
    EXPECT_FALSE(model.selectedURL.value());
    EXPECT_FALSE(model.isAnalyzing.value());
    EXPECT_EQ(model.errorText.value(), "");
}

TEST_F(BeatloomViewTest, AFailedAnalysisShowsItsMessageUnderTheDropZone) {
    drop({fileURL(shortSong())});
    flush();
    settle();
    flush();
    ASSERT_NE(model.errorText.value(), "");
    EXPECT_EQ(blocks(), (Blocks{true, false, false, false, true, true}));
    EXPECT_EQ(view->errorLabel()->text().toStdString(), model.errorText.value());
    // In English, like the rest of the window.
    EXPECT_EQ(view->errorLabel()->text(), "The audio is too short for a musical tempo analysis.");
}

TEST_F(BeatloomViewTest, FileNamesAndMessagesThatLookLikeMarkupAreShownAsWritten) {
    const auto file = songFolder() / "a<b>c.wav";
    std::filesystem::copy_file(song120(), file, std::filesystem::copy_options::overwrite_existing);
    drop({fileURL(file)});
    flush();
    EXPECT_EQ(shownText(view->analysingFileLabel()), "a<b>c.wav");
    settle();
    flush();
    ASSERT_TRUE(model.result.value()) << model.errorText.value();
    EXPECT_EQ(shownText(view->loadedFileLabel()), "a<b>c.wav");
    EXPECT_EQ(shownText(view->loadedFileLabel()->toolTip()), "a<b>c.wav");

    const std::string message = "Could not read \"<i>a</i><b>c.wav\".";
    model.errorText.set(message);
    model.exportStatusText.set(message);
    model.statusText.set(message);
    model.waveformErrorText.set(message);
    model.waveformData.set(std::nullopt);
    flush();
    for (const QLabel* label : {view->errorLabel(), view->exportStatusLabel(), view->statusLabel(),
                                view->waveformEditor()->findChild<QLabel*>(QStringLiteral("waveformErrorText"))}) {
        ASSERT_TRUE(label);
        EXPECT_EQ(shownText(label).toStdString(), message) << label->objectName().toStdString();
    }
}

TEST_F(BeatloomViewTest, AdvancedTempoMapListsThePointsAndSendsItsButtonsToTheSession) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4, 90), records::tempoPoint(8, 100)});
    flush();
    EXPECT_FALSE(shows(view->advancedTempoMapContent()));
    view->advancedTempoMapToggle()->click();
    EXPECT_TRUE(view->showAdvancedTempoMap());
    EXPECT_TRUE(shows(view->advancedTempoMapContent()));

    const auto& rows = view->tempoPointRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0]->index(), 0);
    EXPECT_EQ(rows[2]->index(), 2);
    EXPECT_FALSE(rows[0]->isLast());
    EXPECT_FALSE(rows[1]->isLast());
    EXPECT_TRUE(rows[2]->isLast());
    EXPECT_EQ(rows[1]->timeText(), "4.000");

    EXPECT_FALSE(view->undoButton()->isEnabled());
    EXPECT_FALSE(view->redoButton()->isEnabled());
    model.seek(6);
    view->addTempoChangeButton()->click();
    flush();
    EXPECT_EQ(view->tempoPointRows().size(), 4u);
    EXPECT_TRUE(view->undoButton()->isEnabled());
    EXPECT_FALSE(view->redoButton()->isEnabled());
    EXPECT_EQ(view->statusLabel()->text().toStdString(), model.statusText.value());
    view->undoButton()->click();
    flush();
    EXPECT_EQ(view->tempoPointRows().size(), 3u);
    EXPECT_FALSE(view->undoButton()->isEnabled());
    EXPECT_TRUE(view->redoButton()->isEnabled());
    view->redoButton()->click();
    view->resetDetectedButton()->click();
    EXPECT_EQ(undoNames(model).front(), "Add Tempo Marker");
    EXPECT_EQ(model.editableTempoPoints.value().size(), 3u);

    model.locatorSeconds.set(75.5);
    flush();
    EXPECT_EQ(view->locatorReadout()->text(), "Locator 1:15.50");
}

TEST_F(BeatloomViewTest, TempoPointRowsFollowEditsInPlaceAndOnlyWhileTheListIsOpen) {
    loadResult({records::tempoPoint(0, 120), records::tempoPoint(4, 90), records::tempoPoint(8, 100),
                records::tempoPoint(12, 110)});
    flush();
    // Closed: edits build no rows.
    model.seek(6);
    model.addTempoPointAtLocator();
    flush();
    EXPECT_TRUE(view->tempoPointRows().empty());

    view->advancedTempoMapToggle()->click();
    ASSERT_EQ(view->tempoPointRows().size(), 5u);
    const std::vector<BeatloomTempoPointRow*> opened = view->tempoPointRows();
    opened[1]->bpmField()->setText(QStringLiteral("abc"));  // typed, not yet committed

    // A point added before the others: they keep their rows, renumbered, and what is typed.
    model.seek(2);
    model.addTempoPointAtLocator();
    flush();
    const auto& added = view->tempoPointRows();
    ASSERT_EQ(added.size(), 6u);
    EXPECT_EQ(added[0], opened[0]);
    EXPECT_EQ(added[2], opened[1]);
    EXPECT_EQ(added[3], opened[2]);
    EXPECT_EQ(added[2]->bpmText(), QStringLiteral("abc"));
    for (std::size_t i = 0; i < added.size(); ++i) {
        EXPECT_EQ(added[i]->index(), int(i));
        EXPECT_EQ(added[i]->point().id, model.editableTempoPoints.value()[i].id);
        if (i > 0) {
            EXPECT_EQ(added[i]->titleLabel()->text(), QStringLiteral("TEMPO CHANGE %1").arg(i));
        }
    }
    EXPECT_EQ(added[5], opened[4]);

    // The last point deleted: the one before it becomes the last row, built as such.
    model.deleteTempoPoint(model.editableTempoPoints.value().back().id);
    flush();
    const auto& deleted = view->tempoPointRows();
    ASSERT_EQ(deleted.size(), 5u);
    EXPECT_TRUE(deleted.back()->isLast());
    EXPECT_EQ(deleted.back()->stepButton(), nullptr);
    EXPECT_EQ(deleted[3], opened[2]);

    // Closed again, edits leave the rows alone until the list opens.
    view->advancedTempoMapToggle()->click();
    model.undo();
    flush();
    EXPECT_EQ(view->tempoPointRows().size(), 5u);
    view->advancedTempoMapToggle()->click();
    EXPECT_EQ(view->tempoPointRows().size(), 6u);
    EXPECT_EQ(view->tempoPointRows()[3], opened[2]);
}

TEST_F(BeatloomViewTest, TempoLevelPanelOffersAtMostFourCandidatesWhenTheLevelIsInDoubt) {
    loadResult({records::tempoPoint(0, 120)});
    auto withCandidates = [&](std::vector<double> bpms, bool ambiguous) {
        auto result = *model.result.value();
        result.candidates.clear();
        for (double bpm : bpms) result.candidates.push_back({Uuid::random(), bpm, 0.5});
        result.ambiguous = ambiguous;
        model.result.set(result);
        flush();
    };
    withCandidates({120}, false);
    EXPECT_FALSE(shows(view->tempoLevelPanel()));
    withCandidates({}, true);
    EXPECT_TRUE(view->tempoLevelPanel()->isVisibleTo(view->advancedTempoMapContent()));
    EXPECT_TRUE(view->candidateButtons().empty());
    withCandidates({120, 60, 240, 90, 180, 80}, false);
    ASSERT_EQ(view->candidateButtons().size(), 4u);
    EXPECT_EQ(view->candidateButtons()[1]->text(), "60.0");
    view->candidateButtons()[1]->click();
    EXPECT_EQ(model.editableTempoPoints.value().size(), 1u);
    EXPECT_EQ(model.editableTempoPoints.value()[0].bpm, 60);
    EXPECT_EQ(undoNames(model), (std::vector<std::string>{"Choose Tempo Candidate"}));
}

TEST_F(BeatloomViewTest, ExportAndErrorLinesShowOnlyWhileTheyHoldText) {
    loadResult({records::tempoPoint(0, 120)});
    flush();
    EXPECT_FALSE(shows(view->exportStatusLabel()));
    EXPECT_FALSE(shows(view->errorBanner()));
    model.exportStatusText.set("Edited tempo, meter and flexible timeline exported.");
    model.errorText.set("Enter a BPM between 30 and 300.");
    flush();
    EXPECT_TRUE(shows(view->exportStatusLabel()));
    EXPECT_EQ(blocks(), (Blocks{false, true, false, true, true, false}));
    EXPECT_EQ(view->errorLabel()->text(), "Enter a BPM between 30 and 300.");
}

// ---- A loaded song in a window of the default size and others

class BeatloomViewLayoutTest : public BeatloomViewTest {
protected:
    // The window's height less the section bar above the screen.
    static constexpr int kScreenHeight = 860;

    void showSong(int points = 1) {
        std::vector<BeatloomTempoPoint> map;
        for (int i = 0; i < points; ++i) map.push_back(records::tempoPoint(i * 2.0, 120));
        loadResult(map, {0.0});
        BeatloomWaveformData waveform;
        waveform.durationSeconds = session::testing::kSongSeconds;
        waveform.minPeaks.assign(400, -0.5f);
        waveform.maxPeaks.assign(400, 0.5f);
        model.waveformData.set(waveform);
        view->show();
        resize(1420);
    }
    void resize(int width, int height = kScreenHeight) {
        view->resize(width, height);
        flush();
    }
    BeatloomWaveformEditor& editor() const { return *static_cast<BeatloomWaveformEditor*>(view->waveformEditor()); }
    BeatloomEditorToolbar& toolbar() const { return *editor().toolbar(); }
    QScrollArea& scrollArea() const { return *view->findChild<QScrollArea*>(); }
    // Where a widget lies in the visible part of the screen.
    QRect inViewport(const QWidget* widget) const {
        return QRect(widget->mapTo(scrollArea().viewport(), QPoint(0, 0)), widget->size());
    }
};

TEST_F(BeatloomViewLayoutTest, EveryToolbarControlGetsItsNaturalSizeAtEveryWindowWidth) {
    showSong();
    for (const int width : {1080, 1200, 1420, 1700, 2200}) {
        SCOPED_TRACE(width);
        resize(width);
        const QRect strip = toolbar().contentsRect();
        EXPECT_GE(strip.width(), toolbar().requiredWidth(toolbar().currentLayout()));
        for (const QWidget* control : toolbar().row()->findChildren<QWidget*>()) {
            if (!control->isVisible() || control->size().isEmpty()) continue;  // the hidden key carrier
            EXPECT_GE(control->width(), control->minimumSizeHint().width()) << control->toolTip().toStdString();
            if (qobject_cast<const QAbstractButton*>(control) || qobject_cast<const QLabel*>(control)) {
                EXPECT_GE(control->width(), control->sizeHint().width()) << control->toolTip().toStdString();
            }
            // Nothing is cut off at the strip's ends.
            const QRect placed(control->mapTo(&toolbar(), QPoint(0, 0)), control->size());
            EXPECT_TRUE(toolbar().rect().contains(placed)) << control->toolTip().toStdString();
        }
    }
}

// Every control of the toolbar's full row, as the user finds it: in the row by its tool tip or
// text, else as an item of the "…" menu (a title, or the start of a submenu's title).
struct ToolbarControl {
    const char* inRow;
    const char* inMenu;
};
constexpr ToolbarControl kToolbarControls[] = {
    {"Play / Stop · Space", nullptr},
    {"Click off", "Click"},
    {"Click settings", "Click Settings…"},
    {"Double-click to enter tempo manually", nullptr},
    {"Half the tempo of the current section", "Half Current Tempo (÷2)"},
    {"Double the tempo of the current section", "Double Current Tempo (×2)"},
    {"Time signature at the locator", "Time Signature · "},
    {"Grid 1/8", "Grid · "},
    {"Select a waveform range for targeted tempo re-analysis", "Select Range for Re-analysis"},
    {"Lock the current locator as Beat 1. Existing grid on the left and other locked 1s stay fixed.", nullptr},
    {"Locked downbeat, absolute Bar 1 and pickup options", nullptr},
    {"Free Time / Rubato / Rejoin Grid", nullptr},
    {"Align beat/bar lines to real transients.", nullptr},
    {"Zoom Out · Down Arrow", "Zoom Out"},
    {"Fit Song · 0", "Fit Song"},
    {"Zoom In · Up Arrow", "Zoom In"},
    {"Nothing to undo", nullptr},
    {"Nothing to redo", nullptr},
    {"View options", "View Options…"},
    {"Keyboard shortcuts", "Keyboard Shortcuts…"},
    {"Export the confirmed tempo and meter map as MIDI", nullptr},
    {"Clear Beatloom Project — original audio is never deleted", nullptr},
};

TEST_F(BeatloomViewLayoutTest, EveryToolbarControlIsInTheRowOrInTheMoreMenuAtEveryWindowWidth) {
    showSong();
    model.previewPlayer().setClickEnabled(false);
    for (const int width : {1080, 1420, 1920}) {
        SCOPED_TRACE(width);
        resize(width);
        if (width == 1920) {
            EXPECT_EQ(toolbar().currentLayout(), BeatloomToolbarLayout::full);
        }
        // Shown, and on the screen in full.
        const auto onScreen = [this](const QWidget* widget) {
            return widget->isVisible() && !widget->size().isEmpty() &&
                   view->rect().contains(QRect(widget->mapTo(view.get(), QPoint(0, 0)), widget->size()));
        };
        const auto inRow = [&](const QString& name) {
            for (const QWidget* widget : toolbar().row()->findChildren<QWidget*>()) {
                if ((widget->toolTip() == name || testing::widgetText(widget) == name) && onScreen(widget)) return true;
            }
            return false;
        };
        QMenu* more = nullptr;
        for (auto* button : toolbar().row()->findChildren<ToolbarMenuButton*>()) {
            if (button->toolTip() == "More Beatloom controls" && onScreen(button)) more = button->menu();
        }
        if (more) emit more->aboutToShow();
        const auto inMenu = [&](const QString& title) {
            if (!more) return false;
            for (const QAction* action : more->actions()) {
                if (action->text() == title || (action->menu() && action->text().startsWith(title))) return true;
            }
            return false;
        };
        for (const ToolbarControl& control : kToolbarControls) {
            EXPECT_TRUE(inRow(control.inRow) || (control.inMenu && inMenu(control.inMenu))) << control.inRow;
        }
    }
}

TEST_F(BeatloomViewLayoutTest, TheViewOptionsOpenFromTheMoreMenuInsideTheWindow) {
    showSong();
    resize(1080);
    ASSERT_NE(toolbar().currentLayout(), BeatloomToolbarLayout::full);
    ToolbarMenuButton* more = nullptr;
    for (auto* button : toolbar().row()->findChildren<ToolbarMenuButton*>()) {
        if (button->toolTip() == "More Beatloom controls") more = button;
    }
    ASSERT_TRUE(more);
    emit more->menu()->aboutToShow();
    QAction* viewOptions = nullptr;
    for (QAction* action : more->menu()->actions()) {
        if (action->text() == "View Options…") viewOptions = action;
    }
    ASSERT_TRUE(viewOptions);
    viewOptions->trigger();
    EXPECT_TRUE(ui.showViewPopover.value());
    PopoverFrame* shown = nullptr;
    // Told apart by their type (the class has no meta-object of its own).
    for (QWidget* child : toolbar().findChildren<QWidget*>()) {
        auto* frame = dynamic_cast<PopoverFrame*>(child);
        if (frame && frame->isVisible()) shown = frame;
    }
    ASSERT_TRUE(shown);
    auto* transients = testing::findByText<QCheckBox>(shown, "Show Transient Candidates");
    ASSERT_TRUE(transients);
    transients->click();
    EXPECT_TRUE(ui.showTransients.value());
    EXPECT_TRUE(testing::findByText<QCheckBox>(shown, "Large Waveform"));
    EXPECT_TRUE(view->window()->geometry().contains(shown->geometry()));
    ui.showViewPopover.set(false);
}

TEST_F(BeatloomViewLayoutTest, TheToolbarKeepsItsRowAndWidthAsTheTempoAndTheScrollBarComeAndGo) {
    showSong(12);
    const BeatloomToolbarLayout layout = toolbar().currentLayout();
    const int width = toolbar().width();
    QWidget* readout = toolbar().findChild<QWidget*>(QStringLiteral("tempoValue"));
    ASSERT_TRUE(readout);
    const int readoutWidth = readout->width();
    model.editableTempoPoints.set({records::tempoPoint(0, 287.5)});
    flush();
    EXPECT_EQ(readout->width(), readoutWidth);

    // Opening the map makes the screen taller than the window: the scroll bar shows.
    EXPECT_FALSE(scrollArea().verticalScrollBar()->isVisible());
    view->setShowAdvancedTempoMap(true);
    flush();
    EXPECT_TRUE(scrollArea().verticalScrollBar()->isVisible());
    EXPECT_EQ(toolbar().currentLayout(), layout);
    EXPECT_EQ(toolbar().width(), width);
}

TEST_F(BeatloomViewLayoutTest, GridFitModeLaysThePanelOutAtOnce) {
    showSong();
    ui.gridFitMode.set(true);
    // No turn of the event loop: the parts already stand one under the other.
    const QWidget* bar = editor().gridFitContextBar();
    ASSERT_TRUE(bar->isVisible());
    EXPECT_GT(bar->height(), 0);
    const QRect timeline = static_cast<QWidget*>(editor().timelineViewport())->geometry();
    EXPECT_LE(bar->geometry().bottom(), timeline.top());
    EXPECT_LE(timeline.bottom(), editor().statusRow()->geometry().top());
    EXPECT_LE(editor().statusRow()->geometry().bottom(), editor().height() - BeatloomWaveformEditor::kPadding);
    EXPECT_LE(QRect(editor().mapTo(view->editorBlock(), QPoint(0, 0)), editor().size()).bottom(),
              view->editorBlock()->height());

    ui.gridFitMode.set(false);
    EXPECT_FALSE(bar->isVisible());
    EXPECT_LE(editor().statusRow()->geometry().bottom(), editor().height() - BeatloomWaveformEditor::kPadding);
}

// The smallest window less the section bar above the screen.
constexpr int kSmallestScreenHeight = 660;

TEST_F(BeatloomViewLayoutTest, ATypedTempoOutOfRangeIsRefusedInThePopoverAndThePageStaysPut) {
    showSong();
    resize(1080, kSmallestScreenHeight);
    const int scrolled = scrollArea().verticalScrollBar()->value();
    toolbar().openTempoPopover();
    BeatloomTempoControlPopover* popover = nullptr;
    for (QWidget* widget : toolbar().findChildren<QWidget*>()) {
        if (auto* found = dynamic_cast<BeatloomTempoControlPopover*>(widget); found && found->isVisible()) popover = found;
    }
    ASSERT_TRUE(popover);
    popover->setTempoText("500");
    popover->applyManualTempo();
    flush();
    EXPECT_TRUE(popover->isVisible());
    EXPECT_TRUE(popover->refusalLabel()->isVisible());
    EXPECT_EQ(popover->refusalLabel()->text(), "Enter a BPM between 30 and 300.");
    // The page does not scroll away from under the open popover to the banner at its foot.
    EXPECT_EQ(scrollArea().verticalScrollBar()->value(), scrolled);
    toolbar().showTempoPopover.set(false);
}

TEST_F(BeatloomViewLayoutTest, ALockedGridFitAnchorRefusesItsDragInTheErrorLineInView) {
    showSong();
    resize(1080, kSmallestScreenHeight);
    ui.gridFitMode.set(true);
    BeatloomGridFitAnchor locked;
    locked.quarterPosition = 8;
    locked.timeSeconds = 4.0;
    locked.isLocked = true;
    model.gridFitAnchors.set({locked});
    flush();
    ASSERT_FALSE(view->showAdvancedTempoMap());
    // What the Grid Fit lane asks for while the line is dragged.
    model.beginGridAnchorMove();
    model.moveGridAnchor({4.0, 8, BeatloomTimeline::GridKind::beat, 3, 1}, false, 4.2, 0.05);
    model.endTransaction(model.gridFitStatusText());
    flush();
    EXPECT_EQ(model.gridFitAnchors.value().front().timeSeconds, 4.0);
    ASSERT_TRUE(view->errorBanner()->isVisible());
    EXPECT_EQ(view->errorLabel()->text(), "This Grid-Fit anchor is locked. Unlock it before moving.");
    EXPECT_TRUE(scrollArea().viewport()->rect().contains(inViewport(view->errorBanner())));
}

// What the widgets it watches are sent while it listens: the paints, the layouts and the
// resizes that a change costs them.
class WidgetWork final : public QObject {
public:
    void watch(QWidget* widget) {
        watched_.insert(widget);
        widget->installEventFilter(this);
        for (QWidget* child : widget->findChildren<QWidget*>()) {
            watched_.insert(child);
            child->installEventFilter(this);
        }
    }
    int paints = 0;
    int relayouts = 0;  // layout requests and resizes

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (!watched_.contains(object)) return false;
        if (event->type() == QEvent::Paint) ++paints;
        if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize) ++relayouts;
        return false;
    }

private:
    QSet<QObject*> watched_;
};

TEST_F(BeatloomViewLayoutTest, ATempoPointThatComesOrGoesCostsTheOtherRowsAndThePageAboveNoWork) {
    showSong(40);
    view->setShowAdvancedTempoMap(true);
    flush();
    const std::vector<BeatloomTempoPointRow*> before = view->tempoPointRows();
    ASSERT_EQ(before.size(), 40u);
    const auto renumbered = [&] {
        for (std::size_t i = 1; i < view->tempoPointRows().size(); ++i) {
            EXPECT_EQ(view->tempoPointRows()[i]->titleLabel()->text(), QStringLiteral("TEMPO CHANGE %1").arg(i));
        }
    };
    struct Edit {
        const char* name;
        std::function<void()> apply;
        std::size_t rows;
    };
    const Uuid middle = model.editableTempoPoints.value()[5].id;
    const Edit edits[] = {
        {"delete", [&] { model.deleteTempoPoint(middle); }, 39},
        {"undo", [&] { model.undo(); }, 40},
        {"redo", [&] { model.redo(); }, 39},
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(edit.name);
        // The rows that stay, and the header at the top of the page, which the list's new height
        // leaves where it was.
        WidgetWork rows;
        for (auto* row : view->tempoPointRows()) {
            if (row->point().id != middle) rows.watch(row);
        }
        WidgetWork header;
        header.watch(view->loadedHeader());
        edit.apply();
        for (int i = 0; i < 4; ++i) flush();
        ASSERT_EQ(view->tempoPointRows().size(), edit.rows);
        EXPECT_EQ(rows.relayouts, 0);
        EXPECT_EQ(header.paints, 0);
        renumbered();
    }
    EXPECT_EQ(view->tempoPointRows()[6], before[7]);
}

TEST_F(BeatloomViewLayoutTest, AnErrorIsBroughtIntoViewWhenItAppears) {
    showSong(12);
    view->setShowAdvancedTempoMap(true);
    flush();
    model.errorText.set("Device unavailable");
    flush();
    ASSERT_TRUE(view->errorBanner()->isVisible());
    EXPECT_TRUE(scrollArea().viewport()->rect().contains(inViewport(view->errorBanner())));
}

}  // namespace
}  // namespace corvel::editor
