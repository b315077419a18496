#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analysis/analysis_progress.hpp"
#include "audio/preview/preview_player.hpp"
#include "common/error.hpp"
#include "common/observable.hpp"
#include "common/uuid.hpp"
#include "core/edit_history.hpp"
#include "core/grid_fitter.hpp"
#include "core/grid_records.hpp"
#include "core/phase_anchors.hpp"
#include "core/tempo_map_records.hpp"
#include "core/waveform_data.hpp"
#include "platform/background_runner.hpp"
#include "platform/file_panels.hpp"
#include "platform/main_loop.hpp"
#include "session/beatloom_viewport_state.hpp"

// The tempo editor's one editing state: the loaded file, its analysis, the edited tempo map,
// selection, locator and viewport, the four message lines, the click-track preview and the
// undo history, with every operation the editor offers on them. Main thread only.

namespace corvel::session {

inline constexpr std::string_view kUndidPrefix = "Undid ";
inline constexpr std::string_view kRedidPrefix = "Redid ";
// The undo name of a drag that began without one.
inline constexpr std::string_view kDefaultTransactionName = "Edit Timeline";

// Refusals of the tempo-marker and time-signature edits.
inline constexpr std::string_view kBPMOutOfRangeMessage = "Enter a BPM between 30 and 300.";
inline constexpr std::string_view kSongStartTempoMessage = "The song-start tempo cannot be deleted.";
inline constexpr std::string_view kInvalidTimeSignatureMessage = "Invalid time signature.";
inline constexpr std::string_view kSongStartTimeSignatureMessage = "The song-start time signature cannot be deleted.";

class BeatloomViewModel final {
public:
    using FileOpener = audio::BeatloomPreviewPlayer::FileOpener;
    // A change of the edited values, run by performEdit between its two snapshots.
    using Mutation = std::function<void(BeatloomViewModel&)>;

    // Previews through the default sound card and reads files with the audio-file reader.
    explicit BeatloomViewModel(platform::MainLoop& mainLoop);
    // Previews through the given outputs and file opener (offline devices, test sources).
    BeatloomViewModel(platform::MainLoop& mainLoop, audio::PreviewOutputFactory outputFactory,
                      FileOpener openFile);
    BeatloomViewModel(const BeatloomViewModel&) = delete;
    BeatloomViewModel& operator=(const BeatloomViewModel&) = delete;

    // ---- Published state. Views watch these and call the operations below; apart from
    // pageFollowEnabled and freeTimeClickMode, which the views bind directly, only the
    // session's operations write them. ----

    Published<std::optional<std::filesystem::path>> selectedURL;
    Published<std::optional<BeatloomResult>> result;  // most operations do nothing without it
    // The edited map (ten values with barOneSeconds ... rhythmicAnchors, see captureEditorState).
    Published<std::vector<BeatloomTempoPoint>> editableTempoPoints;
    Published<std::vector<BeatloomMeterEvent>> meterEvents{std::vector<BeatloomMeterEvent>{BeatloomMeterEvent{}}};
    Published<std::vector<BeatloomBarAnchor>> barAnchors;
    Published<std::vector<BeatloomPhaseLock>> phaseLocks;
    Published<std::optional<double>> barOneSeconds;
    Published<std::int64_t> pickupBarCount{0};
    Published<std::optional<Uuid>> selectedTempoPointID;
    Published<double> locatorSeconds{0.0};  // the edit locator; the play position when stopped
    Published<std::optional<BeatloomWaveformData>> waveformData;
    Published<bool> isWaveformLoading{false};
    Published<std::string> waveformErrorText;
    Published<std::string> errorText;
    Published<bool> isAnalyzing{false};
    // How far the running (or the latest) analysis has got, 0 ... 1: 0 when one starts, rising
    // as it reports, 1 when it has finished.
    Published<double> analysisProgress{0.0};
    Published<std::optional<BeatloomTimeRange>> analysisSelection;
    Published<std::string> exportStatusText;
    Published<std::string> statusText;
    Published<std::vector<BeatloomGridFitAnchor>> gridFitAnchors;
    Published<std::optional<BeatloomGridFitter::Fit>> gridFitResult;  // always derived from gridFitAnchors
    Published<std::vector<BeatloomLockedRange>> lockedRanges;
    Published<std::vector<BeatloomTimelineRegion>> timelineRegions;
    Published<std::vector<BeatloomRhythmicAnchor>> rhythmicAnchors;
    Published<BeatloomFreeTimeClickMode> freeTimeClickMode{BeatloomFreeTimeClickMode::off};
    Published<double> editorZoom{1.0};
    Published<bool> pageFollowEnabled{true};
    Published<BeatloomViewportState> viewportState;

    // ---- Plain state, watched by nobody ----

    // Owned for the session's whole life, never replaced.
    audio::BeatloomPreviewPlayer& previewPlayer() { return previewPlayer_; }
    const audio::BeatloomPreviewPlayer& previewPlayer() const { return previewPlayer_; }
    const BeatloomEditHistory& editHistory() const { return editHistory_; }
    // The snapshot and undo name of the open drag transaction.
    const std::optional<BeatloomEditorState>& transactionStart() const { return transactionStart_; }
    const std::optional<std::string>& transactionActionName() const { return transactionActionName_; }
    // Where the locator stood when the preview started.
    std::optional<double> playbackStartSeconds() const { return playbackStartSeconds_; }

    // ---- Derived values, computed afresh on every read ----

    // BPM at the locator (ramps followed); the detected BPM over an empty map; none without a result.
    std::optional<double> tempoAtLocator() const;
    // Bar 1 as set, else the first detected beat, else 0 s.
    double effectiveBarOneSeconds() const;
    // The edited map as the preview's click follows it, with Bar 1 as in effect.
    audio::PreviewClickMap previewClickMap() const;
    // Every message that blocks an export, once each, in ascending order; empty when the map is valid.
    std::vector<std::string> tempoMapIssues() const;
    // The time signature in force at the locator.
    BeatloomMeterEvent meterEventAtLocator() const;
    // Bar, beat and fraction of a beat at the locator, as the grid shows it there (inside a
    // Rubato region, counted from its anchors); none without a result, inside Free Time or where
    // the map gives no grid, such as a Rubato region before its first anchor or after its last.
    std::optional<BeatloomMusicalPosition> musicalPositionAtLocator() const;

    // ---- Transport ----

    // Stops the preview and leaves the locator where the play head was (clamped to the song),
    // or, with returnToStart, where playback began.
    void stopPreview(bool returnToStart);
    // The grid line nearest to a time at a resolution (snapping); none without a grid there.
    std::optional<double> nearestGridTime(BeatloomGridResolution resolution, double seconds) const;

    // ---- Playback and seek ----

    // Plays the song from the locator with the click of the whole edited map (the transport
    // button, with the player stopped); a failure goes to errorText. Needs a file and a result.
    void startPreviewPlayback();
    // The transport button: stops and returns the locator to where playback began, or starts.
    void togglePlayback();
    // Stops the preview and puts the locator at the time, held inside the song.
    void seek(double seconds);

    // ---- Viewport, zoom and page follow ----

    // Keeps a new width of the timeline (at least 1 px); layout jitter of half a pixel or less
    // changes nothing, and so does a width that is not finite.
    void setViewportPixelWidth(double width);
    // Zoom 1 to 2048 around the play position; a window of the song's length / zoom.
    void setZoom(double zoom);
    // The whole song in view at zoom 1.
    void resetZoom();
    void centerViewportOnPlayhead();
    // Scrolls by timeline pixels, no further than half a window before the song or past its
    // last tenth of a window; a scroll during playback ends page following.
    void scrollViewport(double pixels);
    // Turns the page when the moving play head reaches nine tenths of the window.
    void followPlayhead(double seconds);
    void disablePageFollowWhilePlaying();
    // Scrolls just far enough that the start of that many bars before Bar 1 shows.
    void revealBarsBeforeBarOne(std::int64_t bars);

    // ---- Song Bar 1, pickup bars and locked downbeats ----

    // A bar start locked at the locator, which later edits keep in place; one within 0.02 s
    // counts as already locked.
    void lockDownbeatAtLocator();
    // Bar 1 at the locator; the bars between the earlier grid start and it become pickup bars.
    void setSongBarOneAtLocator();
    // One more pickup bar, as long as the grid does not yet reach the audio start.
    void extendPickupOneBar();
    // As many pickup bars as reach the audio start.
    void extendPickupToAudioStart();
    void removePickupBars();
    // The Bar 1 handle's drag: a transaction "Move Song Bar 1" that endTransaction closes (with
    // kSongBarOneMovedStatus); each update moves Bar 1 and the locator, optionally onto the
    // nearest transient.
    static constexpr std::string_view kSongBarOneMovedStatus =
        "Song Bar 1 moved. Tempo was not changed; the grid phase was shifted to the new transient.";
    void beginSongBarOneDrag();
    void updateSongBarOneDrag(bool snapToTransient, double seconds);
    void removeManualBarStart(const Uuid& id);

    // ---- Edits and undo ----

    BeatloomEditorState captureEditorState() const;
    // Writes the ten edited values back, selects the first tempo point and refits Grid Fit.
    void restoreEditorState(const BeatloomEditorState& state);
    // Writes a new tempo map with its phase locks; a selection whose point is gone moves to the
    // first point.
    void setTempoPointsAndPhaseLocks(std::vector<BeatloomTempoPoint> points, std::vector<BeatloomPhaseLock> locks);

    // Runs the mutation as one undoable step; records and reports only when the edited values changed.
    void performEdit(std::string_view actionName, std::string_view status, const Mutation& mutation);
    // Commits a new tempo map (normalised) with the phase locks that keep the grid in place.
    void applyTempoEdit(std::vector<BeatloomTempoPoint> points, std::string_view actionName, std::string_view status);
    // Commits new meter events and bar anchors (normalised); needs a result.
    void applyMeterAndBarAnchorEdit(const std::vector<BeatloomMeterEvent>& newMeterEvents,
                                    const std::vector<BeatloomBarAnchor>& newBarAnchors, std::string_view actionName,
                                    std::string_view status);

    // A drag: one undo step for everything between begin and end. A second begin while one is
    // open is ignored; an end without one does nothing. While a drag is open no other edit is
    // recorded: the user's edits do nothing, and a re-analysis that finishes waits for the drag
    // to end.
    void beginTransaction(std::optional<std::string> actionName);
    void endTransaction(std::string_view status);
    // Live drag updates: they write the edited values and record nothing.
    void updateTempoPointDrag(const Uuid& id, bool snap, BeatloomGridResolution resolution, double seconds);
    void updateMeterEventDrag(const Uuid& id, bool snap, BeatloomGridResolution resolution, double seconds);
    void updateBarAnchorDrag(const Uuid& id, bool snap, BeatloomGridResolution resolution, double seconds);

    // Both change nothing while a drag is open.
    void undo();
    void redo();

    // ---- Tempo-marker and time-signature edits ----

    // Sets a marker's BPM from the text the user typed ("120,5" reads as 120.5); false, with the
    // refusal in errorText, for anything but a BPM of 30 to 300 or an unknown marker.
    bool setTempoPointBPM(const Uuid& id, std::string_view text);
    void moveTempoPoint(const Uuid& id, double seconds);
    // A marker at the locator with the tempo in force there; a marker already within 0.02 s is
    // selected instead.
    void addTempoPointAtLocator();
    void deleteTempoPoint(const Uuid& id);
    void setTempoTransition(const Uuid& id, bool ramp);
    // One constant tempo for the whole song, keeping the song-start marker's id.
    void chooseTempoCandidate(double bpm);
    // Sets the signature of a change within 0.02 s of the locator, or adds a change there.
    void setTimeSignatureAtLocator(std::int64_t numerator, std::int64_t denominator);
    void deleteTimeSignature(const Uuid& id);
    // The detected tempo map again, with 4/4 throughout and Grid Fit, locks, regions and manual
    // bar starts cleared; always confirms in statusText.
    void resetToDetected();

    // ---- Opening a file and the analysis flow ----

    // The blocking read or build of a file's waveform peaks for the analysed duration; it runs
    // on the background runner and throws ErrorException.
    using WaveformLoad = std::function<BeatloomWaveformData(const std::filesystem::path&, double)>;
    static constexpr std::string_view kAudioContentType = "audio";
    static constexpr std::string_view kDetectedAmbiguousStatus =
        "Tempo detected. Check the musical level with the click before confirming edits.";
    static constexpr std::string_view kDetectedStatus =
        "Tempo detected. Work directly on the waveform, then verify the musical grid with the click.";

    // Hands the session what opening, re-analysing and exporting need beyond the main loop: the
    // runner of the analyses and waveform builds and the open and save panels, which must both
    // outlive the session, and the waveform load (empty: the cache-backed loader in the user's
    // caches folder). Must be called before any of those operations.
    void connectServices(platform::BackgroundRunner& backgroundRunner, platform::FilePanels& filePanels,
                         WaveformLoad loadWaveform = {});
    // The open panel (one audio file), in the folder of the last audio file opened; a chosen
    // file is loaded, a cancel changes nothing.
    void chooseAudioFile();
    // Forgets the previous file and every edit, then analyses the file and loads its waveform
    // in the background. Results of an earlier load that arrive later are dropped.
    void loadAudio(const std::filesystem::path& url);

    // ---- Tempo MIDI export and session reset ----

    static constexpr std::string_view kExportPanelTitle = "Export Tempo MIDI";
    static constexpr std::string_view kExportPanelPrompt = "Export";
    static constexpr std::string_view kMIDIFileExtension = "mid";
    static constexpr std::string_view kExportedStatus = "Edited tempo, meter and flexible timeline exported.";
    // Joins the validation messages that block an export.
    static constexpr std::string_view kIssueSeparator = " · ";

    // The name the save panel proposes: the audio file's name without its last extension and
    // "_TempoMap.mid".
    static std::string proposedMIDIFileName(std::string_view audioFileName);
    // Validates the edited map, asks for a location (the panel starts beside the song) and
    // writes the map's MIDI file there atomically; refusals and failures go to errorText.
    // Needs a result.
    void exportTempoMIDI();
    // Back to the state without a file: every edit, the history and the messages forgotten,
    // the viewport's pixel width kept.
    void resetSession();

    // ---- Re-analysis and tempo control ----

    static constexpr std::string_view kPlaceTempoPointMessage = "Could not place a tempo point at the current locator.";
    static constexpr std::string_view kDetectedTempoRestoredStatus =
        "Automatically detected tempo restored. Other musical edits were preserved.";
    static constexpr std::string_view kReanalyzingTempoStatus = "Re-analyzing tempo…";
    static constexpr std::string_view kTempoReanalyzedStatus = "Tempo re-analyzed. Automatic result is active.";

    // Doubles (2) or halves (0.5) the tempo of the section at the locator.
    void scaleSectionTempo(double factor);
    // Sets the tempo at the locator from typed text ("120,5" reads as 120.5): the only marker,
    // a marker within 0.02 s of the locator, or a new one there. False, with the refusal in
    // errorText, when no tempo was applied.
    bool setManualTempo(std::string_view text);
    // The detected map again; time signatures, Bar 1, pickup bars and regions stay.
    void useDetectedTempo();
    // Whether the edited map still matches the detected one.
    bool isDetectedTempoActive() const;
    // Analyses the whole file again in the background and makes its map the edited one.
    void reanalyzeTempo();
    // The range between two times in any order, held inside the song; none below 0.05 s.
    void setAnalysisSelection(double a, double b);
    // Re-analyses the selection (at least 4 s) with its musical context in the background and
    // merges the new tempo into it.
    void reanalyzeSelection();
    // Merges a re-analysed range into the edited map of a song durationSeconds long.
    void applyReanalyzedSelection(const BeatloomRangeAnalysisResult& rangeResult, double durationSeconds);

    // ---- Grid keeping and Grid Fit preview ----

    // The phase locks to commit with a tempo edit from oldPoints (the current map) to newPoints
    // (normalised): every unmoved tempo point whose bar, beat or beat phase would change gets a
    // lock that keeps what the grid showed there before.
    std::vector<BeatloomPhaseLock> phaseLocksForTempoChange(const std::vector<BeatloomTempoPoint>& oldPoints,
                                                            const std::vector<BeatloomTempoPoint>& newPoints) const;
    // Puts the Grid Fit anchors in fitting order and refits them.
    void refreshGridFitPreview();

    // ---- Grid Fit summary ----

    // The Grid Fit summary line for the current fit and anchors: whether it can be applied, at
    // what tempo and how well it fits.
    std::string gridFitStatusText() const;
    // "Excellent" ... "Weak fit" for a fit's RMS error in milliseconds.
    static std::string_view gridFitQualityWord(double rmsMilliseconds);

    // ---- Grid Fit operations ----

    // Opens the drag transaction of a beat line dragged in the Grid Fit lane.
    void beginGridAnchorMove();
    // Live drag of a beat or bar line onto a transient: moves the anchor of that line, or places
    // one, and refits. Subdivision lines and locked anchors stay where they are.
    void moveGridAnchor(const BeatloomTimeline::GridLine& line, bool snapToTransient, double seconds,
                        double searchRadiusSeconds);
    // Removes every anchor of the beat line at that quarter position, locked ones too.
    void deleteGridAnchor(double quarterPosition);
    void clearGridFit();
    void toggleGridAnchorLock(const Uuid& id);
    // Makes the anchor absolute song Bar 1; the pickup bars keep their start.
    void setGridAnchorAsSongBarOne(const Uuid& id);
    // Makes the anchor a downbeat with a bar anchor (locked downbeat) at its time.
    void setGridAnchorAsLocalBarStart(const Uuid& id);
    // Gives the tempo point that governs the anchors the fitted BPM and locks a downbeat there;
    // refuses, in errorText, a fit that is too thin, too inconsistent or reaches into a locked
    // corrected section.
    void applyGridFit();

    // ---- Locked ranges ----

    // Ranges longer than 0.001 s, sorted by start, with ranges that touch or overlap (within
    // 0.0005 s) merged into the earlier one.
    static std::vector<BeatloomLockedRange> normalizeLockedRanges(std::vector<BeatloomLockedRange> ranges);
    // Locks the span of the Grid Fit anchors against later fits, with tempo points at both ends
    // and the anchors inside locked; one undoable step.
    void lockCorrectedSection();
    // Records nothing itself; the caller wraps it in its own edit.
    void removeLockedRange(const Uuid& id);

    // ---- Free Time and Rubato ----

    // Anchors whose region exists and whose time is finite, ordered by region and time, each held
    // inside its region with its confidence in 0...1.
    static std::vector<BeatloomRhythmicAnchor> normalizedRhythmicAnchors(
        std::vector<BeatloomRhythmicAnchor> anchors, const std::vector<BeatloomTimelineRegion>& regions);
    // The regions with one of the given mode starting at the time: the region there changes its
    // mode from that time on, or a new one reaches to the next region or the song's end.
    static std::vector<BeatloomTimelineRegion> startRegion(BeatloomTimelineMode mode,
                                                           const std::vector<BeatloomTimelineRegion>& regions,
                                                           double seconds, double duration);
    // The anchors with the stored one of the same id replaced, unless that one is locked.
    static std::vector<BeatloomRhythmicAnchor> replaceRhythmicAnchor(
        const BeatloomRhythmicAnchor& anchor, const std::vector<BeatloomRhythmicAnchor>& anchors,
        const std::vector<BeatloomTimelineRegion>& regions);

    // The mode of the region at the locator; metered outside every region.
    BeatloomTimelineMode regionAtLocator() const;
    void startFreeTimeAtLocator();
    // Starts Rubato at the locator with a first anchor on the metered beat there.
    void startRubatoAtLocator();
    // A reference anchor in Free Time, or in Rubato the next performed beat, at the transient
    // nearest the locator.
    void addRhythmicAnchorAtLocator();
    // Live drag of an anchor inside its region; a positioned anchor never passes its neighbours.
    void moveRhythmicAnchor(const Uuid& id, bool snap, double seconds);
    // Records nothing itself; the caller wraps it in its own edit.
    void removeRhythmicAnchor(const Uuid& id);
    // Turns the region at the locator into Free Time (its anchors lose their positions) or Rubato.
    void convertRegion(BeatloomTimelineMode target);
    void deleteRegionAtLocator();

    // ---- Rejoin Grid ----

    static constexpr std::string_view kRejoinOutsideRegionMessage =
        "Place the locator inside a Free Time or Rubato region first.";
    static constexpr std::string_view kRejoinInvalidTimeSignatureMessage = "Invalid time signature for Rejoin Grid.";
    static constexpr std::string_view kRejoinInvalidBarMessage = "Invalid bar number for Rejoin Grid.";
    static constexpr std::string_view kRejoinInvalidTempoMessage = "Invalid tempo for Rejoin Grid.";
    static constexpr std::string_view kRejoinBeforeAnchorMessage =
        "Rejoin Grid cannot resume before the region's last anchor.";

    // The regions with the one at the time (or ending just there) ended at it; removed when it
    // began no more than 0.0005 s before; a locked one is left as it is.
    static std::vector<BeatloomTimelineRegion> endRegion(const std::vector<BeatloomTimelineRegion>& regions,
                                                         double seconds, double duration);
    // The bar the regular grid should resume with after the region: one past the last bar its
    // anchors reached, or past the metered bar where it began; at least 1.
    std::int64_t suggestedRejoinBar(const BeatloomTimelineRegion& region) const;
    // Ends the region at the locator and resumes the metered grid there at the bar, tempo and
    // time signature given; what is left out is taken from the region and the map at the locator.
    // A tempo outside 30 to 300 BPM is held inside; a tempo that is no number, a bar below 1 or
    // beyond what the song can reach, an invalid time signature and a grid at the locator that
    // lies before the region's last anchor in the music are refused in errorText.
    void rejoinGridAtLocator(std::optional<std::int64_t> bar, std::optional<double> bpm,
                             std::optional<std::int64_t> numerator, std::optional<std::int64_t> denominator);

private:
    double durationSeconds() const;
    // Stops and resets the preview and sets every published value back to its state without a
    // file (selectedURL to url; isAnalyzing and analysisProgress only with endAnalysis, in their
    // place after analysisSelection); the history and any open drag are dropped, and results of
    // earlier loads and analyses will be ignored.
    void forgetSession(std::optional<std::filesystem::path> url, bool endAnalysis);
    void installAnalysis(const BeatloomResult& detected);
    void finishWaveformLoad(std::variant<BeatloomWaveformData, Error> outcome);
    // The detected or re-analysed points as the edited map, with Grid Fit, locks and locked
    // ranges gone; the rest of the musical edits stay.
    void installAnalysedPoints(std::vector<BeatloomTempoPoint> points);
    void failAnalysis(const Error& error);
    // Sets analysisProgress to 0 for an analysis about to start and returns the listener to
    // hand it: its reports, from the analysis's threads, reach analysisProgress on the main
    // loop, with at most one task waiting there at a time (which takes the latest report), and
    // only while the session still waits for that analysis.
    analysis::ORVAnalysisProgress::Listener startAnalysisProgress();
    platform::BackgroundRunner& runner();
    platform::FilePanels& filePanels();
    // Whether a background result started now may still be applied when it arrives: true while
    // the session lives and no load or reset came in between.
    std::function<bool()> stillCurrent() const;
    // The drag target: the nearest grid time when snapping finds one, else the time itself.
    double dragTarget(bool snap, BeatloomGridResolution resolution, double seconds) const;
    void commit(std::string_view actionName, BeatloomEditorState before, BeatloomEditorState after,
                std::string_view status);
    // The tail of a tempo edit: writes a normalised map with its locks and records the change.
    void commitTempoMap(std::vector<BeatloomTempoPoint> normalizedPoints, std::vector<BeatloomPhaseLock> locks,
                        std::string_view actionName, std::string_view status);
    // phaseLocksForTempoChange, and besides, each point of newPoints named in pinnedPointIDs (a
    // point the edit made) keeps the bar, beat and beat phase the old grid showed at its time.
    std::vector<BeatloomPhaseLock> phaseLocksKeepingGrid(const std::vector<BeatloomTempoPoint>& oldPoints,
                                                         const std::vector<BeatloomTempoPoint>& newPoints,
                                                         const std::vector<Uuid>& pinnedPointIDs) const;
    // The time of the first bar or beat line after `after` that the new map and locks would
    // move, add or remove, compared with the grid drawn now; none when they all stay.
    std::optional<double> firstMovedGridLineAfter(double after, const std::vector<BeatloomTempoPoint>& newPoints,
                                                  const std::vector<BeatloomPhaseLock>& newLocks) const;
    void showRestored(std::string_view prefix, const std::string& actionName);

    platform::MainLoop& mainLoop_;
    audio::BeatloomPreviewPlayer previewPlayer_;
    platform::BackgroundRunner* backgroundRunner_ = nullptr;
    platform::FilePanels* filePanels_ = nullptr;
    // Where the open panel starts: the folder of the last audio file opened, however it came.
    std::filesystem::path lastAudioFolder_;
    WaveformLoad loadWaveform_;
    // Counts loads and resets; a background result made for an older count is dropped.
    std::uint64_t loadGeneration_ = 0;
    // Watched by background completions, which may run after the session is gone.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    BeatloomEditHistory editHistory_{BeatloomEditHistory::defaultCapacity};
    std::optional<BeatloomEditorState> transactionStart_;
    std::optional<std::string> transactionActionName_;
    // Completions that arrived while a drag was open, run when it ends.
    std::vector<std::function<void()>> afterDrag_;
    std::optional<double> playbackStartSeconds_;
};

// Beat length and beats per bar of the meter at a bar start, and the bar, beat and beat
// fraction of a quarter position counted from it.
BeatloomMusicalPosition musicalPositionFrom(const BeatloomTimeline::PhaseAnchor& anchor, double quarter);

}  // namespace corvel::session
