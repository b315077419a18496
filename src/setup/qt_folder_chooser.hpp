#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/folder_chooser.hpp"

namespace corvel::setup {

// The folder panel as the application shows it: a modal file dialog that picks one existing
// folder, titled with the request's message and opened at its start folder.
class QtFolderChooser final : public platform::FolderChooser {
public:
    // The panel is modal to `parent`'s window, or without a parent to the active window.
    explicit QtFolderChooser(QWidget* parent = nullptr) : parent_(parent) {}

    std::optional<std::filesystem::path> chooseFolder(const platform::FolderChoiceRequest& request) override;

private:
    QPointer<QWidget> parent_;
};

}  // namespace corvel::setup
