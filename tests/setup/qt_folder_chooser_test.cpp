#include "setup/qt_folder_chooser.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QTimer>

#include <functional>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

namespace corvel::setup {
namespace {

namespace fs = std::filesystem;

class QtFolderChooserTest : public corvel::testing::TempFolderTest {
protected:
    // Runs the chooser while `answer` handles the panel once it is up.
    std::optional<fs::path> choose(const platform::FolderChoiceRequest& request,
                                   std::function<void(QFileDialog&)> answer) {
        QTimer::singleShot(0, [answer] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            answer(*dialog);
        });
        QtFolderChooser chooser;
        return chooser.chooseFolder(request);
    }
};

TEST_F(QtFolderChooserTest, PicksOneFolderFromTheStartFolderOrNothingWhenCancelled) {
    const fs::path start = root / "config";
    const fs::path chosen = start / "Mein VODUVE";
    fs::create_directories(chosen);
    const platform::FolderChoiceRequest request{"Choose the VODUVE resource folder", start};

    const auto picked = choose(request, [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Choose the VODUVE resource folder"));
        EXPECT_EQ(fs::path(dialog.directory().absolutePath().toStdString()), start);
        EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
        EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
        dialog.setDirectory(QString::fromStdString(chosen.string()));
        static_cast<QDialog&>(dialog).accept();  // as the panel's Choose button does
    });
    EXPECT_EQ(picked, chosen);

    EXPECT_EQ(choose(request, [](QFileDialog& dialog) { dialog.reject(); }), std::nullopt);
}

}  // namespace
}  // namespace corvel::setup
