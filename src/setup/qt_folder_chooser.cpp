#include "setup/qt_folder_chooser.hpp"

#include <QApplication>
#include <QFile>
#include <QFileDialog>

namespace corvel::setup {

std::optional<std::filesystem::path> QtFolderChooser::chooseFolder(const platform::FolderChoiceRequest& request) {
    QWidget* parent = parent_ != nullptr ? parent_.data() : QApplication::activeWindow();
    QFileDialog dialog(parent, QString::fromStdString(request.message),
                       QFile::decodeName(request.startFolder.c_str()));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    // The file system's own bytes for the name, whatever the locale's encoding.
    return std::filesystem::path(QFile::encodeName(chosen.front()).toStdString());
}

}  // namespace corvel::setup
