#include "app/qt_file_panels.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

#include "platform/paths.hpp"
#include "theme/main_thread.hpp"

namespace corvel::app {
namespace {

QString fromView(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

std::filesystem::path toPath(const QString& file) { return std::filesystem::path(file.toStdU16String()); }

QString startFolder(const std::filesystem::path& folder) {
    const std::filesystem::path start = folder.empty() ? platform::UserFolders().home() : folder;
    return QString::fromStdU16String(start.u16string());
}

}  // namespace

QString QtFilePanels::openFilter(std::string_view contentType) {
    if (contentType == "audio") {
        return QStringLiteral(
            "Audio (*.wav *.wave *.aif *.aiff *.aifc *.flac *.ogg *.oga *.opus *.mp3 *.m4a *.aac *.caf *.mp4 *.mov)");
    }
    return QStringLiteral("All files (*)");
}

QString QtFilePanels::saveFilter(std::string_view extension) {
    const QString suffix = fromView(extension);
    return suffix.toUpper() + QStringLiteral(" (*.") + suffix + QStringLiteral(")");
}

std::filesystem::path QtFilePanels::withExtension(const QString& chosen, std::string_view extension) {
    const QString suffix = fromView(extension);
    if (suffix.isEmpty() || QFileInfo(chosen).suffix().compare(suffix, Qt::CaseInsensitive) == 0) {
        return toPath(chosen);
    }
    return toPath(chosen + QLatin1Char('.') + suffix);
}

void QtFilePanels::prepareOpenDialog(QFileDialog& dialog, const platform::OpenFileRequest& request) {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(openFilter(request.contentType));
    dialog.setDirectory(startFolder(request.folder));
}

void QtFilePanels::prepareSaveDialog(QFileDialog& dialog, const platform::SaveFileRequest& request) {
    dialog.setWindowTitle(fromView(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setLabelText(QFileDialog::Accept, fromView(request.prompt));
    dialog.setNameFilter(saveFilter(request.allowedExtension));
    dialog.setDefaultSuffix(fromView(request.allowedExtension));
    dialog.setDirectory(startFolder(request.folder));
    dialog.selectFile(fromView(request.proposedFileName));
}

std::optional<std::filesystem::path> QtFilePanels::chooseFileToOpen(const platform::OpenFileRequest& request) {
    theme::requireMainThread();
    QFileDialog dialog(QApplication::activeWindow());
    prepareOpenDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return toPath(dialog.selectedFiles().front());
}

std::optional<std::filesystem::path> QtFilePanels::chooseFileToSave(const platform::SaveFileRequest& request) {
    theme::requireMainThread();
    QFileDialog dialog(QApplication::activeWindow());
    prepareSaveDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return withExtension(dialog.selectedFiles().front(), request.allowedExtension);
}

}  // namespace corvel::app
