#include "core/edit_history.hpp"

#include <cstddef>
#include <utility>

namespace corvel {

BeatloomEditHistory::BeatloomEditHistory(std::int64_t capacity) : capacity_(capacity < 0 ? 0 : capacity) {}

void BeatloomEditHistory::record(std::string actionName, BeatloomEditorState before, BeatloomEditorState after) {
    if (before == after) return;
    undoEntries_.push_back(Entry{std::move(actionName), std::move(before), std::move(after)});
    const auto limit = static_cast<std::size_t>(capacity_);
    if (undoEntries_.size() > limit) {
        const auto excess = static_cast<std::ptrdiff_t>(undoEntries_.size() - limit);
        undoEntries_.erase(undoEntries_.begin(), undoEntries_.begin() + excess);
    }
    redoEntries_.clear();
}

std::optional<BeatloomEditHistory::Entry> BeatloomEditHistory::undo() {
    if (undoEntries_.empty()) return std::nullopt;
    redoEntries_.push_back(std::move(undoEntries_.back()));
    undoEntries_.pop_back();
    return redoEntries_.back();
}

std::optional<BeatloomEditHistory::Entry> BeatloomEditHistory::redo() {
    if (redoEntries_.empty()) return std::nullopt;
    undoEntries_.push_back(std::move(redoEntries_.back()));
    redoEntries_.pop_back();
    return undoEntries_.back();
}

void BeatloomEditHistory::clear() {
    undoEntries_.clear();
    redoEntries_.clear();
}

}  // namespace corvel
