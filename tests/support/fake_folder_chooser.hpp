#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/folder_chooser.hpp"

namespace corvel::testing {

// Answers every request with the prepared choice (nothing: the user cancels) and keeps the
// requests it was shown.
class FakeFolderChooser final : public platform::FolderChooser {
public:
    std::optional<std::filesystem::path> chooseFolder(const platform::FolderChoiceRequest& request) override {
        requests.push_back(request);
        return answer;
    }

    std::optional<std::filesystem::path> answer;
    std::vector<platform::FolderChoiceRequest> requests;
};

}  // namespace corvel::testing
