#pragma once

#include <QWidget>

#include <functional>

#include "app/diagnostics_snapshot.hpp"

class QLabel;

namespace corvel::theme {
class OrvantaButton;
}

namespace corvel::app {

// The diagnostics screen: the report as taken when the screen was built, a button that takes
// it again and one that copies the text on screen to the clipboard.
class DiagnosticsView : public QWidget {
    Q_OBJECT

public:
    using SnapshotMaker = std::function<DiagnosticsSnapshot()>;

    explicit DiagnosticsView(DiagnosticsSnapshot snapshot, SnapshotMaker maker = [] { return DiagnosticsSnapshot::make(); },
                             QWidget* parent = nullptr);

    const DiagnosticsSnapshot& snapshot() const { return snapshot_; }
    void refresh();
    // Exactly the text on screen; no new snapshot is taken first.
    void copyToPasteboard() const;

    QLabel* reportLabel() const { return report_; }
    theme::OrvantaButton* refreshButton() const { return refreshButton_; }
    theme::OrvantaButton* copyButton() const { return copyButton_; }

private:
    void showSnapshot(DiagnosticsSnapshot snapshot);

    DiagnosticsSnapshot snapshot_;
    SnapshotMaker maker_;
    QLabel* report_ = nullptr;
    theme::OrvantaButton* refreshButton_ = nullptr;
    theme::OrvantaButton* copyButton_ = nullptr;
};

}  // namespace corvel::app
