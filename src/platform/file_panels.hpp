#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvel::platform {

// The open panel of an audio file: exactly one existing file (never a folder) whose content
// type conforms to the named one ("audio"). It starts in `folder`; an empty one leaves the
// start to the panel (the user's home folder).
struct OpenFileRequest {
    std::string contentType;
    std::filesystem::path folder;

    friend bool operator==(const OpenFileRequest&, const OpenFileRequest&) = default;
};

// The save panel: its title, the confirm button's text, the proposed file name, the folder it
// starts in (empty: the panel's choice, the user's home folder) and the one file-name extension
// it accepts (without the dot).
struct SaveFileRequest {
    std::string title;
    std::string prompt;
    std::string proposedFileName;
    std::filesystem::path folder;
    std::string allowedExtension;
    bool canCreateFolders = true;
    bool showsExtension = true;

    friend bool operator==(const SaveFileRequest&, const SaveFileRequest&) = default;
};

// Modal open and save panels. The application shows its own dialogs; tests answer with a
// prepared choice.
class FilePanels {
public:
    virtual ~FilePanels() = default;

    // Block until the user confirms or cancels; the chosen file, or nothing when cancelled.
    virtual std::optional<std::filesystem::path> chooseFileToOpen(const OpenFileRequest& request) = 0;
    virtual std::optional<std::filesystem::path> chooseFileToSave(const SaveFileRequest& request) = 0;
};

}  // namespace corvel::platform
