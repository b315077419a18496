#include "app/app_model.hpp"

#include "theme/main_thread.hpp"
#include "app/qt_background_runner.hpp"
#include "app/qt_file_panels.hpp"
#include "app/qt_main_loop.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::app {

AppModel::AppModel(QObject* parent)
    : AppModel([](platform::MainLoop& loop) { return std::make_unique<session::BeatloomViewModel>(loop); },
               std::make_unique<QtFilePanels>(), parent) {}

AppModel::AppModel(SessionFactory makeSession, std::unique_ptr<platform::FilePanels> filePanels, QObject* parent)
    : QObject(parent), mainLoop_(std::make_unique<QtMainLoop>()), filePanels_(std::move(filePanels)) {
    theme::requireMainThread();
    beatloomSession_ = makeSession(*mainLoop_);
    beatloomUIState_ = std::make_unique<editor::BeatloomEditorUIState>();
    // Range Select belongs to the song it was switched on for: a song that is opened (or a
    // cleared project) starts in the normal mode. Only then does the session forget its result.
    songForgotten_ = beatloomSession_->result.subscribe([ui = beatloomUIState_.get()](const auto& result) {
        if (!result) ui->rangeSelectionMode.set(false);
    });
    backgroundRunner_ = std::make_unique<QtBackgroundRunner>();
    beatloomSession_->connectServices(*backgroundRunner_, *filePanels_);
    stopBeatloomPreview = [session = beatloomSession_.get()] { session->stopPreview(false); };
}

AppModel::~AppModel() = default;

void AppModel::setSelectedSection(Section section) {
    theme::requireMainThread();
    if (section == selectedSection_) return;
    selectedSection_ = section;
    emit selectedSectionChanged(section);
}

void AppModel::openAudioFile(const std::filesystem::path& file) {
    setSelectedSection(Section::beatloom);
    beatloomSession_->loadAudio(file);
}

}  // namespace corvel::app
