#pragma once

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>

#include "common/observable.hpp"

namespace corvel::platform {
class BackgroundRunner;
class FilePanels;
class MainLoop;
}  // namespace corvel::platform
namespace corvel::session {
class BeatloomViewModel;
}
namespace corvel::editor {
class BeatloomEditorUIState;
}

namespace corvel::app {

// The one model the whole run shares: which section the window shows, and the long-lived
// objects of the tempo editor, so that a loaded song survives visits to other sections.
// Main thread only.
class AppModel : public QObject {
    Q_OBJECT

public:
    enum class Section { setup, beatloom, diagnostics };
    Q_ENUM(Section)

    // Makes the tempo editor's session on the model's main loop (a session that previews
    // through the sound card unless a test gives it another output).
    using SessionFactory = std::function<std::unique_ptr<session::BeatloomViewModel>(platform::MainLoop&)>;

    // The section, then the tempo editor's session with its services (Qt's main loop, a pool
    // of worker threads and Qt's file dialogs), then the editor's view state.
    explicit AppModel(QObject* parent = nullptr);
    AppModel(SessionFactory makeSession, std::unique_ptr<platform::FilePanels> filePanels,
             QObject* parent = nullptr);
    ~AppModel() override;

    Section selectedSection() const { return selectedSection_; }
    // Tells observers after a change; setting the section already selected changes nothing.
    void setSelectedSection(Section section);

    // Created once with the model and never replaced.
    session::BeatloomViewModel& beatloomSession() const { return *beatloomSession_; }
    editor::BeatloomEditorUIState& beatloomUIState() const { return *beatloomUIState_; }

    // A song handed to the program (a file manager's "Open With"): the tempo editor shows and
    // loads it as it would a dropped file.
    void openAudioFile(const std::filesystem::path& file);

    // Leaving the tempo editor asks for this: a running click preview stops and the locator
    // stays where playback had reached.
    std::function<void()> stopBeatloomPreview;

signals:
    void selectedSectionChanged(corvel::app::AppModel::Section section);

private:
    Section selectedSection_ = Section::setup;
    // Declared so that they go in the reverse order: the worker pool first, waiting for the
    // analyses still running, while the session and the main loop they report to are alive;
    // the main loop last, after the session's player has cancelled its timers on it.
    std::unique_ptr<platform::MainLoop> mainLoop_;
    std::unique_ptr<platform::FilePanels> filePanels_;
    std::unique_ptr<session::BeatloomViewModel> beatloomSession_;
    std::unique_ptr<editor::BeatloomEditorUIState> beatloomUIState_;
    // Ends before the session and the view state it joins.
    Subscription songForgotten_;
    std::unique_ptr<platform::BackgroundRunner> backgroundRunner_;
};

}  // namespace corvel::app
