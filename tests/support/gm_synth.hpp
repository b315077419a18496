#pragma once

// Plays a list of notes, or a Standard MIDI File, through a General MIDI soundfont, offline,
// into a stereo buffer: the accuracy benchmark's second way of rendering its corpus, with
// sampled instruments instead of the corpus's own synthesis, and the way its corpus of written
// music sounds. Built with fluidsynth when the build finds it; without it, gmSynthBuilt() says
// so and the players throw.

#include <filesystem>
#include <string>
#include <vector>

namespace corvel::bench {

// Where Debian's General MIDI soundfont lies (package fluid-soundfont-gm).
inline constexpr const char* kDefaultGmSoundfont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

struct GmNote {
    double time = 0;    // seconds from the start of the buffer
    double length = 0;  // seconds until the key is let go
    int channel = 0;    // 0..15; channel 9 (the tenth) plays the drum kit
    int bank = 0;       // the preset's bank (ignored on the drum channel)
    int program = 0;    // the preset; on the drum channel, the kit
    int key = 60;
    int velocity = 100;  // 1..127
};

bool gmSynthBuilt();

// Renders the notes at `rate` into left and right, which hold the piece's frames and are
// overwritten; notes past their end are cut. The synthesiser works in blocks of 64 frames: a
// note sounds up to one block (1.5 ms at 44.1 kHz) after its time, plus whatever silence its
// sample begins with. A note let go after the same key starts again on its channel is let go
// just before. Deterministic: the same notes give the same samples.
// One synthesiser per call: calls may run on several threads at once.
void playGmNotes(const std::vector<GmNote>& notes, const std::string& soundfont, double rate,
                 std::vector<float>& left, std::vector<float>& right);

// Plays the file as its tempo map times it, with everything it asks of the synthesiser
// (controllers, pitch bends, the soundfont's reverb and chorus), into left and right, which are
// resized: to the file's last event plus `tailSeconds`, or to `maxSeconds` when that comes first
// (0: no limit). Events fall on the synthesiser's blocks of 64 frames. Deterministic; one
// synthesiser per call, so calls may run on several threads at once.
void playMidiFile(const std::filesystem::path& file, const std::string& soundfont, double rate, double tailSeconds,
                  double maxSeconds, std::vector<float>& left, std::vector<float>& right);

}  // namespace corvel::bench
