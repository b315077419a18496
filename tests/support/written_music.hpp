#pragma once

// A corpus of music that other people wrote, rendered at run time from Debian packages: the
// grooves of the MMA accompaniment generator's standard library (package mma), played as short
// songs on real chord progressions at tempi around each style's own, and two game soundtracks
// written as MIDI files (openttd-openmsx, planetblupi-music-midi). Every piece is played by
// fluidsynth on one of three General MIDI soundfonts. Its truth comes from the MIDI file's tempo
// and time-signature events, with the felt beat marked by hand where the notation is plainly at
// another level of it (a march written in 4 at twice its step, a 6/8 written in quarter notes).
//
// The corpus is split by style family and by soundtrack file into a tuning half and a hold-out
// half: no groove, and no style derived from another, lies in both. Tune on the tuning half only.

#include <filesystem>
#include <string>
#include <vector>

#include "audio/test_signals.hpp"
#include "support/midi_file.hpp"
#include "support/piece_truth.hpp"

namespace corvel::bench {

enum class WrittenSource { mma, openmsx, blupi };
enum class Half { tuning, holdout };

const char* sourceName(WrittenSource source);
const char* halfName(Half half);

struct WrittenSoundfont {
    std::string name;  // short, in piece names
    std::string path;
    std::string package;
};
// The three soundfonts, in the order the pieces take them in turn.
const std::vector<WrittenSoundfont>& writtenSoundfonts();

struct WrittenPiece {
    std::string name;
    WrittenSource source = WrittenSource::mma;
    std::string genre;   // the style's kind of music; "game" for the soundtracks
    std::string family;  // the unit of the split: a style and the styles made from it, or a file
    Half half = Half::tuning;
    // MMA: the groove, the song's tempo in quarter notes per minute, its bars and their chords
    // (one a bar).
    std::string groove;
    double songTempo = 0;
    std::vector<std::string> chords;
    int transpose = 0;
    int seed = 1;  // of MMA's random timing and velocity
    // The soundtracks: the MIDI file.
    std::filesystem::path midiFile;
    WrittenSoundfont soundfont;
    // The felt beat in the file's quarter notes; 0 counts as the time signature reads (the
    // dotted quarter in 6/8, 9/8 and 12/8, else the quarter).
    double beatQuarters = 0;
    // Other honest readings, as multiples of the counted tempo (a march's written quarter, the
    // bar of a fast waltz).
    std::vector<double> alsoCountedFactors;
    double excerptSeconds = 0;  // play only this much of a long file (0: all of it)
    std::string annotation;
};

// What is left out, and why.
struct WrittenSkip {
    std::string what;
    std::string reason;
};

struct WrittenCorpus {
    std::vector<WrittenPiece> pieces;  // in a fixed order
    std::vector<WrittenSkip> skipped;
    std::vector<std::string> missingPackages;  // the pieces of these are absent
};

// The corpus from the packages installed here; the same packages give the same corpus.
WrittenCorpus writtenCorpus();

// What the corpus lacks, for a reader who wants it whole: the packages not installed and where
// to get them; empty when nothing is missing.
std::string missingPackagesText(const WrittenCorpus& corpus);

// A piece's name as a file name: letters, digits and hyphens kept, anything else an underscore.
std::string pieceFileStem(const std::string& name);

// The MMA song of a piece: what mma reads to write its MIDI file.
std::string mmaSong(const WrittenPiece& piece);

// The truth of a MIDI file as the piece counts it, up to `endSeconds` of it (0: all).
// `counted` gets the steady tempo, 0 when the tempo moves.
PieceTruth midiTruth(const MidiSummary& midi, double beatQuarters, double endSeconds, double& counted);

struct RenderedWritten {
    audio::testkit::Signal signal;
    PieceTruth truth;
    double countedBpm = 0;  // 0 when the tempo moves
    std::vector<double> alsoCounted;
};

// Writes the piece's MIDI file into the folder when it has to (MMA), reads its truth and plays
// it. Throws std::runtime_error when a program, a file or the synthesiser fails.
RenderedWritten renderWrittenPiece(const WrittenPiece& piece, const std::filesystem::path& folder);

struct WrittenFile {
    std::filesystem::path file;
    PieceTruth truth;
    double countedBpm = 0;  // 0 when the tempo moves
    std::vector<double> alsoCounted;
    double audioSeconds = 0;
};

// Renders the piece and writes it into the folder as the WAV file the analyser reads (named by
// pieceFileStem). Throws as renderWrittenPiece does.
WrittenFile writeWrittenPiece(const WrittenPiece& piece, const std::filesystem::path& folder);

}  // namespace corvel::bench
