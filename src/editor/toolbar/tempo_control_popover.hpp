#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <string>

#include "common/observable.hpp"

class QLabel;
class QLineEdit;
class QAbstractButton;
class QPushButton;

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class PublishedRepaintBridge;

// The session's whole-tempo operations that the tempo popover calls. They are handed in, so a
// caller can put its own in their place; a missing one leaves its control disabled.
struct BeatloomTempoOperations {
    // The session's own operations.
    static BeatloomTempoOperations of(session::BeatloomViewModel& model);

    // Sets the tempo typed by the user; false when the session refused it (its error line says why).
    std::function<bool(const std::string& text)> setManualTempo;
    // Halves (0.5) or doubles (2.0) the tempo of the section at the locator.
    std::function<void(double factor)> scaleSectionTempo;
    std::function<void()> useDetectedTempo;
    std::function<void()> reanalyzeTempo;
    // Whether the edited tempo map is the detected one.
    std::function<bool()> isDetectedTempoActive;
};

// The panel that opens from the toolbar's tempo readout: type the tempo of the song or of the
// section at the locator, halve or double it, go back to the detected tempo or analyse the file
// again. It exists while its flag is true; a successful typed tempo closes it. A tempo the session
// refuses is explained under the field, where the user is looking, for as long as the session's
// error line holds that message.
class BeatloomTempoControlPopover final : public QWidget {
public:
    static constexpr int kWidth = 300;

    BeatloomTempoControlPopover(session::BeatloomViewModel& model, Published<bool>& isPresented,
                                QWidget* parent = nullptr);
    BeatloomTempoControlPopover(session::BeatloomViewModel& model, Published<bool>& isPresented,
                                BeatloomTempoOperations operations, QWidget* parent = nullptr);
    ~BeatloomTempoControlPopover() override;

    QString tempoText() const;
    void setTempoText(const QString& text);

    // The field shows the tempo at the locator, else the detected one, else 0, to one decimal.
    void refreshTempoText();
    void applyManualTempo();

    const PublishedRepaintBridge& repaintBridge() const { return *bridge_; }
    // The refusal shown under the field; hidden while there is none.
    const QLabel* refusalLabel() const { return refusal_; }

private:
    void scaleTempo(double factor);
    // Shows the session's error line under the field after one of the panel's own edits.
    void showRefusal();
    void refresh();

    session::BeatloomViewModel& model_;
    Published<bool>& isPresented_;
    BeatloomTempoOperations operations_;
    PublishedRepaintBridge* bridge_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QLineEdit* field_ = nullptr;
    QAbstractButton* apply_ = nullptr;
    QLabel* refusal_ = nullptr;
    QPushButton* half_ = nullptr;
    QPushButton* double_ = nullptr;
    QLabel* detected_ = nullptr;
    QWidget* active_ = nullptr;
    QPushButton* useDetected_ = nullptr;
    QPushButton* reanalyze_ = nullptr;
};

}  // namespace corvel::editor
