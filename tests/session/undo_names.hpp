#pragma once

#include <string>
#include <vector>

#include "session/beatloom_view_model.hpp"

namespace corvel::session::testing {

// The action names of the steps that undo would take back, oldest first.
inline std::vector<std::string> undoNames(const BeatloomViewModel& model) {
    std::vector<std::string> names;
    for (const auto& entry : model.editHistory().undoEntries()) names.push_back(entry.actionName);
    return names;
}

}  // namespace corvel::session::testing
