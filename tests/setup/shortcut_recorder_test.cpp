#include "setup/shortcut_recorder.hpp"

#include <QTest>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace corvel::setup {
namespace {

using Modifier = VoduveShortcut::Modifier;
using RecorderView = ShortcutRecorder::RecorderView;

VoduveShortcut shortcutOf(const char* letter, VoduveShortcut::ModifierSet modifiers) {
    return *VoduveShortcut::fromLetter(letter, std::move(modifiers));
}

// A recorder bound to a value of its own, counting beeps.
class ShortcutRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        view.reset(ShortcutRecorder::makeView(binding()));
        view->beep = [this] { ++beeps; };
        view->resize(view->sizeHint());
        view->show();
    }

    ShortcutRecorder::Binding binding() {
        return {[this] { return bound; },
                [this](std::optional<VoduveShortcut> value) {
                    bound = value;
                    writes.push_back(value);
                }};
    }

    void startRecording() { QTest::mouseClick(view.get(), Qt::LeftButton); }
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(view.get(), key, modifiers);
    }

    std::optional<VoduveShortcut> bound = shortcutOf("V", {Modifier::shift, Modifier::command});
    std::vector<std::optional<VoduveShortcut>> writes;
    int beeps = 0;
    std::unique_ptr<RecorderView> view;
};

TEST_F(ShortcutRecorderTest, ShowsTheBoundShortcutAndRecordsAfterAClick) {
    EXPECT_EQ(view->displayedText(), QStringLiteral("Ctrl+Shift+V"));
    EXPECT_FALSE(view->isRecording());
    EXPECT_EQ(view->sizeHint(), QSize(150, 30));
    EXPECT_EQ(view->focusPolicy() & Qt::ClickFocus, Qt::ClickFocus);

    startRecording();
    EXPECT_TRUE(view->isRecording());
    EXPECT_EQ(view->displayedText(), QStringLiteral("Press shortcut…"));

    press(Qt::Key_R, Qt::ShiftModifier | Qt::ControlModifier);
    const auto expected = shortcutOf("R", {Modifier::shift, Modifier::command});
    EXPECT_EQ(expected.keyCode, 82);
    EXPECT_EQ(bound, expected);
    EXPECT_EQ(writes, (std::vector<std::optional<VoduveShortcut>>{expected}));
    EXPECT_EQ(view->shortcut(), expected);
    EXPECT_FALSE(view->isRecording());
    EXPECT_EQ(view->displayedText(), QStringLiteral("Ctrl+Shift+R"));
    EXPECT_EQ(beeps, 0);  // the Shift and Ctrl presses before the letter are no key presses of their own
}

TEST_F(ShortcutRecorderTest, EachQtModifierBecomesItsVoduveModifier) {
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        VoduveShortcut expected;
        const char* shown;
    };
    const Case cases[] = {
        {Qt::Key_A, Qt::ControlModifier, shortcutOf("A", {Modifier::command}), "Ctrl+A"},
        {Qt::Key_B, Qt::AltModifier, shortcutOf("B", {Modifier::option}), "Alt+B"},
        {Qt::Key_C, Qt::MetaModifier, shortcutOf("C", {Modifier::control}), "Meta+C"},
        {Qt::Key_Z, Qt::ShiftModifier, shortcutOf("Z", {Modifier::shift}), "Shift+Z"},
        {Qt::Key_M, Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
         shortcutOf("M", {Modifier::shift, Modifier::command, Modifier::option, Modifier::control}), "Ctrl+Alt+Shift+Meta+M"},
        // The keypad flag is no modifier of the keymap's and is left out.
        {Qt::Key_K, Qt::ControlModifier | Qt::KeypadModifier, shortcutOf("K", {Modifier::command}), "Ctrl+K"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        startRecording();
        press(c.key, c.modifiers);
        EXPECT_EQ(bound, c.expected);
        EXPECT_EQ(view->displayedText(), QString::fromUtf8(c.shown));
        EXPECT_FALSE(view->isRecording());
    }
    EXPECT_EQ(beeps, 0);
}

TEST_F(ShortcutRecorderTest, RefusedKeysBeepAndKeepRecording) {
    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const Case cases[] = {
        {"letter without modifier", Qt::Key_R, Qt::NoModifier},
        {"letter with keypad flag only", Qt::Key_R, Qt::KeypadModifier},
        {"digit", Qt::Key_1, Qt::ControlModifier | Qt::ShiftModifier},
        {"function key", Qt::Key_F5, Qt::ControlModifier},
        {"arrow key", Qt::Key_Left, Qt::ControlModifier},
        {"return", Qt::Key_Return, Qt::ControlModifier},
        {"tab", Qt::Key_Tab, Qt::ControlModifier},
        {"space", Qt::Key_Space, Qt::ControlModifier},
        {"letter beyond A to Z", Qt::Key_Adiaeresis, Qt::ControlModifier},
    };
    startRecording();
    int expectedBeeps = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        press(c.key, c.modifiers);
        EXPECT_EQ(beeps, ++expectedBeeps);
        EXPECT_TRUE(view->isRecording());
        EXPECT_EQ(view->displayedText(), QStringLiteral("Press shortcut…"));
    }
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(bound, shortcutOf("V", {Modifier::shift, Modifier::command}));
}

TEST_F(ShortcutRecorderTest, EscapeCancelsAndDeleteClears) {
    startRecording();
    press(Qt::Key_Escape);
    EXPECT_FALSE(view->isRecording());
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(view->displayedText(), QStringLiteral("Ctrl+Shift+V"));

    for (Qt::Key key : {Qt::Key_Backspace, Qt::Key_Delete}) {
        bound = shortcutOf("V", {Modifier::shift, Modifier::command});
        ShortcutRecorder::updateView(*view, binding());
        writes.clear();
        startRecording();
        press(key);
        EXPECT_FALSE(view->isRecording());
        EXPECT_EQ(bound, std::nullopt);
        EXPECT_EQ(writes, (std::vector<std::optional<VoduveShortcut>>{std::nullopt}));
        EXPECT_EQ(view->displayedText(), QStringLiteral("No Shortcut"));
    }
    EXPECT_EQ(beeps, 0);
}

TEST_F(ShortcutRecorderTest, KeysWhileIdleDoNothingAndGoOnToTheParent) {
    for (Qt::Key key : {Qt::Key_R, Qt::Key_Delete, Qt::Key_Escape}) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::ControlModifier | Qt::ShiftModifier);
        QCoreApplication::sendEvent(view.get(), &event);
        EXPECT_FALSE(event.isAccepted());
    }
    EXPECT_FALSE(view->isRecording());
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(beeps, 0);
    EXPECT_EQ(view->shortcut(), bound);
}

TEST_F(ShortcutRecorderTest, AnUpdateFromTheBindingLeavesARecordingRunning) {
    startRecording();
    bound = std::nullopt;
    ShortcutRecorder::updateView(*view, binding());
    EXPECT_TRUE(view->isRecording());
    EXPECT_EQ(view->shortcut(), std::nullopt);
    press(Qt::Key_Escape);
    EXPECT_EQ(view->displayedText(), QStringLiteral("No Shortcut"));
}

}  // namespace
}  // namespace corvel::setup
