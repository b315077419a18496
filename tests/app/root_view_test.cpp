#include "app/root_view.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTest>

#include <vector>

#include <gtest/gtest.h>

#include "app/diagnostics_view.hpp"
#include "app/orvanta_theme.hpp"
#include "app/orvanta_voduve_corvel_app.hpp"
#include "app/symbol_set.hpp"

namespace corvel::app {
namespace {

using Section = AppModel::Section;

void discardDeletedScreens() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

class RootViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        model = OrvantaVoduveCorvelApp::makeAppModel();
        model->stopBeatloomPreview = [this] { stops.push_back(model->selectedSection()); };
        root = std::make_unique<RootView>(*model);
        root->resize(1420, 920);
        root->show();
    }
    void TearDown() override {
        root.reset();
        discardDeletedScreens();
    }

    void press(Section section) { QTest::mouseClick(root->sectionBar()->button(section), Qt::LeftButton); }

    std::vector<QString> selectedTitles() const {
        std::vector<QString> titles;
        for (const auto* button : root->sectionBar()->buttons()) {
            if (button->selected()) titles.push_back(button->title());
        }
        return titles;
    }

    std::unique_ptr<AppModel> model;
    std::unique_ptr<RootView> root;
    std::vector<Section> stops;  // the section selected at each preview stop
};

TEST_F(RootViewTest, StartsOnSetupWithCorvelTheOneSelectedButton) {
    EXPECT_EQ(selectedTitles(), std::vector<QString>{QStringLiteral("CORVEL")});
    ASSERT_NE(root->sectionContent(), nullptr);
    EXPECT_EQ(root->sectionContent()->objectName(), QStringLiteral("setupPlaceholder"));
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
        {Section::beatloom, "BEATLOOM", "waveform.path.ecg", "beatloomPlaceholder"},
        {Section::diagnostics, "DIAGNOSTICS", "stethoscope", "diagnosticsView"},
        {Section::setup, "CORVEL", "shippingbox.fill", "setupPlaceholder"},
        {Section::diagnostics, "DIAGNOSTICS", "stethoscope", "diagnosticsView"},
        {Section::beatloom, "BEATLOOM", "waveform.path.ecg", "beatloomPlaceholder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const auto* button = root->sectionBar()->button(c.section);
        EXPECT_EQ(button->title(), QString::fromLatin1(c.title));
        EXPECT_EQ(button->property(kSystemImageProperty).toString(), QString::fromLatin1(c.symbol));
        EXPECT_TRUE(hasSymbol(button->systemImage()));
        press(c.section);
        EXPECT_EQ(model->selectedSection(), c.section);
        EXPECT_EQ(selectedTitles(), std::vector<QString>{QString::fromLatin1(c.title)});
        EXPECT_EQ(root->sectionContent()->objectName(), QString::fromLatin1(c.screen));
        EXPECT_TRUE(root->sectionContent()->isVisible());
    }
}

TEST_F(RootViewTest, PressingTheShownSectionChangesNothing) {
    press(Section::diagnostics);
    stops.clear();
    const QWidget* screen = root->sectionContent();
    press(Section::diagnostics);
    EXPECT_EQ(root->sectionContent(), screen);
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
    EXPECT_EQ(root->sectionContent()->objectName(), QStringLiteral("beatloomPlaceholder"));
}

TEST_F(RootViewTest, ScreensAreBuiltOnEachVisitAndDiscardedOnLeaving) {
    press(Section::diagnostics);
    QPointer<QWidget> firstVisit = root->sectionContent();
    ASSERT_NE(qobject_cast<DiagnosticsView*>(firstVisit.data()), nullptr);
    press(Section::setup);
    discardDeletedScreens();
    EXPECT_TRUE(firstVisit.isNull());
    press(Section::diagnostics);
    EXPECT_NE(root->sectionContent(), nullptr);
    EXPECT_EQ(root->sectionContent()->objectName(), QStringLiteral("diagnosticsView"));
}

TEST_F(RootViewTest, NarrowBarDropsTheEditionWordAndTheLink) {
    SectionBar* bar = root->sectionBar();
    EXPECT_TRUE(bar->showsWideRow());
    EXPECT_TRUE(bar->editionWord()->isVisible());
    EXPECT_TRUE(bar->webLink()->isVisible());
    EXPECT_EQ(bar->editionWord()->text(), QStringLiteral("Corvel"));
    EXPECT_EQ(bar->webLink()->property(kSystemImageProperty).toString(), QStringLiteral("globe"));
    EXPECT_EQ(bar->webLink()->property("url").toString(), QString::fromLatin1(kWebSiteURL));

    const int compact = bar->idealWidth(false);
    const int wide = bar->idealWidth(true);
    ASSERT_LT(compact, wide);
    root->resize(compact + 1, 700);  // laid out at once, without waiting for the event loop
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

    root->resize(wide, 700);
    EXPECT_TRUE(bar->showsWideRow());
    EXPECT_TRUE(bar->editionWord()->isVisible());
    EXPECT_TRUE(bar->webLink()->isVisible());
}

TEST(MainWindowTest, OpensAtItsDefaultSizeAndNeverShrinksBelowTheContentMinimum) {
    const auto model = OrvantaVoduveCorvelApp::makeAppModel();
    const auto window = OrvantaVoduveCorvelApp::makeWindow(*model);
    window->show();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvanta VODUVE Corvel"));
    EXPECT_EQ(window->size(), QSize(1420, 920));
    EXPECT_EQ(window->minimumSize(), QSize(1080, 720));
    window->resize(600, 400);
    EXPECT_EQ(window->size(), QSize(1080, 720));

    const auto* root = window->findChild<RootView*>();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(&root->appModel(), model.get());
    EXPECT_TRUE(root->sectionBar()->showsWideRow());  // the wide row fits the smallest window
    EXPECT_EQ(model->selectedSection(), Section::setup);
}

}  // namespace
}  // namespace corvel::app
