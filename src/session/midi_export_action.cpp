// The end of the editor's road: the edited tempo, meter and flexible-timeline map written as
// a Standard MIDI File where the user chooses.

#include <string>

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "core/midi_writer.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

namespace {

constexpr std::string_view kTempoMapSuffix = "_TempoMap.mid";

}  // namespace

std::string BeatloomViewModel::proposedMIDIFileName(std::string_view audioFileName) {
    // stem() drops only the last extension ("take.01.wav" gives "take.01") and keeps a name
    // that starts with its only dot whole.
    return std::filesystem::path(audioFileName).stem().string() + std::string(kTempoMapSuffix);
}

void BeatloomViewModel::exportTempoMIDI() {
    if (!result.value()) return;
    const auto issues = tempoMapIssues();
    if (!issues.empty()) {
        std::string joined;
        for (const auto& issue : issues) {
            if (!joined.empty()) joined += kIssueSeparator;
            joined += issue;
        }
        errorText.set(std::move(joined));
        return;
    }

    platform::SaveFileRequest request;
    request.title = kExportPanelTitle;
    request.prompt = kExportPanelPrompt;
    request.proposedFileName = proposedMIDIFileName(result.value()->fileName);
    if (selectedURL.value()) request.folder = selectedURL.value()->parent_path();
    request.allowedExtension = kMIDIFileExtension;
    const auto location = filePanels().chooseFileToSave(request);
    if (!location) return;

    try {
        const auto bytes = TempoMIDIExporter::midiData(
            editableTempoPoints.value(), meterEvents.value(), barAnchors.value(), effectiveBarOneSeconds(),
            pickupBarCount.value(), timelineRegions.value(), rhythmicAnchors.value(), result.value()->durationSeconds);
        // Exporting over an earlier export keeps its permissions, and a link stays a link.
        replaceFileAtomically(*location, bytes);
    } catch (...) {
        exportStatusText.set("");
        errorText.set(Error::fromCurrentException().message);
        return;
    }
    exportStatusText.set(std::string(kExportedStatus));
    errorText.set("");
}

}  // namespace corvel::session
