#include "setup/shortcut_recorder.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "theme/main_thread.hpp"
#include "theme/orvanta_theme.hpp"

namespace corvel::setup {
namespace {

using theme::OrvantaTheme;

bool isModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch: return true;
    default: return false;
    }
}

// Qt's keys past the Unicode range name keys without a character of their own (arrows,
// function keys, Return).
constexpr int kFirstSpecialQtKey = 0x01000000;

QFont fieldFont() { return OrvantaTheme::font(13, QFont::DemiBold); }

}  // namespace

std::optional<RecorderKeyPress> recorderKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, const QString& text) {
    if (isModifierKey(qtKey)) return std::nullopt;
    RecorderKeyPress press;
    switch (qtKey) {
    case Qt::Key_Escape: press.keyCode = kEscapeKeyCode; break;
    case Qt::Key_Backspace: press.keyCode = kDeleteKeyCode; break;
    case Qt::Key_Delete: press.keyCode = kForwardDeleteKeyCode; break;
    default: break;
    }
    // The key's own character, not the one the modifiers make of it (Ctrl+R types a control
    // character, Shift+R an upper-case letter).
    if (qtKey > 0 && qtKey < kFirstSpecialQtKey) {
        const char32_t character = static_cast<char32_t>(qtKey);
        press.characters = QString::fromUcs4(&character, 1).toLower().toStdString();
    } else {
        press.characters = text.toStdString();
    }
    if (modifiers.testFlag(Qt::ShiftModifier)) press.modifierFlags |= kShiftKeyFlag;
    if (modifiers.testFlag(Qt::ControlModifier)) press.modifierFlags |= kCommandKeyFlag;
    if (modifiers.testFlag(Qt::AltModifier)) press.modifierFlags |= kOptionKeyFlag;
    if (modifiers.testFlag(Qt::MetaModifier)) press.modifierFlags |= kControlKeyFlag;
    return press;
}

std::optional<RecorderKeyPress> recorderKeyPress(const QKeyEvent& event) {
    return recorderKeyPress(event.key(), event.modifiers(), event.text());
}

// ---- The field

ShortcutRecorder::RecorderView::RecorderView(QWidget* parent) : QWidget(parent) {
    theme::requireMainThread();
    setFocusPolicy(Qt::ClickFocus);
    setCursor(Qt::PointingHandCursor);
    beep = [] { QApplication::beep(); };
}

void ShortcutRecorder::RecorderView::setShortcut(std::optional<VoduveShortcut> shortcut) {
    shortcut_ = std::move(shortcut);
    update();
}

QString ShortcutRecorder::RecorderView::displayedText() const {
    if (isRecording_) return QString::fromUtf8(kPressShortcutText);
    if (!shortcut_) return QString::fromUtf8(kNoShortcutText);
    return QString::fromStdString(shortcut_->displayText());
}

void ShortcutRecorder::RecorderView::startRecording() {
    isRecording_ = true;
    if (window() != nullptr) setFocus(Qt::MouseFocusReason);
    update();
}

void ShortcutRecorder::RecorderView::stopRecording() {
    isRecording_ = false;
    update();
}

void ShortcutRecorder::RecorderView::keyDown(const RecorderKeyPress& press) {
    if (!isRecording_) return;
    if (press.keyCode == kEscapeKeyCode) {
        stopRecording();
        return;
    }
    if (press.keyCode == kDeleteKeyCode || press.keyCode == kForwardDeleteKeyCode) {
        shortcut_.reset();
        if (onShortcut) onShortcut(std::nullopt);
        stopRecording();
        return;
    }
    const auto refuse = [this] {
        if (beep) beep();
    };
    const QString characters = QString::fromStdString(press.characters).toUpper();
    // One character, A to Z; anything longer or else (digits, arrows, function keys) is no key
    // VODUVE's keymap takes from here.
    if (characters.isEmpty() || characters.toUcs4().size() != 1) return refuse();
    const char32_t letter = characters.toUcs4().front();
    if (letter < U'A' || letter > U'Z') return refuse();

    VoduveShortcut::ModifierSet modifiers;
    if (press.modifierFlags & kShiftKeyFlag) modifiers.insert(VoduveShortcut::Modifier::shift);
    if (press.modifierFlags & kCommandKeyFlag) modifiers.insert(VoduveShortcut::Modifier::command);
    if (press.modifierFlags & kOptionKeyFlag) modifiers.insert(VoduveShortcut::Modifier::option);
    if (press.modifierFlags & kControlKeyFlag) modifiers.insert(VoduveShortcut::Modifier::control);
    if (modifiers.empty()) return refuse();

    shortcut_ = VoduveShortcut::fromLetter(std::string(1, static_cast<char>(letter)), std::move(modifiers));
    if (onShortcut) onShortcut(shortcut_);
    stopRecording();
}

bool ShortcutRecorder::RecorderView::event(QEvent* event) {
    if (isRecording_) {
        // While recording every key is the recorder's: no application shortcut takes it first
        // and Tab does not move the focus away.
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        if (event->type() == QEvent::KeyPress) {
            keyPressEvent(static_cast<QKeyEvent*>(event));
            return true;
        }
    }
    return QWidget::event(event);
}

void ShortcutRecorder::RecorderView::mousePressEvent(QMouseEvent* event) {
    startRecording();
    event->accept();
}

void ShortcutRecorder::RecorderView::keyPressEvent(QKeyEvent* event) {
    if (!isRecording_) {
        // Not ours: Return and the rest go on to the screen.
        event->ignore();
        return;
    }
    event->accept();
    if (const auto press = recorderKeyPress(*event)) keyDown(*press);
}

void ShortcutRecorder::RecorderView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // A field that can't record now is drawn faded, like the theme's buttons.
    painter.setOpacity(isEnabled() ? 1.0 : OrvantaTheme::disabledOpacity);
    const QRectF field = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(field, 7, 7);
    painter.fillPath(shape, OrvantaTheme::white(isRecording_ ? 0.12 : 0.075));
    const QColor border = isRecording_ ? palette().color(QPalette::Highlight) : OrvantaTheme::white(0.18);
    painter.strokePath(shape, QPen(border, 1));

    const QFont font = fieldFont();
    const QString text = displayedText();
    const QFontMetricsF metrics(font);
    const qreal textWidth = metrics.horizontalAdvance(text);
    const qreal textHeight = metrics.height();
    painter.setFont(font);
    painter.setPen(OrvantaTheme::white(isRecording_ ? 0.96 : 0.82));
    painter.drawText(QRectF((width() - textWidth) * 0.5, (height() - textHeight) * 0.5, textWidth, textHeight),
                     Qt::AlignLeft | Qt::AlignTop, text);
}

// ---- The binding

ShortcutRecorder::RecorderView* ShortcutRecorder::makeView(const Binding& shortcut, QWidget* parent) {
    auto* view = new RecorderView(parent);
    view->onShortcut = [set = shortcut.set](std::optional<VoduveShortcut> value) {
        if (set) set(std::move(value));
    };
    view->setShortcut(shortcut.get ? shortcut.get() : std::nullopt);
    return view;
}

void ShortcutRecorder::updateView(RecorderView& view, const Binding& shortcut) {
    view.setShortcut(shortcut.get ? shortcut.get() : std::nullopt);
}

}  // namespace corvel::setup
