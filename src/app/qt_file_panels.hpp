#pragma once

#include <QString>
#include <QWidget>

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/file_panels.hpp"

class QFileDialog;

namespace corvel::app {

// The open and save panels as Qt's file dialogs, modal over the active window.
class QtFilePanels final : public platform::FilePanels {
public:
    std::optional<std::filesystem::path> chooseFileToOpen(const platform::OpenFileRequest& request) override;
    std::optional<std::filesystem::path> chooseFileToSave(const platform::SaveFileRequest& request) override;

    // The dialog's name filter for a content type: the audio formats the reader opens for
    // "audio", every file for any other type.
    static QString openFilter(std::string_view contentType);
    // The filter that lets only files with the extension through ("mid" -> "*.mid").
    static QString saveFilter(std::string_view extension);
    // The chosen name with the extension added when the user left it off.
    static std::filesystem::path withExtension(const QString& chosen, std::string_view extension);

    // The dialogs as the requests describe them, each in the request's folder, or in the user's
    // home folder when the request names none (never in the program's working directory).
    static void prepareOpenDialog(QFileDialog& dialog, const platform::OpenFileRequest& request);
    static void prepareSaveDialog(QFileDialog& dialog, const platform::SaveFileRequest& request);
};

}  // namespace corvel::app
