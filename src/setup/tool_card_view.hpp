#pragma once

#include <QColor>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "voduvetools/tool_install_view_model.hpp"
#include "setup/shortcut_recorder.hpp"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QVBoxLayout;

namespace corvel::setup {

using voduvetools::ShortcutConflict;
using voduvetools::ToolInstallViewModel;
using voduvetools::VoduveShortcut;

class CapsuleBadge;
using theme::SymbolImage;

inline constexpr const char* kShortcutInUseTitle = "Shortcut already in use";
inline constexpr const char* kUseFreeShortcutTitle = "USE FREE SHORTCUT";
inline constexpr const char* kReplaceAssignmentTitle = "Replace existing assignment";

// One VODUVE tool on the setup screen: its choice, install status and shortcut, and the
// other actions that already hold that shortcut with the two ways out. The card keeps no
// state: it shows its row of the view model and writes the row back through its binding.
class ToolCardView : public theme::OrvantaPanel {
public:
    using State = ToolInstallViewModel::State;

    // The card's row, read and edited in place.
    struct Binding {
        std::function<State()> get;
        std::function<void(const std::function<void(State&)>&)> edit;
    };

    ToolCardView(Binding tool, std::function<void(std::optional<VoduveShortcut>)> onShortcutChanged,
                 std::function<void()> onSuggestFreeShortcut, QWidget* parent = nullptr);

    // Shows the row as it is now; the creator calls it whenever the row may have changed.
    void rebuild();

    // The badge's colour for a status text, by exact comparison.
    static QColor statusColor(const std::string& statusText);
    // "Ctrl+Shift+R is assigned to: <description>", or "Shortcut is assigned to: ..." without a shortcut.
    static QString conflictLine(const std::optional<VoduveShortcut>& shortcut, const ShortcutConflict& conflict);
    // "Ctrl+Shift+R is also chosen for <tool>. Choose another shortcut for one of them."
    static QString sharedShortcutLine(const VoduveShortcut& shortcut, const std::string& otherTool);

    SymbolImage* icon() const { return icon_; }
    QCheckBox* enableCheckbox() const { return enable_; }
    QLabel* nameLabel() const { return name_; }
    QLabel* summaryLabel() const { return summary_; }
    CapsuleBadge* statusBadge() const { return status_; }
    QWidget* divider() const { return divider_; }
    QWidget* shortcutRow() const { return shortcutRow_; }
    ShortcutRecorder::RecorderView* recorder() const { return recorder_; }
    QWidget* conflictBox() const { return conflictBox_; }
    std::vector<QLabel*> conflictLines() const { return conflictLines_; }
    QAbstractButton* freeShortcutButton() const { return freeShortcut_; }
    QCheckBox* replaceCheckbox() const { return replace_; }
    // Why an installed file of the tool could not be read; hidden when every file could.
    QLabel* problemLabel() const { return problem_; }

private:
    ShortcutRecorder::Binding shortcutBinding();
    void edit(const std::function<void(State&)>& change);

    Binding tool_;
    std::function<void(std::optional<VoduveShortcut>)> onShortcutChanged_;
    std::function<void()> onSuggestFreeShortcut_;

    SymbolImage* icon_ = nullptr;
    QCheckBox* enable_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* summary_ = nullptr;
    CapsuleBadge* status_ = nullptr;
    QWidget* divider_ = nullptr;
    QWidget* shortcutRow_ = nullptr;
    ShortcutRecorder::RecorderView* recorder_ = nullptr;
    QWidget* conflictBox_ = nullptr;
    QVBoxLayout* conflictLineStack_ = nullptr;
    std::vector<QLabel*> conflictLines_;
    QAbstractButton* freeShortcut_ = nullptr;
    QCheckBox* replace_ = nullptr;
    QLabel* replaceNote_ = nullptr;
    QLabel* problem_ = nullptr;
};

}  // namespace corvel::setup
