#include "app/app_model.hpp"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "app/orvanta_voduve_corvel_app.hpp"
#include "app/root_view.hpp"
#include "audio/preview/preview_output.hpp"
#include "audio/test_signals.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"
#include "support/fake_file_panels.hpp"
#include "support/scoped_user_folders.hpp"
#include "support/temp_folder.hpp"

namespace corvel::app {
namespace {

using Section = AppModel::Section;

TEST(AppModelTest, StartsOnSetupAndTellsObserversOnlyOfRealChangesAfterTheyHappen) {
    const auto model = OrvantaVoduveCorvelApp::makeAppModel();
    EXPECT_EQ(model->selectedSection(), Section::setup);

    std::vector<Section> told;
    QObject::connect(model.get(), &AppModel::selectedSectionChanged, [&](Section section) {
        EXPECT_EQ(model->selectedSection(), section);  // already changed when observers hear of it
        told.push_back(section);
    });
    model->setSelectedSection(Section::setup);
    model->setSelectedSection(Section::beatloom);
    model->setSelectedSection(Section::beatloom);
    model->setSelectedSection(Section::diagnostics);
    EXPECT_EQ(told, (std::vector<Section>{Section::beatloom, Section::diagnostics}));
    EXPECT_EQ(model->selectedSection(), Section::diagnostics);
}

// The root view builds the setup screen, which reads the user's folders: they point into the
// test's own folder. The session previews into an offline device over a silent song.
class AppModelSessionTest : public corvel::testing::TempFolderTest {
protected:
    static constexpr double kRate = 8000;
    static constexpr double kSongSeconds = 20;

    void SetUp() override {
        TempFolderTest::SetUp();
        userFolders = std::make_unique<corvel::testing::ScopedUserFolders>(root);
        model = std::make_unique<AppModel>(
            [this](platform::MainLoop& loop) {
                return std::make_unique<session::BeatloomViewModel>(
                    loop, device->outputFactory(), [](const std::filesystem::path&) {
                        return std::make_unique<audio::testkit::MemorySource>(
                            audio::testkit::silence(kRate, 1, std::int64_t(kRate * kSongSeconds)));
                    });
            },
            std::make_unique<corvel::testing::FakeFilePanels>());
        view = std::make_unique<RootView>(*model);
    }
    void TearDown() override {
        view.reset();
        model.reset();
        userFolders.reset();
        TempFolderTest::TearDown();
    }

    session::BeatloomViewModel& session() { return model->beatloomSession(); }

    // A loaded song as the analysis leaves it.
    void loadSong() {
        BeatloomResult detected;
        detected.fileName = "song.wav";
        detected.bpm = 120;
        detected.durationSeconds = kSongSeconds;
        detected.tempoPoints = {BeatloomTempoPoint{Uuid::random(), 0, 120, 1, false}};
        session().selectedURL.set(std::filesystem::path("song.wav"));
        session().result.set(detected);
        session().editableTempoPoints.set(detected.tempoPoints);
    }

    std::shared_ptr<audio::OfflinePreviewDevice> device = audio::OfflinePreviewDevice::make(1, 64);
    std::unique_ptr<corvel::testing::ScopedUserFolders> userFolders;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<RootView> view;
};

TEST_F(AppModelSessionTest, OneSessionAndViewStateServeTheWholeRunAndSurviveSectionChanges) {
    auto& firstSession = session();
    auto& firstUI = model->beatloomUIState();
    EXPECT_FALSE(firstSession.result.value());
    EXPECT_EQ(firstSession.previewPlayer().transportState().value(), audio::BeatloomPreviewTransportState::stopped);
    EXPECT_TRUE(firstSession.editHistory().undoEntries().empty());

    model->setSelectedSection(Section::beatloom);
    loadSong();
    session().seek(4);
    session().addTempoPointAtLocator();
    model->beatloomUIState().gridResolution.set(BeatloomGridResolution::sixteenth);
    model->beatloomUIState().rangeSelectionMode.set(true);

    for (const Section section : {Section::diagnostics, Section::setup, Section::beatloom}) {
        model->setSelectedSection(section);
        EXPECT_EQ(&session(), &firstSession);
        EXPECT_EQ(&model->beatloomUIState(), &firstUI);
    }
    EXPECT_EQ(session().editableTempoPoints.value().size(), 2u);
    EXPECT_EQ(session().editHistory().undoEntries().size(), 1u);
    EXPECT_EQ(firstUI.gridResolution.value(), BeatloomGridResolution::sixteenth);
    EXPECT_TRUE(firstUI.rangeSelectionMode.value());
}

TEST_F(AppModelSessionTest, LeavingTheTempoEditorStopsThePreviewWhereItHadPlayedTo) {
    model->setSelectedSection(Section::beatloom);
    loadSong();
    session().seek(2);
    session().startPreviewPlayback();
    ASSERT_EQ(session().errorText.value(), "");
    device->render(std::int64_t((0.08 + 3) * kRate));
    // The position timer of the real main loop stores the play head.
    ASSERT_TRUE(QTest::qWaitFor([&] { return session().previewPlayer().currentPlaybackSeconds().value() > 4.5; }, 2000));
    const double reached = session().previewPlayer().currentPlaybackSeconds().value();

    model->setSelectedSection(Section::diagnostics);
    EXPECT_EQ(session().previewPlayer().transportState().value(), audio::BeatloomPreviewTransportState::stopped);
    EXPECT_NEAR(session().locatorSeconds.value(), reached, 1e-9);
}

TEST_F(AppModelSessionTest, SongsAreAnalysedOnTheWorkerPoolAndQuittingMidAnalysisWaitsForIt) {
    const auto song = root / "Click 120.wav";
    audio::testkit::writeWav(song, audio::testkit::clicks(22050, 1, 8, 120, 0.8, 0.5));
    session().loadAudio(song);
    // The analysis reports back through the main loop; a hang is left to the test runner's timeout.
    while (session().isAnalyzing.value()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    ASSERT_TRUE(session().result.value()) << session().errorText.value();
    EXPECT_EQ(session().result.value()->fileName, "Click 120.wav");

    // The pool waits for the analysis before the session and the main loop it reports to go.
    session().loadAudio(song);
    EXPECT_TRUE(session().isAnalyzing.value());
    view.reset();
    model.reset();
}

TEST_F(AppModelSessionTest, AFileTheProgramIsOpenedWithLoadsInTheTempoEditor) {
    const auto song = root / "Opened With.wav";
    audio::testkit::writeWav(song, audio::testkit::clicks(22050, 1, 2, 120, 0.8, 0.5));
    model->openAudioFile(song);
    EXPECT_EQ(model->selectedSection(), Section::beatloom);
    EXPECT_EQ(session().selectedURL.value(), std::optional<std::filesystem::path>(song));
}

}  // namespace
}  // namespace corvel::app
