#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/qt_background_runner.hpp"
#include "app/qt_file_panels.hpp"
#include "app/qt_main_loop.hpp"
#include "support/scoped_user_folders.hpp"
#include "support/temp_folder.hpp"

namespace corvel::app {
namespace {

using namespace std::chrono_literals;

bool onMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

TEST(QtMainLoop, TasksPostedFromAnyThreadRunOnTheMainThreadInOrder) {
    QtMainLoop loop;
    std::vector<int> order;
    bool allOnMain = true;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            loop.post([&, i] {
                order.push_back(i);
                allOnMain = allOnMain && onMainThread();
            });
        }
    });
    worker.join();
    loop.post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());  // queued, never run inside post
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 4; }, 2000));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(allOnMain);
}

TEST(QtMainLoop, TasksStillQueuedWhenTheLoopGoesAreDropped) {
    bool ran = false;
    {
        QtMainLoop loop;
        loop.post([&] { ran = true; });
    }
    QTest::qWait(20);
    EXPECT_FALSE(ran);
}

TEST(QtMainLoop, RepeatingTimerTicksUntilItsTickSaysStop) {
    QtMainLoop loop;
    int ticks = 0;
    loop.startRepeatingTimer(1ms, [&] { return ++ticks < 3; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks == 3; }, 2000));
    QTest::qWait(20);
    EXPECT_EQ(ticks, 3);
}

TEST(QtMainLoop, CancelledTimersNeverFireAndStaleIdsAreIgnored) {
    QtMainLoop loop;
    int repeats = 0;
    int shots = 0;
    const auto repeating = loop.startRepeatingTimer(1ms, [&] { return ++repeats, true; });
    const auto cancelled = loop.startOneShotTimer(1ms, [&] { ++shots; });
    loop.cancelTimer(cancelled);
    loop.cancelTimer(repeating);
    QTest::qWait(30);
    EXPECT_EQ(repeats, 0);
    EXPECT_EQ(shots, 0);

    platform::MainLoop::TimerId fired = 0;
    fired = loop.startOneShotTimer(0ms, [&] {
        ++shots;
        loop.cancelTimer(fired);  // cancelling itself while firing is harmless
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return shots == 1; }, 2000));
    loop.cancelTimer(fired);
    loop.cancelTimer(0);
    loop.cancelTimer(12345);
    QTest::qWait(20);
    EXPECT_EQ(shots, 1);
}

TEST(QtMainLoop, OneShotTimerWaitsForItsDelay) {
    QtMainLoop loop;
    bool fired = false;
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    loop.startOneShotTimer(40ms, [&] {
        fired = true;
        waited = std::chrono::steady_clock::now() - started;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired; }, 2000));
    EXPECT_GE(waited, 35ms);
}

TEST(QtBackgroundRunner, JobsRunOffTheMainThreadAndDestructionWaitsForThem) {
    std::atomic<int> done = 0;
    std::atomic<bool> anyOnMain = false;
    {
        QtBackgroundRunner runner;
        for (int i = 0; i < 4; ++i) {
            runner.run([&] {
                if (onMainThread()) anyOnMain = true;
                std::this_thread::sleep_for(10ms);
                ++done;
            });
        }
    }
    EXPECT_EQ(done.load(), 4);
    EXPECT_FALSE(anyOnMain.load());
}

TEST(QtBackgroundRunner, AJobReportsBackThroughTheMainLoop) {
    QtMainLoop loop;
    QtBackgroundRunner runner;
    bool reportedOnMain = false;
    bool reported = false;
    runner.run([&] {
        const int answer = 6 * 7;
        loop.post([&, answer] {
            reported = answer == 42;
            reportedOnMain = onMainThread();
        });
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reported; }, 2000));
    EXPECT_TRUE(reportedOnMain);
}

TEST(QtFilePanels, AudioRequestsOfferAudioFilesAndSavesKeepTheRequestedExtension) {
    const QString audio = QtFilePanels::openFilter("audio");
    for (const char* pattern : {"*.wav", "*.aiff", "*.flac", "*.mp3", "*.m4a"}) {
        EXPECT_TRUE(audio.contains(QLatin1String(pattern))) << pattern;
    }
    EXPECT_EQ(QtFilePanels::saveFilter("mid"), QStringLiteral("MID (*.mid)"));
    EXPECT_EQ(QtFilePanels::withExtension(QStringLiteral("/tmp/Song_TempoMap"), "mid"),
              std::filesystem::path("/tmp/Song_TempoMap.mid"));
    EXPECT_EQ(QtFilePanels::withExtension(QStringLiteral("/tmp/Song.MID"), "mid"), std::filesystem::path("/tmp/Song.MID"));
    EXPECT_EQ(QtFilePanels::withExtension(QStringLiteral("/tmp/Song.mid.txt"), "mid"),
              std::filesystem::path("/tmp/Song.mid.txt.mid"));
}

class QtFilePanelsFolders : public corvel::testing::TempFolderTest {};

TEST_F(QtFilePanelsFolders, DialogsStartInTheRequestsFolderElseInTheHomeFolderNeverInTheWorkingOne) {
    const corvel::testing::ScopedUserFolders userFolders(root);
    const auto songs = root / "songs";
    std::filesystem::create_directories(songs);
    const auto folderOf = [](const QFileDialog& dialog) {
        return std::filesystem::path(QDir::cleanPath(dialog.directory().absolutePath()).toStdU16String());
    };

    QFileDialog open;
    QtFilePanels::prepareOpenDialog(open, {"audio", songs});
    EXPECT_EQ(folderOf(open), songs);
    QFileDialog openAtHome;
    QtFilePanels::prepareOpenDialog(openAtHome, {"audio", {}});
    EXPECT_EQ(folderOf(openAtHome), root / "home");

    platform::SaveFileRequest request;
    request.title = "Export Tempo MIDI";
    request.proposedFileName = "Song_TempoMap.mid";
    request.allowedExtension = "mid";
    request.folder = songs;
    QFileDialog save;
    QtFilePanels::prepareSaveDialog(save, request);
    EXPECT_EQ(folderOf(save), songs);
    EXPECT_EQ(save.windowTitle(), QStringLiteral("Export Tempo MIDI"));
    request.folder.clear();
    QFileDialog saveAtHome;
    QtFilePanels::prepareSaveDialog(saveAtHome, request);
    EXPECT_EQ(folderOf(saveAtHome), root / "home");
}

}  // namespace
}  // namespace corvel::app
