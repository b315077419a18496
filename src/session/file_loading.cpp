// Opening an audio file and forgetting it again. On opening, the session forgets the previous file, analyses the new one in the
// background, installs the detected map and then loads the waveform. Each load counts one
// generation; a background result that comes back after a newer load or a reset is dropped,
// so a slow first file can never overwrite the file the user opened after it.

#include <atomic>
#include <memory>
#include <stdexcept>
#include <utility>

#include "analysis/analysis_entry_points.hpp"
#include "analysis/reported_job.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "platform/paths.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

void BeatloomViewModel::connectServices(platform::BackgroundRunner& backgroundRunner,
                                        platform::FilePanels& panels, WaveformLoad loadWaveform) {
    backgroundRunner_ = &backgroundRunner;
    filePanels_ = &panels;
    if (!loadWaveform) {
        loadWaveform = [loader = audio::BeatloomWaveformLoader(platform::UserFolders().caches())](
                           const std::filesystem::path& file, double durationSeconds) {
            return loader.load(file, durationSeconds);
        };
    }
    loadWaveform_ = std::move(loadWaveform);
}

platform::BackgroundRunner& BeatloomViewModel::runner() {
    if (!backgroundRunner_) throw std::logic_error("The session's services are not connected.");
    return *backgroundRunner_;
}

platform::FilePanels& BeatloomViewModel::filePanels() {
    if (!filePanels_) throw std::logic_error("The session's services are not connected.");
    return *filePanels_;
}

std::function<bool()> BeatloomViewModel::stillCurrent() const {
    return [this, alive = std::weak_ptr<const bool>(alive_), generation = loadGeneration_] {
        return !alive.expired() && generation == loadGeneration_;
    };
}

analysis::ORVAnalysisProgress::Listener BeatloomViewModel::startAnalysisProgress() {
    analysisProgress.set(0.0);
    struct Relay {
        std::atomic<double> latest{0.0};
        std::atomic<bool> waiting{false};  // a task that publishes the latest report is posted
    };
    auto relay = std::make_shared<Relay>();
    auto publish = [this, relay, isCurrent = stillCurrent()] {
        relay->waiting.store(false);
        const double fraction = relay->latest.load();
        if (isCurrent() && isAnalyzing.value() && fraction > analysisProgress.value()) {
            analysisProgress.set(fraction);
        }
    };
    return [relay, publish = std::move(publish), &mainLoop = mainLoop_](double fraction) {
        relay->latest.store(fraction);
        if (!relay->waiting.exchange(true)) mainLoop.post(publish);
    };
}

void BeatloomViewModel::forgetSession(std::optional<std::filesystem::path> url, bool endAnalysis) {
    previewPlayer_.reset();
    // Later results of what ran for the previous file must not land on this one.
    ++loadGeneration_;

    selectedURL.set(std::move(url));
    result.set(std::nullopt);
    editableTempoPoints.set({});
    meterEvents.set({BeatloomMeterEvent{}});
    barAnchors.set({});
    phaseLocks.set({});
    barOneSeconds.set(std::nullopt);
    pickupBarCount.set(0);
    selectedTempoPointID.set(std::nullopt);
    locatorSeconds.set(0.0);
    waveformData.set(std::nullopt);
    isWaveformLoading.set(false);
    waveformErrorText.set("");
    errorText.set("");
    analysisSelection.set(std::nullopt);
    if (endAnalysis) {
        isAnalyzing.set(false);
        analysisProgress.set(0.0);
    }
    exportStatusText.set("");
    statusText.set("");
    gridFitAnchors.set({});
    gridFitResult.set(std::nullopt);
    lockedRanges.set({});
    timelineRegions.set({});
    rhythmicAnchors.set({});
    freeTimeClickMode.set(BeatloomFreeTimeClickMode::off);
    editorZoom.set(1.0);
    pageFollowEnabled.set(true);

    transactionStart_.reset();
    transactionActionName_.reset();
    afterDrag_.clear();
    playbackStartSeconds_.reset();
    editHistory_.clear();

    auto viewport = viewportState.value();
    viewport.visibleStartSeconds = 0.0;
    viewport.visibleDurationSeconds = 1.0;
    viewportState.set(viewport);
}

void BeatloomViewModel::resetSession() {
    forgetSession(std::nullopt, true);
}

void BeatloomViewModel::chooseAudioFile() {
    const auto chosen =
        filePanels().chooseFileToOpen(platform::OpenFileRequest{std::string(kAudioContentType), lastAudioFolder_});
    if (chosen) loadAudio(*chosen);
}

void BeatloomViewModel::loadAudio(const std::filesystem::path& url) {
    auto& background = runner();
    lastAudioFolder_ = url.parent_path();
    forgetSession(url, false);
    isAnalyzing.set(true);
    // Opened ahead, while the analysis runs, so that Play later starts at once.
    previewPlayer_.prepare(url, background);

    analysis::ORVAnalyzerEntryPoints::analyzeFile(
        background, mainLoop_, url,
        [this, isCurrent = stillCurrent(), url](analysis::ORVAnalyzerEntryPoints::FileOutcome outcome) {
            if (!isCurrent()) return;
            analysisProgress.set(1.0);
            if (const auto* error = std::get_if<Error>(&outcome)) {
                isAnalyzing.set(false);
                errorText.set(error->message);
                return;
            }
            const auto& detected = std::get<BeatloomResult>(outcome);
            installAnalysis(detected);
            analysis::runAndReport<BeatloomWaveformData>(
                runner(), mainLoop_,
                [load = loadWaveform_, url, duration = detected.durationSeconds] { return load(url, duration); },
                [this, isCurrent](std::variant<BeatloomWaveformData, Error> waveform) {
                    if (isCurrent()) finishWaveformLoad(std::move(waveform));
                });
        },
        startAnalysisProgress());
}

void BeatloomViewModel::installAnalysis(const BeatloomResult& detected) {
    result.set(detected);
    editableTempoPoints.set(detected.tempoPoints);
    selectedTempoPointID.set(detected.tempoPoints.empty() ? std::nullopt
                                                          : std::optional<Uuid>(detected.tempoPoints.front().id));
    const double firstBeat = detected.beatPositionsSeconds.empty() ? 0.0 : detected.beatPositionsSeconds.front();
    barOneSeconds.set(firstBeat);
    pickupBarCount.set(0);
    locatorSeconds.set(firstBeat);
    statusText.set(std::string(detected.ambiguous ? kDetectedAmbiguousStatus : kDetectedStatus));
    isAnalyzing.set(false);
    resetZoom();
    isWaveformLoading.set(true);
}

void BeatloomViewModel::finishWaveformLoad(std::variant<BeatloomWaveformData, Error> outcome) {
    if (auto* waveform = std::get_if<BeatloomWaveformData>(&outcome)) {
        waveformData.set(std::move(*waveform));
        waveformErrorText.set("");
    } else {
        waveformData.set(std::nullopt);
        waveformErrorText.set(std::get<Error>(outcome).message);
    }
    isWaveformLoading.set(false);
}

}  // namespace corvel::session
