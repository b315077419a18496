#pragma once

#include <QWidget>

#include "common/observable.hpp"
#include "editor/toolbar/timeline_mode_menu.hpp"

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

// The content of the Rejoin Grid popover: bar, tempo and meter at which the regular grid
// resumes. It edits the values its owner keeps (they outlive the popover) and closes through
// the owner's flag after "Cancel" or "Rejoin".
class BeatloomRejoinGridPopover final : public QWidget {
public:
    BeatloomRejoinGridPopover(session::BeatloomViewModel& model, RejoinGridValues& values, Published<bool>& isPresented,
                              QWidget* parent = nullptr);

    QSpinBox* barStepper() const { return bar_; }
    QLineEdit* tempoField() const { return tempo_; }
    QComboBox* meterPicker() const { return meter_; }
    QPushButton* cancelButton() const { return cancel_; }
    QAbstractButton* rejoinButton() const { return rejoin_; }

private:
    session::BeatloomViewModel& model_;
    RejoinGridValues& values_;
    Published<bool>& isPresented_;
    QSpinBox* bar_ = nullptr;
    QLineEdit* tempo_ = nullptr;
    QComboBox* meter_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QAbstractButton* rejoin_ = nullptr;
};

}  // namespace corvel::editor
