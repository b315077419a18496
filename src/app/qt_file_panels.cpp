#include "app/qt_file_panels.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

#include "theme/main_thread.hpp"

namespace corvel::app {
namespace {

QString fromView(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

std::filesystem::path toPath(const QString& file) { return std::filesystem::path(file.toStdU16String()); }

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

std::optional<std::filesystem::path> QtFilePanels::chooseFileToOpen(const platform::OpenFileRequest& request) {
    requireMainThread();
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(openFilter(request.contentType));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return toPath(dialog.selectedFiles().front());
}

std::optional<std::filesystem::path> QtFilePanels::chooseFileToSave(const platform::SaveFileRequest& request) {
    requireMainThread();
    QFileDialog dialog(QApplication::activeWindow(), fromView(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setLabelText(QFileDialog::Accept, fromView(request.prompt));
    dialog.setNameFilter(saveFilter(request.allowedExtension));
    dialog.setDefaultSuffix(fromView(request.allowedExtension));
    dialog.selectFile(fromView(request.proposedFileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return withExtension(dialog.selectedFiles().front(), request.allowedExtension);
}

}  // namespace corvel::app
