#include "gm_synth.hpp"

#include <stdexcept>

#if CORVEL_BENCH_GM
#include <fluidsynth.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#endif

namespace corvel::bench {

#if CORVEL_BENCH_GM

namespace {

struct Settings {
    fluid_settings_t* p;
    ~Settings() { delete_fluid_settings(p); }
};
struct Synth {
    fluid_synth_t* p;
    ~Synth() { delete_fluid_synth(p); }
};

void keepQuiet(int, const char*, void*) {}

void printError(int, const char* message, void*) { std::fprintf(stderr, "soundfont synthesiser: %s\n", message); }

// The library's shared tables are built by its first synthesiser: that one is made here, alone.
// It keeps the soundfont loaded for the life of the process: the library then shares the
// soundfont's samples with every synthesiser that loads the same file, and each piece's own
// synthesiser loads it in a sixth of the time (about 0.09 s instead of 0.5 s).
struct Keeper {
    Settings settings{new_fluid_settings()};
    Synth synth{new_fluid_synth(settings.p)};
};

void initialiseOnce(const std::string& soundfont) {
    static std::once_flag once;
    static std::unique_ptr<Keeper> keeper;
    std::call_once(once, [&] {
        for (int level : {FLUID_WARN, FLUID_INFO, FLUID_DBG}) fluid_set_log_function(level, keepQuiet, nullptr);
        for (int level : {FLUID_PANIC, FLUID_ERR}) fluid_set_log_function(level, printError, nullptr);
        keeper = std::make_unique<Keeper>();
        if (keeper->synth.p) fluid_synth_sfload(keeper->synth.p, soundfont.c_str(), 1);
    });
}

struct Event {
    std::int64_t frame = 0;
    bool on = false;
    std::size_t note = 0;  // index into the notes
};

}  // namespace

bool gmSynthBuilt() { return true; }

void playGmNotes(const std::vector<GmNote>& notes, const std::string& soundfont, double rate,
                 std::vector<float>& left, std::vector<float>& right) {
    if (!std::filesystem::is_regular_file(soundfont)) throw std::runtime_error("no soundfont at " + soundfont);
    initialiseOnce(soundfont);
    Settings settings{new_fluid_settings()};
    if (!settings.p) throw std::runtime_error("the soundfont synthesiser has no settings");
    fluid_settings_setnum(settings.p, "synth.sample-rate", rate);
    fluid_settings_setint(settings.p, "synth.polyphony", 1024);
    // Dry: the corpus adds its own room.
    fluid_settings_setint(settings.p, "synth.reverb.active", 0);
    fluid_settings_setint(settings.p, "synth.chorus.active", 0);
    Synth synth{new_fluid_synth(settings.p)};
    if (!synth.p) throw std::runtime_error("the soundfont synthesiser did not start");
    if (fluid_synth_sfload(synth.p, soundfont.c_str(), 1) == FLUID_FAILED) {
        throw std::runtime_error("cannot load the soundfont " + soundfont);
    }

    const std::int64_t frames = std::int64_t(std::min(left.size(), right.size()));
    auto frameOf = [&](double seconds) { return std::max<std::int64_t>(0, std::llround(seconds * rate)); };
    // Every start and release, in time order; at one frame, releases first. A release that
    // would fall after the same key starts again moves to that start.
    std::vector<Event> events;
    events.reserve(notes.size() * 2);
    std::vector<std::size_t> order(notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) order[i] = i;
    auto keyOf = [&](std::size_t i) { return notes[i].channel * 128 + notes[i].key; };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return keyOf(a) != keyOf(b) ? keyOf(a) < keyOf(b) : frameOf(notes[a].time) < frameOf(notes[b].time);
    });
    for (std::size_t k = 0; k < order.size(); ++k) {
        const GmNote& n = notes[order[k]];
        const std::int64_t start = frameOf(n.time);
        std::int64_t end = std::max(start + 1, frameOf(n.time + n.length));
        if (k + 1 < order.size() && keyOf(order[k + 1]) == keyOf(order[k])) {
            end = std::min(end, std::max(start, frameOf(notes[order[k + 1]].time)));
        }
        events.push_back({start, true, order[k]});
        events.push_back({end, false, order[k]});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.frame != b.frame ? a.frame < b.frame : (!a.on && b.on);
    });

    std::array<int, 16> bank, program;
    bank.fill(-1);
    program.fill(-1);
    std::int64_t cursor = 0;
    auto renderTo = [&](std::int64_t frame) {
        frame = std::min(frame, frames);
        while (cursor < frame) {
            const int count = int(std::min<std::int64_t>(frame - cursor, 4096));
            if (fluid_synth_write_float(synth.p, count, left.data(), int(cursor), 1, right.data(), int(cursor), 1) !=
                FLUID_OK) {
                throw std::runtime_error("the soundfont synthesiser failed to render");
            }
            cursor += count;
        }
    };
    for (const Event& e : events) {
        if (e.frame >= frames) break;
        renderTo(e.frame);
        const GmNote& n = notes[e.note];
        const int channel = std::clamp(n.channel, 0, 15);
        const int key = std::clamp(n.key, 0, 127);
        if (!e.on) {
            fluid_synth_noteoff(synth.p, channel, key);
            continue;
        }
        const bool drums = channel == 9;
        if ((!drums && bank[std::size_t(channel)] != n.bank) || program[std::size_t(channel)] != n.program) {
            if (!drums) fluid_synth_bank_select(synth.p, channel, std::clamp(n.bank, 0, 16383));
            fluid_synth_program_change(synth.p, channel, std::clamp(n.program, 0, 127));
            bank[std::size_t(channel)] = n.bank;
            program[std::size_t(channel)] = n.program;
        }
        fluid_synth_noteon(synth.p, channel, key, std::clamp(n.velocity, 1, 127));
    }
    renderTo(frames);
}

#else

bool gmSynthBuilt() { return false; }

void playGmNotes(const std::vector<GmNote>&, const std::string&, double, std::vector<float>&, std::vector<float>&) {
    throw std::runtime_error("built without fluidsynth: no soundfont renderer");
}

#endif

}  // namespace corvel::bench
