#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

// The widget tests need one application object for the whole run. They draw on the offscreen
// platform unless the caller asks for another, and use one pinned font so that text widths
// do not follow the machine's font settings.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    return RUN_ALL_TESTS();
}
