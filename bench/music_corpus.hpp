#pragma once

// A corpus of synthesised musical pieces with exact ground truth, for the analysis accuracy
// benchmark. Every piece is rendered at run time from a fixed seed: drums, bass, chords and
// melody are synthesised here (no samples), played from bar patterns over a tempo map, with
// humanised timing and velocity where a band would play it. The same notes can also be played
// by the sampled instruments of a General MIDI soundfont (see Renderer). The truth is what an annotator
// would write down: the beat a musician taps, its tempo over time, the bars and their meter.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/test_signals.hpp"
#include "support/gm_synth.hpp"
#include "support/piece_truth.hpp"

namespace corvel::bench {

// How the piece reaches the analyser.
enum class Container { wav, mp3, m4a };

// A stretch of bars in one groove, its tempo ramping linearly (over its counted beats) from
// bpmStart to bpmEnd. The tempo counts the groove's tapped beat (the dotted quarter in 6/8,
// the quarter in 7/8).
struct SectionSpec {
    std::string groove;
    int bars = 8;
    double bpmStart = 120;
    double bpmEnd = 120;
    double level = 1.0;  // how hard the band plays (a quiet verse 0.6, a chorus 1)
};

struct PieceSpec {
    std::string name;
    std::vector<SectionSpec> sections;
    // What a musician counts, written down by hand: the steady tempo (0 when the tempo moves).
    // The benchmark refuses a piece whose sections disagree with it.
    double countedBpm = 0;
    // Other tempi a fair listener might tap instead (half-time feels, the bar of a fast waltz).
    // Reported on the side; the counted tempo stays the truth.
    std::vector<double> alsoCounted;
    std::string annotation;  // the annotator's note: what is counted, and what is ambiguous
    int pickupBeats = 0;     // beats of an anacrusis before bar 1
    double introSeconds = 0; // digital silence before the first note (room tone when noiseLevel > 0)
    double tailSeconds = 1.5;
    double noiseLevel = 0;   // broadband noise over everything, relative to full scale
    double reverb = 0;       // level of a room's reverberation (0.3 for a hall around a ballad)
    double drive = 0;        // saturation of a loud master (1: heavily limited)
    double jitterSeconds = 0.004;  // timing spread of the players (standard deviation)
    double rubato = 0;       // depth of the free tempo of a rubato performance (0.15 = +-15 %)
    int key = 0;             // semitones above C
    bool minor = false;
    Container container = Container::wav;
    double sampleRate = 44100;
    bool mono = false;
    std::uint32_t seed = 1;
};

struct RenderedPiece {
    audio::testkit::Signal signal;
    PieceTruth truth;
};

// The benchmark's pieces, in a fixed order. Variant 0 is the benchmark's own; every other
// variant re-seeds each piece (other jitter, melodies and noise), moves it to another key and
// scales its tempi by a factor within +-6 % (click tracks keep theirs): a check that what holds
// on the pieces tuned on holds on music like them.
std::vector<PieceSpec> musicCorpus(unsigned variant = 0);

// Who plays the pieces: the corpus's own synthesised band, or the instruments of a General
// MIDI soundfont (the same notes, timing and velocities; the same room, master and noise).
enum class Renderer { synth, gm };

struct RenderOptions {
    Renderer renderer = Renderer::synth;
    std::string soundfont;  // for Renderer::gm; empty for the system's (kDefaultGmSoundfont)
};

// The truth of a piece, without rendering its audio: the same for every renderer.
PieceTruth pieceTruth(const PieceSpec& spec);
// The piece's audio and its truth.
RenderedPiece renderPiece(const PieceSpec& spec, const RenderOptions& options = {});

}  // namespace corvel::bench
