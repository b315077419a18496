#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "voduvetools/voduve_shortcut.hpp"

class QKeyEvent;

namespace corvel::setup {

using voduvetools::VoduveShortcut;

// Modifier flags of a key press, as the keymap's own platform numbers them.
inline constexpr std::uint64_t kShiftKeyFlag = 0x20000;
inline constexpr std::uint64_t kControlKeyFlag = 0x40000;
inline constexpr std::uint64_t kOptionKeyFlag = 0x80000;
inline constexpr std::uint64_t kCommandKeyFlag = 0x100000;

// Hardware key codes of the keys the recorder treats specially.
inline constexpr int kEscapeKeyCode = 53;
inline constexpr int kDeleteKeyCode = 51;
inline constexpr int kForwardDeleteKeyCode = 117;
// Any other key: the recorder only looks at its characters.
inline constexpr int kOtherKeyCode = -1;

inline constexpr const char* kNoShortcutText = "No Shortcut";
inline constexpr const char* kPressShortcutText = "Press shortcut…";

// One key press as the recorder reads it.
struct RecorderKeyPress {
    int keyCode = kOtherKeyCode;
    std::string characters;  // UTF-8, ignoring the modifiers held
    std::uint64_t modifierFlags = 0;
};

// A Qt key press in the recorder's terms: Ctrl is command, Alt is option, Meta is control.
// Nothing for a press of a modifier key alone, which is no key press of its own to the
// recorder (only the key it modifies is).
std::optional<RecorderKeyPress> recorderKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, const QString& text);
std::optional<RecorderKeyPress> recorderKeyPress(const QKeyEvent& event);

// The field on a tool card in which the user records a tool's shortcut. A click starts
// recording; the next key press records a letter held with modifiers, clears the shortcut
// (Delete, Forward Delete), cancels (Escape), or is refused with a beep.
struct ShortcutRecorder {
    // Reads and writes the optional shortcut that the field shows.
    struct Binding {
        std::function<std::optional<VoduveShortcut>()> get;
        std::function<void(std::optional<VoduveShortcut>)> set;
    };

    class RecorderView : public QWidget {
    public:
        explicit RecorderView(QWidget* parent = nullptr);

        // Called with the new value whenever recording sets or clears the shortcut.
        std::function<void(std::optional<VoduveShortcut>)> onShortcut;
        // The refusal sound; the application's beep unless a test listens instead.
        std::function<void()> beep;

        const std::optional<VoduveShortcut>& shortcut() const { return shortcut_; }
        void setShortcut(std::optional<VoduveShortcut> shortcut);
        bool isRecording() const { return isRecording_; }

        // The text the field shows.
        QString displayedText() const;

        void startRecording();
        void keyDown(const RecorderKeyPress& press);

        QSize sizeHint() const override { return {150, 30}; }

    protected:
        bool event(QEvent* event) override;
        void mousePressEvent(QMouseEvent* event) override;
        void keyPressEvent(QKeyEvent* event) override;
        void paintEvent(QPaintEvent* event) override;

    private:
        void stopRecording();

        std::optional<VoduveShortcut> shortcut_;
        bool isRecording_ = false;
    };

    // The field, writing what it records into the binding and showing the binding's value.
    static RecorderView* makeView(const Binding& shortcut, QWidget* parent = nullptr);
    // After the binding's value changed elsewhere; leaves a recording running.
    static void updateView(RecorderView& view, const Binding& shortcut);
};

}  // namespace corvel::setup
