#include "app/root_view.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QToolTip>

#include <vector>

#include <gtest/gtest.h>

#include "app/diagnostics_view.hpp"
#include "common/app_version.hpp"
#include "theme/orvanta_theme.hpp"
#include "app/orvanta_voduve_corvel_app.hpp"
#include "theme/symbol_set.hpp"
#include "editor/beatloom_view.hpp"
#include "support/scoped_user_folders.hpp"
#include "support/temp_folder.hpp"
#include "setup/setup_view.hpp"

namespace corvel::app {
namespace {

using Section = AppModel::Section;

void discardDeletedScreens() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

// The setup screen reads the user's folders: they point into the test's own folder.
class RootViewTest : public corvel::testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        userFolders = std::make_unique<corvel::testing::ScopedUserFolders>(root);
        model = OrvantaVoduveCorvelApp::makeAppModel();
        model->stopBeatloomPreview = [this] { stops.push_back(model->selectedSection()); };
        view = std::make_unique<RootView>(*model);
        view->resize(1420, 920);
        view->show();
    }
    void TearDown() override {
        view.reset();
        discardDeletedScreens();
        userFolders.reset();
        TempFolderTest::TearDown();
    }

    void press(Section section) { QTest::mouseClick(view->sectionBar()->button(section), Qt::LeftButton); }

    std::vector<QString> selectedTitles() const {
        std::vector<QString> titles;
        for (const auto* button : view->sectionBar()->buttons()) {
            if (button->selected()) titles.push_back(button->title());
        }
        return titles;
    }

    std::unique_ptr<corvel::testing::ScopedUserFolders> userFolders;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<RootView> view;
    std::vector<Section> stops;  // the section selected at each preview stop
};

TEST_F(RootViewTest, StartsOnSetupWithCorvelTheOneSelectedButton) {
    EXPECT_EQ(selectedTitles(), std::vector<QString>{QStringLiteral("CORVEL")});
    ASSERT_NE(view->sectionContent(), nullptr);
    EXPECT_EQ(view->sectionContent()->objectName(), QStringLiteral("setupView"));
    EXPECT_TRUE(stops.empty());
}

TEST_F(RootViewTest, EachButtonSelectsItsSectionAndShowsItsScreen) {
    struct Case {
        Section section;
        const char* title;
        const char* symbol;
        const char* screen;
    };
    const Case cases[] = {
        {Section::beatloom, "BEATLOOM", "waveform.path.ecg", "beatloomView"},
        {Section::diagnostics, "DIAGNOSTICS", "stethoscope", "diagnosticsView"},
        {Section::setup, "CORVEL", "shippingbox.fill", "setupView"},
        {Section::diagnostics, "DIAGNOSTICS", "stethoscope", "diagnosticsView"},
        {Section::beatloom, "BEATLOOM", "waveform.path.ecg", "beatloomView"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const auto* button = view->sectionBar()->button(c.section);
        EXPECT_EQ(button->title(), QString::fromLatin1(c.title));
        EXPECT_EQ(button->property(theme::kSystemImageProperty).toString(), QString::fromLatin1(c.symbol));
        EXPECT_TRUE(theme::hasSymbol(button->systemImage()));
        press(c.section);
        EXPECT_EQ(model->selectedSection(), c.section);
        EXPECT_EQ(selectedTitles(), std::vector<QString>{QString::fromLatin1(c.title)});
        EXPECT_EQ(view->sectionContent()->objectName(), QString::fromLatin1(c.screen));
        EXPECT_TRUE(view->sectionContent()->isVisible());
    }
}

TEST_F(RootViewTest, PressingTheShownSectionChangesNothing) {
    press(Section::diagnostics);
    stops.clear();
    const QWidget* screen = view->sectionContent();
    press(Section::diagnostics);
    EXPECT_EQ(view->sectionContent(), screen);
    EXPECT_TRUE(stops.empty());
}

TEST_F(RootViewTest, StopsThePreviewOnEveryChangeAwayFromTheTempoEditorOnly) {
    const Section route[] = {Section::beatloom,    Section::diagnostics, Section::setup,   Section::diagnostics,
                             Section::beatloom,    Section::setup,       Section::beatloom, Section::beatloom};
    for (Section section : route) press(section);
    EXPECT_EQ(stops, (std::vector<Section>{Section::diagnostics, Section::setup, Section::diagnostics, Section::setup}));

    model->stopBeatloomPreview = nullptr;  // no session to stop: leaving is still fine
    press(Section::diagnostics);
    EXPECT_EQ(model->selectedSection(), Section::diagnostics);
}

TEST_F(RootViewTest, FollowsTheModelWhenTheSectionIsChangedElsewhere) {
    model->setSelectedSection(Section::beatloom);
    EXPECT_EQ(selectedTitles(), std::vector<QString>{QStringLiteral("BEATLOOM")});
    EXPECT_EQ(view->sectionContent()->objectName(), QStringLiteral("beatloomView"));
}

TEST_F(RootViewTest, ScreensAreBuiltOnEachVisitAndDiscardedOnLeaving) {
    press(Section::diagnostics);
    QPointer<QWidget> firstVisit = view->sectionContent();
    ASSERT_NE(qobject_cast<DiagnosticsView*>(firstVisit.data()), nullptr);
    press(Section::setup);
    discardDeletedScreens();
    EXPECT_TRUE(firstVisit.isNull());
    press(Section::diagnostics);
    EXPECT_NE(view->sectionContent(), nullptr);
    EXPECT_EQ(view->sectionContent()->objectName(), QStringLiteral("diagnosticsView"));
}

TEST_F(RootViewTest, EachVisitToTheTempoEditorShowsTheRunsOneSessionWithItsViewFlagsCleared) {
    press(Section::beatloom);
    auto* first = dynamic_cast<editor::BeatloomView*>(view->sectionContent());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(&first->model(), &model->beatloomSession());
    EXPECT_EQ(&first->ui(), &model->beatloomUIState());
    EXPECT_FALSE(first->dropTargeted());
    first->setShowAdvancedTempoMap(true);

    press(Section::diagnostics);
    press(Section::beatloom);
    discardDeletedScreens();
    auto* second = dynamic_cast<editor::BeatloomView*>(view->sectionContent());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(&second->model(), &model->beatloomSession());
    EXPECT_FALSE(second->showAdvancedTempoMap());
    EXPECT_FALSE(second->dropTargeted());
}

TEST_F(RootViewTest, NarrowBarDropsTheEditionWordAndTheLink) {
    SectionBar* bar = view->sectionBar();
    EXPECT_TRUE(bar->showsWideRow());
    EXPECT_TRUE(bar->editionWord()->isVisible());
    EXPECT_TRUE(bar->webLink()->isVisible());
    EXPECT_EQ(bar->editionWord()->text(), QStringLiteral("Corvel"));
    EXPECT_EQ(bar->webLink()->property(theme::kSystemImageProperty).toString(), QStringLiteral("globe"));
    EXPECT_EQ(bar->webLink()->property("url").toString(), QString::fromLatin1(kWebSiteURL));

    const int compact = bar->idealWidth(false);
    const int wide = bar->idealWidth(true);
    ASSERT_LT(compact, wide);
    view->resize(compact + 1, 700);  // laid out at once, without waiting for the event loop
    ASSERT_EQ(bar->width(), compact + 1);
    EXPECT_FALSE(bar->showsWideRow());
    EXPECT_FALSE(bar->editionWord()->isVisible());
    EXPECT_FALSE(bar->webLink()->isVisible());
    EXPECT_TRUE(bar->brandWord()->isVisible());
    for (const auto* button : bar->buttons()) {
        EXPECT_TRUE(button->isVisible());
        EXPECT_EQ(button->width(), button->sizeHint().width()) << button->title().toStdString();  // not squeezed
        EXPECT_LE(button->mapTo(bar, QPoint(button->width(), 0)).x(), bar->width());
    }

    view->resize(wide, 700);
    EXPECT_TRUE(bar->showsWideRow());
    EXPECT_TRUE(bar->editionWord()->isVisible());
    EXPECT_TRUE(bar->webLink()->isVisible());
}

TEST_F(RootViewTest, OpenBeatloomOnTheSetupScreenSwitchesToTheTempoEditor) {
    auto* setup = dynamic_cast<setup::SetupView*>(view->sectionContent());
    ASSERT_NE(setup, nullptr);
    QTest::mouseClick(setup->openBeatloomButton(), Qt::LeftButton);
    EXPECT_EQ(model->selectedSection(), Section::beatloom);
    EXPECT_EQ(selectedTitles(), std::vector<QString>{QStringLiteral("BEATLOOM")});
    EXPECT_EQ(view->sectionContent()->objectName(), QStringLiteral("beatloomView"));
    discardDeletedScreens();  // the setup screen goes once its button's click is over
}

TEST_F(RootViewTest, EveryVisitToSetupStartsFromTheDefaultChoices) {
    auto* first = dynamic_cast<setup::SetupView*>(view->sectionContent());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->model().voduvePath().value(), (root / "home" / ".config" / "VODUVE").string());
    first->model().editTool(0, [](auto& tool) { tool.enabled = false; });
    QPointer<QWidget> firstVisit = first;

    press(Section::diagnostics);
    press(Section::setup);
    discardDeletedScreens();
    EXPECT_TRUE(firstVisit.isNull());
    auto* second = dynamic_cast<setup::SetupView*>(view->sectionContent());
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->model().tools().value().at(0).enabled);
}

class MainWindowTest : public corvel::testing::TempFolderTest {};

TEST_F(MainWindowTest, OpensAtItsDefaultSizeAndNeverShrinksBelowTheContentMinimum) {
    const corvel::testing::ScopedUserFolders userFolders(root);
    const auto model = OrvantaVoduveCorvelApp::makeAppModel();
    const auto window = OrvantaVoduveCorvelApp::makeWindow(*model);
    window->show();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvanta VODUVE Corvel"));
    EXPECT_EQ(window->size(), QSize(1420, 920));
    EXPECT_EQ(window->minimumSize(), QSize(1080, 720));
    window->resize(600, 400);
    EXPECT_EQ(window->size(), QSize(1080, 720));

    const auto* rootView = window->findChild<RootView*>();
    ASSERT_NE(rootView, nullptr);
    EXPECT_EQ(&rootView->appModel(), model.get());
    EXPECT_TRUE(rootView->sectionBar()->showsWideRow());  // the wide row fits the smallest window
    EXPECT_EQ(model->selectedSection(), Section::setup);
}

// The program's own settings of the application object, undone after the test so that the
// other tests keep the plain application they started with.
class ApplicationSetUpTest : public ::testing::Test {
protected:
    ~ApplicationSetUpTest() override {
        QApplication::setApplicationName(name_);
        QGuiApplication::setDesktopFileName(desktopFileName_);
        QApplication::setWindowIcon(icon_);
        QApplication::setStyle(QStyleFactory::create(styleName_));
        QApplication::setPalette(palette_);
        QApplication::setPalette(tipLabelPalette_, "QTipLabel");
        QToolTip::setPalette(toolTipPalette_);
    }

private:
    const QString name_ = QApplication::applicationName();
    const QString desktopFileName_ = QGuiApplication::desktopFileName();
    const QIcon icon_ = QApplication::windowIcon();
    const QString styleName_ = QApplication::style()->name();
    const QPalette palette_ = QApplication::palette();
    const QPalette tipLabelPalette_ = QApplication::palette("QTipLabel");
    const QPalette toolTipPalette_ = QToolTip::palette();
};

TEST_F(ApplicationSetUpTest, TheWindowsCarryTheDesktopEntrysClassAndTheBrandIcon) {
    OrvantaVoduveCorvelApp::setUpApplication();
    // The class of the windows on X11 is the application's name; the install test checks that
    // the desktop entry's StartupWMClass names the same.
    EXPECT_EQ(QApplication::applicationName(), QString::fromLatin1(kDesktopEntryName));
    EXPECT_EQ(QGuiApplication::desktopFileName(), QString::fromLatin1(kDesktopEntryName));
    const QIcon icon = QApplication::windowIcon();
    ASSERT_FALSE(icon.isNull());
    for (const int size : {16, 48, 256}) EXPECT_EQ(icon.pixmap(size).width(), size);
    const QImage large = icon.pixmap(256).toImage();
    EXPECT_GT(qAlpha(large.pixel(128, 128)), 0);   // the mark in the middle
    EXPECT_EQ(qAlpha(large.pixel(0, 0)), 0);       // clear round the tile's corners
}

TEST_F(ApplicationSetUpTest, ToolTipsAreDrawnInTheThemesColours) {
    // What a desktop's platform theme gives tool tips: black on a light face.
    QPalette light;
    light.setColor(QPalette::ToolTipBase, QColor(255, 255, 220));
    light.setColor(QPalette::ToolTipText, Qt::black);
    QApplication::setPalette(light, "QTipLabel");
    QToolTip::setPalette(light);
    OrvantaVoduveCorvelApp::setUpApplication();
    QWidget owner;
    owner.show();
    QToolTip::showText(owner.mapToGlobal(QPoint(10, 10)), QStringLiteral("Zoom In · Up Arrow"), &owner);
    QWidget* tip = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits("QTipLabel") && widget->isVisible()) tip = widget;
    }
    ASSERT_TRUE(tip);
    const QPalette theme = theme::OrvantaTheme::darkPalette();
    EXPECT_EQ(tip->palette().color(QPalette::ToolTipBase), theme.color(QPalette::ToolTipBase));
    EXPECT_EQ(tip->palette().color(QPalette::ToolTipText), theme.color(QPalette::ToolTipText));
    const QImage drawn = tip->grab().toImage();
    EXPECT_LT(qGray(drawn.pixel(drawn.width() / 2, 2)), 80);  // a dark face, not a white one
    QToolTip::hideText();
}

}  // namespace
}  // namespace corvel::app
