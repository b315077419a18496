#include "app/orvanta_voduve_corvel_app.hpp"

#include <QApplication>
#include <QFile>
#include <QStyleFactory>
#include <QToolTip>
#include <QVBoxLayout>

#include "common/app_version.hpp"
#include "theme/main_thread.hpp"
#include "theme/orvanta_brand.hpp"
#include "theme/orvanta_theme.hpp"
#include "app/root_view.hpp"

namespace corvel::app {

int OrvantaVoduveCorvelApp::main(int argc, char** argv) {
    QApplication application(argc, argv);
    setUpApplication();

    const std::unique_ptr<AppModel> appModel = makeAppModel();
    const std::unique_ptr<QWidget> window = makeWindow(*appModel);
    window->show();
    // The desktop entry passes the file the user opened the program with.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 1) appModel->openAudioFile(QFile::encodeName(arguments.at(1)).toStdString());
    return QApplication::exec();
}

void OrvantaVoduveCorvelApp::setUpApplication() {
    // On X11 the application's name is the class of its windows.
    const QString entry = QString::fromLatin1(kDesktopEntryName);
    QApplication::setApplicationName(entry);
    QGuiApplication::setDesktopFileName(entry);
    QApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    QApplication::setWindowIcon(theme::OrvantaMarkBadge::applicationIcon());
    // The dark scheme for everything Qt's own style draws (scroll bars, selections); tool tips
    // keep a palette of their own, which the platform would fill with its light colours.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(style);
    QApplication::setPalette(theme::OrvantaTheme::darkPalette());
    QToolTip::setPalette(theme::OrvantaTheme::darkPalette());
}

std::unique_ptr<AppModel> OrvantaVoduveCorvelApp::makeAppModel() {
    theme::requireMainThread();
    // The setup section, then the tempo editor's session (its preview player stopped, its
    // edit history empty) and the editor's view state; nothing starts until the user acts.
    return std::make_unique<AppModel>();
}

std::unique_ptr<QWidget> OrvantaVoduveCorvelApp::rootContent(AppModel& model) {
    theme::requireMainThread();
    auto root = std::make_unique<RootView>(model);
    root->setMinimumSize(minimumContentSize);
    return root;
}

std::unique_ptr<QWidget> OrvantaVoduveCorvelApp::makeWindow(AppModel& model) {
    theme::requireMainThread();
    auto window = std::make_unique<QWidget>();
    window->setObjectName(QStringLiteral("mainWindow"));
    window->setWindowTitle(windowTitle());
    window->setPalette(theme::OrvantaTheme::darkPalette());
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    // The layout holds the window at no less than the content's minimum.
    layout->addWidget(rootContent(model).release());
    window->resize(defaultWindowSize);
    return window;
}

}  // namespace corvel::app
