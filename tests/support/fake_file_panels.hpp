#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/file_panels.hpp"

namespace corvel::testing {

// Answers every request with the prepared choice (nothing: the user cancels) and keeps the
// requests it was shown.
class FakeFilePanels final : public platform::FilePanels {
public:
    std::optional<std::filesystem::path> chooseFileToOpen(const platform::OpenFileRequest& request) override {
        openRequests.push_back(request);
        return openAnswer;
    }
    std::optional<std::filesystem::path> chooseFileToSave(const platform::SaveFileRequest& request) override {
        saveRequests.push_back(request);
        return saveAnswer;
    }

    std::optional<std::filesystem::path> openAnswer;
    std::optional<std::filesystem::path> saveAnswer;
    std::vector<platform::OpenFileRequest> openRequests;
    std::vector<platform::SaveFileRequest> saveRequests;
};

}  // namespace corvel::testing
