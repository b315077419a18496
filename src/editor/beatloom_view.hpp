#pragma once

#include <QLabel>
#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/uuid.hpp"

class QAbstractButton;
class QDragEnterEvent;
class QDropEvent;
class QMimeData;
class QProgressBar;
class QHBoxLayout;
class QVBoxLayout;

namespace corvel::session {
class BeatloomViewModel;
}

class QScrollArea;

namespace corvel::editor {

class BeatloomEditorUIState;
class BeatloomTempoPointRow;
class PublishedRepaintBridge;

// Where the promotional panel's link leads.
inline constexpr const char* kBeatloomPromotionURL = "https://orvanta.example/beatloom";

// The first file URL of a drop, if its first item is one; the other items are ignored.
std::optional<std::filesystem::path> droppedFile(const QMimeData& data);

// The tempo editor's screen. It decides afresh from the session what to show (no file, the
// analysis running, the loaded song, an error banner under any of them) and hands every action
// to the session; it keeps only whether a drag hovers over the drop zone and whether the
// advanced tempo map is open, both false whenever the screen is built.
class BeatloomView final : public QWidget {
public:
    BeatloomView(session::BeatloomViewModel& model, BeatloomEditorUIState& ui, QWidget* parent = nullptr);
    ~BeatloomView() override;

    session::BeatloomViewModel& model() const { return model_; }
    BeatloomEditorUIState& ui() const { return ui_; }

    bool dropTargeted() const { return dropTargeted_; }
    void setDropTargeted(bool targeted);
    bool showAdvancedTempoMap() const { return showAdvancedTempoMap_; }
    void setShowAdvancedTempoMap(bool open);

    // The blocks, for whoever needs to find them (tests, mostly).
    QWidget* startHeader() const { return startHeader_; }
    QWidget* dropZone() const { return dropZone_; }
    QWidget* loadedHeader() const { return loadedHeader_; }
    QWidget* analysingPanel() const { return analysingPanel_; }
    QWidget* editorBlock() const { return editorBlock_; }
    QWidget* errorBanner() const { return errorBanner_; }
    QWidget* promotionalPanel() const { return promotionalPanel_; }
    QLabel* errorLabel() const { return errorLabel_; }
    QLabel* analysingFileLabel() const { return analysingFile_; }
    // The analysing panel's bar and its "42 %" text: the fraction of the analysis done.
    QProgressBar* analysingProgressBar() const { return analysingProgress_; }
    QLabel* analysingPercentLabel() const { return analysingPercent_; }
    QLabel* loadedFileLabel() const { return loadedFile_; }
    QLabel* exportStatusLabel() const { return exportStatus_; }
    QLabel* statusLabel() const { return status_; }
    QLabel* locatorReadout() const { return locatorReadout_; }
    QWidget* tempoLevelPanel() const { return tempoLevelPanel_; }
    QWidget* advancedTempoMapContent() const { return advancedContent_; }
    // The central panel of a loaded song: the waveform editor inside its place on the screen.
    QWidget* waveformEditorSeam() const { return waveformEditorSeam_; }
    QWidget* waveformEditor() const { return waveformEditor_; }
    const std::vector<BeatloomTempoPointRow*>& tempoPointRows() const { return rows_; }
    const std::vector<QAbstractButton*>& candidateButtons() const { return candidateButtons_; }
    QAbstractButton* chooseButton() const { return chooseButton_; }
    QAbstractButton* openButton() const { return openButton_; }
    QAbstractButton* addTempoChangeButton() const { return addButton_; }
    QAbstractButton* undoButton() const { return undoButton_; }
    QAbstractButton* redoButton() const { return redoButton_; }
    QAbstractButton* resetDetectedButton() const { return resetButton_; }
    QAbstractButton* advancedTempoMapToggle() const { return advancedToggle_; }

    // A drag entering the drop zone: one that carries URLs is taken, and the zone lights up.
    void dragEnteredDropZone(QDragEnterEvent& event);
    // A drop on the zone: refused without items; otherwise taken at once, and a first item that
    // is a file goes to the session in a main-thread task of its own.
    void droppedOnDropZone(QDropEvent& event);

    // Shows what the session holds now. The screen does this itself once per turn of the event
    // loop after the session published changes.
    void refresh();

private:
    QWidget* makeStartHeader();
    QWidget* makeDropZone();
    QWidget* makeLoadedHeader();
    QWidget* makeAnalysingPanel();
    void showAnalysisProgress();
    QWidget* makeEditorBlock();
    QWidget* makeAdvancedTempoMap();
    QWidget* makeLocatorBar();
    QWidget* makeErrorBanner();
    QWidget* makePromotionalPanel();
    void showWaveformEditor(bool shown);
    void showTempoLevel();
    void showTempoPointRows();

    session::BeatloomViewModel& model_;
    BeatloomEditorUIState& ui_;
    bool dropTargeted_ = false;
    bool showAdvancedTempoMap_ = false;
    void revealErrorBanner();

    PublishedRepaintBridge* bridge_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    std::string shownError_;

    QWidget* startHeader_ = nullptr;
    QWidget* dropZone_ = nullptr;
    QWidget* loadedHeader_ = nullptr;
    QWidget* analysingPanel_ = nullptr;
    QWidget* editorBlock_ = nullptr;
    QWidget* errorBanner_ = nullptr;
    QWidget* promotionalPanel_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QLabel* analysingFile_ = nullptr;
    QProgressBar* analysingProgress_ = nullptr;
    QLabel* analysingPercent_ = nullptr;
    QLabel* loadedFile_ = nullptr;
    QLabel* exportStatus_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* locatorReadout_ = nullptr;
    QWidget* waveformEditorSeam_ = nullptr;
    QPointer<QWidget> waveformEditor_;
    QWidget* advancedContent_ = nullptr;
    QWidget* tempoLevelPanel_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    QHBoxLayout* candidatesRow_ = nullptr;
    std::vector<BeatloomTempoPointRow*> rows_;
    std::vector<QAbstractButton*> candidateButtons_;
    std::vector<Uuid> candidateIDs_;
    QAbstractButton* chooseButton_ = nullptr;
    QAbstractButton* openButton_ = nullptr;
    QAbstractButton* addButton_ = nullptr;
    QAbstractButton* undoButton_ = nullptr;
    QAbstractButton* redoButton_ = nullptr;
    QAbstractButton* resetButton_ = nullptr;
    QAbstractButton* advancedToggle_ = nullptr;
};

}  // namespace corvel::editor
