#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvel::platform {

// What the folder panel shows: its message and the folder it opens at.
struct FolderChoiceRequest {
    std::string message;
    std::filesystem::path startFolder;

    friend bool operator==(const FolderChoiceRequest&, const FolderChoiceRequest&) = default;
};

// A modal panel in which the user picks exactly one existing folder (never files). The
// application shows its own dialog; tests answer with a prepared choice.
class FolderChooser {
public:
    virtual ~FolderChooser() = default;

    // Blocks until the user confirms or cancels; the chosen folder, or nothing when cancelled.
    virtual std::optional<std::filesystem::path> chooseFolder(const FolderChoiceRequest& request) = 0;
};

}  // namespace corvel::platform
