#include "support/gm_synth.hpp"

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
#include <map>
#include <mutex>
#include <utility>
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
    explicit Synth(fluid_synth_t* synth) : p(synth) {}
    Synth(Synth&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    Synth(const Synth&) = delete;
    Synth& operator=(const Synth&) = delete;
    Synth& operator=(Synth&&) = delete;
    ~Synth() {
        if (p) delete_fluid_synth(p);
    }
};

void keepQuiet(int, const char*, void*) {}

void printError(int, const char* message, void*) { std::fprintf(stderr, "soundfont synthesiser: %s\n", message); }

// The library's shared tables are built by its first synthesiser: that one is made here, alone.
// It keeps the soundfont loaded for the life of the process: the library then shares the
// soundfont's samples with every synthesiser that loads the same file, and each piece's own
// synthesiser loads it in a sixth of the time (about 0.09 s instead of 0.5 s). One keeper per
// soundfont.
struct Keeper {
    Settings settings{new_fluid_settings()};
    Synth synth{new_fluid_synth(settings.p)};
};

void initialiseOnce(const std::string& soundfont) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Keeper>> keepers;
    const std::lock_guard lock(mutex);
    if (keepers.empty()) {
        for (int level : {FLUID_WARN, FLUID_INFO, FLUID_DBG}) fluid_set_log_function(level, keepQuiet, nullptr);
        for (int level : {FLUID_PANIC, FLUID_ERR}) fluid_set_log_function(level, printError, nullptr);
    }
    auto& keeper = keepers[soundfont];
    if (keeper) return;
    keeper = std::make_unique<Keeper>();
    if (keeper->synth.p) fluid_synth_sfload(keeper->synth.p, soundfont.c_str(), 1);
}

// A synthesiser at the rate with the soundfont loaded; reverb and chorus as asked.
Synth loadedSynth(Settings& settings, const std::string& soundfont, double rate, bool effects) {
    if (!std::filesystem::is_regular_file(soundfont)) throw std::runtime_error("no soundfont at " + soundfont);
    initialiseOnce(soundfont);
    if (!settings.p) throw std::runtime_error("the soundfont synthesiser has no settings");
    fluid_settings_setnum(settings.p, "synth.sample-rate", rate);
    fluid_settings_setint(settings.p, "synth.polyphony", 1024);
    fluid_settings_setint(settings.p, "synth.reverb.active", effects ? 1 : 0);
    fluid_settings_setint(settings.p, "synth.chorus.active", effects ? 1 : 0);
    Synth synth{new_fluid_synth(settings.p)};
    if (!synth.p) throw std::runtime_error("the soundfont synthesiser did not start");
    if (fluid_synth_sfload(synth.p, soundfont.c_str(), 1) == FLUID_FAILED) {
        throw std::runtime_error("cannot load the soundfont " + soundfont);
    }
    return synth;
}

void writeFrames(fluid_synth_t* synth, std::vector<float>& left, std::vector<float>& right, std::int64_t from,
                 int count) {
    if (fluid_synth_write_float(synth, count, left.data(), int(from), 1, right.data(), int(from), 1) != FLUID_OK) {
        throw std::runtime_error("the soundfont synthesiser failed to render");
    }
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
    Settings settings{new_fluid_settings()};
    // Dry: the corpus adds its own room.
    Synth synth = loadedSynth(settings, soundfont, rate, false);

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
            writeFrames(synth.p, left, right, cursor, count);
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

void playMidiFile(const std::filesystem::path& file, const std::string& soundfont, double rate, double tailSeconds,
                  double maxSeconds, std::vector<float>& left, std::vector<float>& right) {
    Settings settings{new_fluid_settings()};
    if (settings.p) {
        // Offline: the player counts the synthesiser's frames, not the clock.
        fluid_settings_setstr(settings.p, "player.timing-source", "sample");
        fluid_settings_setint(settings.p, "synth.lock-memory", 0);
    }
    Synth synth = loadedSynth(settings, soundfont, rate, true);
    struct Player {
        fluid_player_t* p;
        ~Player() {
            if (p) delete_fluid_player(p);
        }
    } player{new_fluid_player(synth.p)};
    if (!player.p || fluid_player_add(player.p, file.c_str()) != FLUID_OK || fluid_player_play(player.p) != FLUID_OK) {
        throw std::runtime_error("the soundfont synthesiser cannot play " + file.string());
    }
    const std::int64_t limit = maxSeconds > 0 ? std::llround(maxSeconds * rate) : std::numeric_limits<std::int64_t>::max();
    const std::int64_t tail = std::llround(std::max(0.0, tailSeconds) * rate);
    constexpr int kBlock = 4096;
    left.clear();
    right.clear();
    std::int64_t cursor = 0, stop = limit;
    while (cursor < stop) {
        if (stop == limit && fluid_player_get_status(player.p) != FLUID_PLAYER_PLAYING) stop = std::min(limit, cursor + tail);
        const int count = int(std::min<std::int64_t>(stop - cursor, kBlock));
        if (count <= 0) break;
        left.resize(std::size_t(cursor + count));
        right.resize(std::size_t(cursor + count));
        writeFrames(synth.p, left, right, cursor, count);
        cursor += count;
    }
    fluid_player_stop(player.p);
}

#else

bool gmSynthBuilt() { return false; }

void playGmNotes(const std::vector<GmNote>&, const std::string&, double, std::vector<float>&, std::vector<float>&) {
    throw std::runtime_error("built without fluidsynth: no soundfont renderer");
}

void playMidiFile(const std::filesystem::path&, const std::string&, double, double, double, std::vector<float>&,
                  std::vector<float>&) {
    throw std::runtime_error("built without fluidsynth: no soundfont renderer");
}

#endif

}  // namespace corvel::bench
