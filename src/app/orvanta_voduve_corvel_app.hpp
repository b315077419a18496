#pragma once

#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>

#include "app/app_model.hpp"

namespace corvel::app {

// The program: one application model for the whole run and one themed window whose
// content is the root view.
class OrvantaVoduveCorvelApp {
public:
    static constexpr QSize defaultWindowSize{1420, 920};
    static constexpr QSize minimumContentSize{1080, 720};
    static QString windowTitle() { return QStringLiteral("Orvanta VODUVE Corvel"); }

    // Runs the application until its window closes; 0 on a normal end.
    static int main(int argc, char** argv);

    // What the running application tells the desktop and Qt's own widgets, once its application
    // object exists: its name and desktop entry (the window class the entry's StartupWMClass
    // names), version, window icon, and the dark look, tool tips included.
    static void setUpApplication();

    // The setup section selected, with the tempo editor's one session and view state.
    static std::unique_ptr<AppModel> makeAppModel();

    // The root view with the model, at least 1080 x 720.
    static std::unique_ptr<QWidget> rootContent(AppModel& model);

    // The window: titled, 1420 x 920 by default, never smaller than its content's minimum,
    // in the dark colour scheme.
    static std::unique_ptr<QWidget> makeWindow(AppModel& model);
};

}  // namespace corvel::app
