#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "common/atomic_file.hpp"
#include "core/midi_writer.hpp"
#include "session/loading_fixture.hpp"

namespace corvel::session {
namespace {

class MidiExport : public testing::LoadingTest {
protected:
    void SetUp() override { loadSong(song120()); }

    std::vector<std::uint8_t> expectedBytes() const {
        const auto& m = model;
        return TempoMIDIExporter::midiData(m.editableTempoPoints.value(), m.meterEvents.value(), m.barAnchors.value(),
                                           m.effectiveBarOneSeconds(), m.pickupBarCount.value(),
                                           m.timelineRegions.value(), m.rhythmicAnchors.value(),
                                           m.result.value()->durationSeconds);
    }

    audio::testkit::TempFolder out{"session-export"};
};

TEST_F(MidiExport, TheEditedMapIsWrittenWhereTheUserChoosesReplacingAnOldFile) {
    model.seek(6.0);
    model.setTimeSignatureAtLocator(3, 4);
    model.statusText.set("status before");
    model.errorText.set("an earlier failure");
    const auto historySize = model.editHistory().undoEntries().size();
    const auto target = out / "Click 120_TempoMap.mid";
    writeFileAtomically(target, std::string_view("an older export"));
    panels.saveAnswer = target;

    model.exportTempoMIDI();

    ASSERT_EQ(panels.saveRequests.size(), 1u);
    const auto& request = panels.saveRequests.front();
    EXPECT_EQ(request.title, "Export Tempo MIDI");
    EXPECT_EQ(request.prompt, "Export");
    EXPECT_EQ(request.proposedFileName, "Click 120_TempoMap.mid");
    EXPECT_EQ(request.folder, songFolder());  // beside the song, wherever the last export went
    EXPECT_EQ(request.allowedExtension, "mid");
    EXPECT_TRUE(request.canCreateFolders);
    EXPECT_TRUE(request.showsExtension);

    const auto bytes = readFileBytes(target, kUnlimitedFileSize);
    EXPECT_EQ(bytes, expectedBytes());
    // Format 0, one track, 960 ticks per quarter note.
    const std::vector<std::uint8_t> head{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x03, 0xC0, 'M', 'T', 'r', 'k'};
    ASSERT_GE(bytes.size(), head.size());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + std::ptrdiff_t(head.size())), head);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 1);  // no temp file left

    EXPECT_EQ(model.exportStatusText.value(), BeatloomViewModel::kExportedStatus);
    EXPECT_EQ(model.errorText.value(), "");
    EXPECT_EQ(model.statusText.value(), "status before");
    EXPECT_EQ(model.editHistory().undoEntries().size(), historySize);

    // A later edit makes the success line stale, so it goes.
    model.addTempoPointAtLocator();
    EXPECT_EQ(model.exportStatusText.value(), "");
}

TEST_F(MidiExport, ExportingOverAFileKeepsItsPermissionsAndALinkStaysALink) {
    const auto shared = out / "exports" / "Song_TempoMap.mid";
    std::filesystem::create_directories(shared.parent_path());
    writeFileAtomically(shared, std::string_view("an older export"));
    ASSERT_EQ(::chmod(shared.c_str(), 0600), 0);
    std::filesystem::create_symlink("exports/Song_TempoMap.mid", out / "link.mid");

    for (const auto& chosen : {shared, out / "link.mid"}) {
        SCOPED_TRACE(chosen.string());
        panels.saveAnswer = chosen;
        model.exportTempoMIDI();
        EXPECT_EQ(model.errorText.value(), "");
        EXPECT_EQ(readFileBytes(shared, kUnlimitedFileSize), expectedBytes());
        struct stat info {};
        ASSERT_EQ(::stat(shared.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_TRUE(std::filesystem::is_symlink(out / "link.mid"));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared.parent_path()), {}), 1);
        writeFileAtomically(shared, std::string_view("an older export"), 0600);
    }
}

TEST_F(MidiExport, AnInvalidMapIsRefusedWithAllItsMessagesBeforeThePanel) {
    auto points = model.editableTempoPoints.value();
    points.front().bpm = 400;
    model.editableTempoPoints.set(points);
    model.meterEvents.set({BeatloomMeterEvent{Uuid::random(), 0, 4, 3}});
    setMessageLines("kept");
    const auto issues = model.tempoMapIssues();
    ASSERT_EQ(issues.size(), 2u);

    model.exportTempoMIDI();
    EXPECT_EQ(model.errorText.value(), issues[0] + " · " + issues[1]);
    EXPECT_EQ(model.statusText.value(), "status: kept");
    EXPECT_EQ(model.exportStatusText.value(), "export: kept");
    EXPECT_TRUE(panels.saveRequests.empty());
}

TEST_F(MidiExport, ACancelChangesNothingAndAFailedWriteReplacesTheSuccessLine) {
    setMessageLines("kept");
    model.exportTempoMIDI();
    ASSERT_EQ(panels.saveRequests.size(), 1u);
    EXPECT_EQ(model.errorText.value(), "error: kept");
    EXPECT_EQ(model.exportStatusText.value(), "export: kept");

    panels.saveAnswer = out / "missing folder" / "song.mid";
    model.exportTempoMIDI();
    EXPECT_EQ(model.exportStatusText.value(), "");
    EXPECT_NE(model.errorText.value(), "");
    EXPECT_NE(model.errorText.value(), "error: kept");
    EXPECT_FALSE(std::filesystem::exists(out / "missing folder"));
}

TEST_F(MidiExport, NothingHappensWithoutAnAnalysis) {
    model.resetSession();
    setMessageLines("kept");
    model.exportTempoMIDI();
    EXPECT_TRUE(panels.saveRequests.empty());
    EXPECT_EQ(model.errorText.value(), "error: kept");
}

TEST(MidiExportFileName, OnlyTheLastExtensionMakesWayForTheSuffix) {
    for (const auto& [audio, proposed] : {std::pair{"Song.wav", "Song_TempoMap.mid"},
                                          std::pair{"take.01.wav", "take.01_TempoMap.mid"},
                                          std::pair{"Song", "Song_TempoMap.mid"}}) {
        EXPECT_EQ(BeatloomViewModel::proposedMIDIFileName(audio), proposed) << audio;
    }
}

}  // namespace
}  // namespace corvel::session
