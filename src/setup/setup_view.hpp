#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "theme/symbol_set.hpp"
#include "common/observable.hpp"
#include "platform/folder_chooser.hpp"
#include "voduvetools/tool_install_view_model.hpp"

class QAbstractButton;
class QLabel;

namespace corvel::theme {
class OrvantaButton;
}

namespace corvel::setup {

using voduvetools::ToolInstallViewModel;

using theme::SymbolImage;
class ToolCardView;

inline constexpr const char* kVoduveDetectedTitle = "VODUVE detected";
inline constexpr const char* kVoduveNotDetectedTitle = "VODUVE resource folder not detected";
inline constexpr const char* kVoduveRunningWarning =
    "VODUVE is running. Quit VODUVE before installing scripts or changing shortcuts.";
inline constexpr const char* kOpenBeatloomTitle = "OPEN BEATLOOM";
inline constexpr const char* kChooseFolderTitle = "CHOOSE FOLDER…";
inline constexpr const char* kInstallTitle = "INSTALL SELECTED VODUVE TOOLS";
inline constexpr const char* kInstallingTitle = "INSTALLING…";

// The setup section's screen: the three tools, the standalone Beatloom with the button that
// opens it, the VODUVE resource folder with its detection and the running warning, one card
// per VODUVE tool, the install button and the message area. It owns its tool install view
// model, created with the screen, and shows it again after every change the model publishes.
class SetupView : public QWidget {
public:
    // The application's screen: the user's folders, the application's folder panel and the
    // system's process list. `openBeatloom` switches the window to the tempo editor.
    explicit SetupView(std::function<void()> openBeatloom, QWidget* parent = nullptr);
    // With the caller's folder chooser (which must outlive the screen) and model seams; the
    // seams' VODUVE-running check also drives the screen's warning.
    SetupView(std::function<void()> openBeatloom, platform::FolderChooser& folderChooser,
              ToolInstallViewModel::Seams seams, QWidget* parent = nullptr);
    ~SetupView() override;

    ToolInstallViewModel& model() const { return *model_; }

    // Shows the model as it is now; the folder and VODUVE-running tests run again.
    void rebuild();

    // Whether the install button is off: no resource folder, VODUVE running, an install under
    // way, or an enabled tool whose shortcut conflicts and may not replace the other action,
    // or that shares its shortcut with another enabled tool.
    static bool installDisabled(bool detected, bool running, bool installing,
                                const std::vector<ToolInstallViewModel::State>& tools);

    theme::OrvantaButton* openBeatloomButton() const { return openBeatloom_; }
    SymbolImage* folderSymbol() const { return folderSymbol_; }
    QLabel* folderTitle() const { return folderTitle_; }
    QLabel* folderPath() const { return folderPath_; }
    QLabel* runningWarning() const { return runningWarning_; }
    // Why voduve-kb.ini could not be read; hidden when it could.
    QLabel* keymapProblemLabel() const { return keymapProblem_; }
    theme::OrvantaButton* chooseFolderButton() const { return chooseFolder_; }
    const std::vector<ToolCardView*>& cards() const { return cards_; }
    theme::OrvantaButton* installButton() const { return install_; }
    QWidget* messageArea() const { return messageArea_; }
    QLabel* messageLabel() const { return message_; }

protected:
    // Return and Enter press the install button when it is enabled.
    void keyPressEvent(QKeyEvent* event) override;

private:
    SetupView(std::function<void()> openBeatloom, std::unique_ptr<platform::FolderChooser> ownChooser,
              platform::FolderChooser* folderChooser, ToolInstallViewModel::Seams seams, QWidget* parent);
    static std::unique_ptr<ToolInstallViewModel> makeModel(platform::FolderChooser& folderChooser,
                                                           ToolInstallViewModel::Seams seams);
    void build();
    QWidget* buildHeader();
    QWidget* buildStandaloneBlock();
    QWidget* buildVoduveBlock();

    std::function<void()> openBeatloomAction_;
    std::unique_ptr<platform::FolderChooser> ownChooser_;
    std::function<bool()> voduveRunning_;
    std::unique_ptr<ToolInstallViewModel> model_;
    std::vector<Subscription> subscriptions_;

    QWidget* scroll_ = nullptr;
    theme::OrvantaButton* openBeatloom_ = nullptr;
    SymbolImage* folderSymbol_ = nullptr;
    QLabel* folderTitle_ = nullptr;
    QLabel* folderPath_ = nullptr;
    QLabel* runningWarning_ = nullptr;
    QLabel* keymapProblem_ = nullptr;
    theme::OrvantaButton* chooseFolder_ = nullptr;
    std::vector<ToolCardView*> cards_;
    theme::OrvantaButton* install_ = nullptr;
    QWidget* messageArea_ = nullptr;
    QLabel* message_ = nullptr;
};

}  // namespace corvel::setup
