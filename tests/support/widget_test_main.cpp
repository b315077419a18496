#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

// Fontconfig keeps some of what its font fallback allocates until the process ends, and which
// test first needs a fallback font decides where the leak checker reports it. Read by the
// leak checker of sanitizer builds only.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

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
