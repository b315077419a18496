#include "music_corpus.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <stdexcept>

namespace corvel::bench {
namespace {

constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------------------------------------
// Grooves: one bar of patterns per instrument, a character per step: 'X' accent, 'x' normal,
// 'o' ghost, 'O' (bass) an octave up, '.' rest. A pattern shorter than the bar repeats.

struct Groove {
    int numerator = 4;
    int denominator = 4;
    std::vector<int> beatSteps{4, 4, 4, 4};
    std::vector<double> beatUnits{1, 1, 1, 1};  // counted beats per beat (1.5 for the long beat of 7/8)
    double swing = 0.5;                         // share of a step pair taken by its first step
    std::string kick, snare, hat, open, ride, clap, rim, shaker, bass, stab, arp, click, bursts;
    bool pad = false;
    bool walkingBass = false;
    bool sineBed = false;
    bool fills = true;
    double melody = 0;  // density of the melody line, 0 for none

    int stepsPerBar() const {
        int n = 0;
        for (int s : beatSteps) n += s;
        return n;
    }
    bool hasDrums() const { return !kick.empty() || !snare.empty() || !ride.empty(); }
};

Groove fourFour(int stepsPerBeat) {
    Groove g;
    g.beatSteps.assign(4, stepsPerBeat);
    return g;
}

Groove meter(int numerator, int denominator, std::vector<int> beatSteps, std::vector<double> beatUnits) {
    Groove g;
    g.numerator = numerator;
    g.denominator = denominator;
    g.beatSteps = std::move(beatSteps);
    g.beatUnits = std::move(beatUnits);
    return g;
}

std::map<std::string, Groove> makeGrooves() {
    std::map<std::string, Groove> all;
    {
        Groove g = fourFour(4);
        g.kick = "X.......X.x.....";
        g.snare = "....X.......X...";
        g.hat = "x.x.x.x.x.x.x.x.";
        g.bass = "x.x.x.x.x.x.x.x.";
        g.stab = "x.......x.......";
        g.melody = 0.3;
        all["rock"] = g;
        Groove chorus = g;
        chorus.kick = "X.x.....X.x...x.";
        chorus.hat.clear();
        chorus.ride = "x.x.x.x.x.x.x.x.";
        chorus.stab = "x...x...x...x...";
        chorus.pad = true;
        chorus.melody = 0.5;
        all["rockchorus"] = chorus;
        Groove three = meter(3, 4, {4, 4, 4}, {1, 1, 1});
        three.kick = "X.......X...";
        three.snare = "....X.......";
        three.hat = "x.x.x.x.x.x.";
        three.bass = "x.x.x.x.x.x.";
        three.stab = "x...........";
        three.melody = 0.3;
        all["rock34"] = three;
        Groove seven = meter(7, 8, {4, 4, 6}, {1, 1, 1.5});
        seven.kick = "X.......X.....";
        seven.snare = "....X.......X.";
        seven.hat = "x.x.x.x.x.x.x.";
        seven.bass = "x.x.x.x.x.x.x.";
        seven.stab = "x.......x.....";
        seven.melody = 0.3;
        all["rock78"] = seven;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X......xX.......";
        g.snare = "....X.......X...";
        g.clap = "....x.......x...";
        g.hat = "xoxoxoxoxoxoxoxo";
        g.bass = "x.....x.x.....x.";
        g.stab = "x...x...x...x...";
        g.pad = true;
        g.melody = 0.5;
        all["pop"] = g;
        Groove verse = g;
        verse.kick = "X.......X.......";
        verse.clap.clear();
        verse.snare = "....x.......x...";
        verse.hat = "x.x.x.x.x.x.x.x.";
        verse.stab = "x.......x.......";
        verse.pad = false;
        verse.melody = 0.6;
        all["popverse"] = verse;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X...X...X...X...";
        g.clap = "....X.......X...";
        g.shaker = "oooooooooooooooo";
        g.open = "..X...X...X...X.";
        g.bass = "..x...x...x...x.";
        g.stab = "..x.......x.....";
        g.pad = true;
        g.fills = false;
        all["house"] = g;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X...X...X...X...";
        g.snare = "....X.......X...";
        g.open = "..x...x...x...x.";
        g.hat = "x.x.x.x.x.x.x.x.";
        g.bass = "x.O.x.O.x.O.x.O.";
        g.stab = "..x...x...x...x.";
        g.pad = true;
        g.melody = 0.3;
        all["disco"] = g;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X..x..x...X..x..";
        g.snare = "....X..o.o..X..o";
        g.hat = "XoxoXoxoXoxoXoxo";
        g.bass = "X..x..x.x.O..x.x";
        g.stab = "..x..x....x..x..";
        g.swing = 0.54;
        all["funk"] = g;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X......x..X.....";
        g.snare = "....X.......X...";
        g.hat = "x.x.x.x.x.x.x.xo";
        g.bass = "x......x..x.....";
        g.stab = "x.......x.....x.";
        g.swing = 0.62;
        all["boombap"] = g;
    }
    {
        // Counted at the snare's pulse: the hats run at four times that.
        Groove g = fourFour(8);
        g.kick = "X.....x.........x.x.......x.....";
        g.snare = "........X...............X.......";
        g.hat = "x.x.x.x.x.x.x.x.x.x.x.x.xxxxx.x.";
        g.bass = "X.....x.........x.x.......x.....";
        g.pad = true;
        g.melody = 0.2;
        g.fills = false;
        all["trap"] = g;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X.....x...x.....";
        g.snare = "....X.......X...";
        g.hat = "xxxxxxxxxxxxxxxx";
        g.bass = "xxxxxxxxxxxxxxxx";
        g.pad = true;
        g.melody = 0.25;
        all["halfrock"] = g;
    }
    {
        Groove g = fourFour(3);
        g.kick = "......X.....";
        g.rim = "......X.....";
        g.hat = "x.xx.xx.xx.x";
        g.stab = "...x.....x..";
        g.bass = "x....xX..x..";
        g.melody = 0.3;
        g.fills = false;
        all["onedrop"] = g;
    }
    {
        Groove g = meter(3, 4, {2, 2, 2}, {1, 1, 1});
        g.kick = "X.....";
        g.hat = "..x.x.";
        g.bass = "X.....";
        g.stab = "..x.x.";
        g.pad = true;
        g.melody = 0.6;
        g.fills = false;
        all["waltz"] = g;
        Groove piano = g;
        piano.kick.clear();
        piano.hat.clear();
        piano.pad = false;
        piano.melody = 0.5;
        all["pianowaltz"] = piano;
    }
    {
        Groove g = meter(6, 8, {3, 3}, {1, 1});
        g.kick = "X.....";
        g.snare = "...X..";
        g.hat = "xxxxxx";
        g.bass = "X..x..";
        g.arp = "xxxxxx";
        g.melody = 0.4;
        all["sixeight"] = g;
        Groove ballad = g;
        ballad.kick.clear();
        ballad.snare.clear();
        ballad.hat.clear();
        ballad.bass = "X.....";
        all["sixeightpiano"] = ballad;
    }
    {
        Groove g = fourFour(3);
        g.ride = "X..x.xX..x.x";
        g.hat = "...x.....x..";
        g.kick = "o.....o.....";
        g.snare = ".....o....o.";
        g.bass = "x..x..x..x..";
        g.walkingBass = true;
        g.stab = "x....x......";  // the Charleston: on 1 and on the swung 8th after 2
        g.melody = 0.5;
        all["jazz"] = g;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X.........X.....";
        g.snare = "....X......oX...";
        g.hat = "x.x.x.x.x.x.x.x.";
        g.bass = "x.........x.....";
        g.pad = true;
        g.fills = false;
        all["dnb"] = g;
    }
    {
        Groove g = fourFour(4);
        g.kick = "X...x.x.X...x...";
        g.snare = "....X.......X...";
        g.hat = "x.x.x.x.x.x.x.x.";
        g.bass = "x.x.x.x.x.x.x.x.";
        g.stab = "x.......x.......";
        all["punk"] = g;
    }
    {
        Groove g = fourFour(2);
        g.bass = "X...x...";
        g.arp = "xxxxxxxx";
        g.melody = 0.5;
        g.fills = false;
        all["ballad"] = g;
    }
    {
        Groove g = fourFour(3);
        g.kick = "X.....x.....";
        g.snare = "...X.....X..";
        g.hat = "X.xx.xX.xx.x";
        g.bass = "x.xx.xx.xx.x";
        g.stab = "...x.....x..";
        g.melody = 0.3;
        all["shuffle"] = g;
        Groove soul = fourFour(3);
        soul.kick = "X.....x..x..";
        soul.snare = "...X.....X..";
        soul.hat = "xxxxxxxxxxxx";
        soul.arp = "xxxxxxxxxxxx";
        soul.bass = "X.....x..x..";
        soul.melody = 0.4;
        all["soul"] = soul;
    }
    {
        Groove g = fourFour(1);
        g.click = "Xxxx";
        g.fills = false;
        all["click"] = g;
        Groove three = meter(3, 4, {1, 1, 1}, {1, 1, 1});
        three.click = "Xxx";
        three.fills = false;
        all["click34"] = three;
        Groove bed = fourFour(1);
        bed.bursts = "xxxx";
        bed.sineBed = true;
        bed.fills = false;
        all["clickbed"] = bed;
    }
    {
        // Programmed productions: busy hats over a slow groove, loops, synth arpeggios, and the
        // sparse parts around them (a pad or a lone instrument before the beat comes in, a
        // breakdown where the drums drop out).
        Groove g = fourFour(4);
        g.kick = "X......x..X..x..";
        g.snare = "....X.......X...";
        g.hat = "XxoxXxoxXxoxXxxx";
        g.bass = "x......x..x..x..";
        g.stab = "x.......x.....x.";
        g.pad = true;
        g.fills = false;
        all["busyhats"] = g;
        Groove drop = g;  // the beat drops out: bass, chords and pad go on
        drop.kick.clear();
        drop.snare.clear();
        drop.hat.clear();
        all["busyhatsdrop"] = drop;
        // Sixteenth triplets: the hats run in triplet eighths with rolls of triplet sixteenths.
        Groove triplets = fourFour(6);
        triplets.kick = "X.........x.X.....x.....";
        triplets.snare = "......X...........X.....";
        triplets.hat = "x.x.x.x.x.x.xxx.x.x.xxxx";
        triplets.bass = "X.........x.X...........";
        triplets.pad = true;
        triplets.melody = 0.2;
        triplets.fills = false;
        all["triplethats"] = triplets;
        // A short loop and its variations: the kick pattern moves, the hats come and go.
        Groove loop = fourFour(4);
        loop.kick = "X..x..x...X..x..";
        loop.clap = "....X.......X...";
        loop.hat = "xxxxxxxxxxxxxxxx";
        loop.bass = "x..x..x...x..x..";
        loop.arp = "x.xxx.xxx.xxx.xx";
        loop.fills = false;
        all["loop"] = loop;
        Groove loopB = loop;
        loopB.kick = "X...X...X...X...";
        loopB.hat = "..x...x...x...x.";
        all["loopvar"] = loopB;
        Groove loopC = loop;
        loopC.kick.clear();
        loopC.clap = "............X.X.";
        all["loopfill"] = loopC;
        Groove loopDrop = loop;
        loopDrop.kick.clear();
        loopDrop.clap.clear();
        loopDrop.hat.clear();
        loopDrop.pad = true;
        all["loopdrop"] = loopDrop;
        // Synth-pop: sixteenth arpeggios over a plain beat.
        Groove synth = fourFour(4);
        synth.kick = "X.......X.......";
        synth.snare = "....X.......X...";
        synth.hat = "..x...x...x...x.";
        synth.bass = "x.x.x.x.x.x.x.x.";
        synth.arp = "xxxxxxxxxxxxxxxx";
        synth.melody = 0.3;
        synth.fills = false;
        all["synthpop"] = synth;
        Groove arpAlone = fourFour(4);
        arpAlone.arp = "xxxxxxxxxxxxxxxx";
        arpAlone.fills = false;
        all["arpalone"] = arpAlone;
        // Intros: a pad alone, or keys alone on a syncopated figure.
        Groove padAlone = fourFour(4);
        padAlone.pad = true;
        padAlone.fills = false;
        all["padalone"] = padAlone;
        Groove keysAlone = fourFour(4);
        keysAlone.stab = "x.....x.....x...";
        keysAlone.fills = false;
        all["keysalone"] = keysAlone;
        Groove dotted = fourFour(4);  // keys alone on a dotted-eighth figure, three against the beat
        dotted.stab = "x.....x.....x...";
        dotted.bass = "x.....x.....x...";
        dotted.fills = false;
        all["dottedkeys"] = dotted;
        Groove hatsInThrees = loop;  // the kick and clap drop out, the hats run on in threes
        hatsInThrees.kick.clear();
        hatsInThrees.clap.clear();
        hatsInThrees.hat = "x..x..x..x..x..x";
        hatsInThrees.arp.clear();
        hatsInThrees.pad = true;
        all["loophatsinthrees"] = hatsInThrees;
    }
    return all;
}

const std::map<std::string, Groove>& grooves() {
    static const std::map<std::string, Groove> all = makeGrooves();
    return all;
}

const Groove& grooveNamed(const std::string& name) {
    const auto found = grooves().find(name);
    if (found == grooves().end()) throw std::invalid_argument("no groove named " + name);
    return found->second;
}

double laneVelocity(const std::string& lane, int step) {
    if (lane.empty()) return 0;
    switch (lane[std::size_t(step) % lane.size()]) {
    case 'X':
    case 'O': return 1.0;
    case 'x': return 0.75;
    case 'o': return 0.4;
    default: return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// The timeline: every step of every bar, with its time and place.

struct Step {
    double time = 0;      // straight (unswung) start
    double duration = 0;  // straight length
    double bpm = 0;       // counted tempo over the step
    int section = 0;
    int bar = 0;          // bar within its section; -1 for the pickup bar
    int beat = 0;
    int stepInBeat = 0;
    int stepInBar = 0;
    bool lastBarOfPiece = false;
};

struct Timeline {
    std::vector<Step> steps;
    double endTime = 0;  // where the final downbeat falls
    double finalBpm = 0;
};

double rubatoFactor(double units, double depth, double phase) {
    if (depth <= 0) return 1;
    return 1 + depth * (0.65 * std::sin(2 * kPi * units / 7.7 + phase) + 0.35 * std::sin(2 * kPi * units / 2.9 + 2 * phase));
}

Timeline buildTimeline(const PieceSpec& spec) {
    Timeline timeline;
    double t = spec.introSeconds;
    double globalUnits = 0;
    const double rubatoPhase = double(spec.seed % 97) * 0.37;
    auto addStep = [&](int section, int bar, int beat, int stepInBeat, int stepInBar, double units, double bpmStart,
                       double bpmEnd, double sectionUnits, double position) {
        // Midpoint rule over the step: exact for steady tempo, within microseconds on ramps.
        const double middle = position + units / 2;
        const double ramp = sectionUnits > 0 ? std::clamp(middle / sectionUnits, 0.0, 1.0) : 0.0;
        double bpm = bpmStart + (bpmEnd - bpmStart) * ramp;
        bpm *= rubatoFactor(globalUnits + units / 2, spec.rubato, rubatoPhase);
        Step s;
        s.time = t;
        s.duration = units * 60.0 / bpm;
        s.bpm = bpm;
        s.section = section;
        s.bar = bar;
        s.beat = beat;
        s.stepInBeat = stepInBeat;
        s.stepInBar = stepInBar;
        timeline.steps.push_back(s);
        t += s.duration;
        globalUnits += units;
    };

    if (spec.pickupBeats > 0) {
        const SectionSpec& first = spec.sections.front();
        const Groove& g = grooveNamed(first.groove);
        const int beats = int(g.beatSteps.size());
        int stepInBar = 0;
        for (int b = 0; b < beats; ++b) {
            for (int k = 0; k < g.beatSteps[std::size_t(b)]; ++k, ++stepInBar) {
                if (b < beats - spec.pickupBeats) continue;
                const double units = g.beatUnits[std::size_t(b)] / g.beatSteps[std::size_t(b)];
                addStep(0, -1, b, k, stepInBar, units, first.bpmStart, first.bpmStart, 0, 0);
            }
        }
    }
    for (std::size_t si = 0; si < spec.sections.size(); ++si) {
        const SectionSpec& section = spec.sections[si];
        const Groove& g = grooveNamed(section.groove);
        double barUnits = 0;
        for (double u : g.beatUnits) barUnits += u;
        const double sectionUnits = barUnits * section.bars;
        double position = 0;
        for (int bar = 0; bar < section.bars; ++bar) {
            int stepInBar = 0;
            for (std::size_t b = 0; b < g.beatSteps.size(); ++b) {
                const double units = g.beatUnits[b] / g.beatSteps[b];
                for (int k = 0; k < g.beatSteps[b]; ++k, ++stepInBar) {
                    addStep(int(si), bar, int(b), k, stepInBar, units, section.bpmStart, section.bpmEnd, sectionUnits,
                            position);
                    position += units;
                }
            }
        }
    }
    for (auto& s : timeline.steps) {
        s.lastBarOfPiece = s.section == int(spec.sections.size()) - 1 && s.bar == spec.sections.back().bars - 1;
    }
    timeline.endTime = t;
    timeline.finalBpm = timeline.steps.empty() ? spec.sections.back().bpmEnd : timeline.steps.back().bpm;
    return timeline;
}

// The time a step is played at, with the groove's swing (the second step of a pair comes late).
double swungTime(const Step& step, const Groove& g) {
    const int stepsInBeat = g.beatSteps[std::size_t(step.beat)];
    if (g.swing == 0.5 || stepsInBeat % 2 != 0 || step.stepInBeat % 2 == 0) return step.time;
    return step.time - step.duration + 2 * step.duration * g.swing;
}

// ---------------------------------------------------------------------------------------------
// Synthesis.

class Noise {
public:
    explicit Noise(std::uint32_t seed) : state_(seed * 2654435761u + 12345u) {}
    // Uniform in -1..1.
    double next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return double(state_) / 2147483648.0 - 1.0;
    }

private:
    std::uint32_t state_;
};

class Mix {
public:
    Mix(double seconds, double rate)
        : rate_(rate), left_(std::size_t(std::max(0.0, std::ceil(seconds * rate))), 0.0f), right_(left_.size(), 0.0f) {}

    double rate() const { return rate_; }

    std::int64_t frames() const { return std::int64_t(left_.size()); }
    // Adds a sound rendered by voice(sampleIndexFromStart, secondsFromStart) -> value, panned -1..1.
    template <class Voice>
    void add(double start, double length, double gain, double pan, Voice&& voice) {
        if (!(start >= 0)) start = 0;
        const auto first = std::int64_t(std::llround(start * rate_));
        const auto count = std::int64_t(std::llround(length * rate_));
        const double gl = gain * std::sqrt(0.5 * (1 - pan));
        const double gr = gain * std::sqrt(0.5 * (1 + pan));
        for (std::int64_t i = 0; i < count && first + i < frames(); ++i) {
            const double v = voice(double(i) / rate_);
            left_[std::size_t(first + i)] += float(v * gl);
            right_[std::size_t(first + i)] += float(v * gr);
        }
    }

    std::vector<float>& left() { return left_; }
    const std::vector<float>& left() const { return left_; }
    const std::vector<float>& right() const { return right_; }
    std::vector<float>& right() { return right_; }

private:
    double rate_;
    std::vector<float> left_, right_;
};

double midiHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

struct OnePole {
    double a = 0, y = 0;
    static OnePole lowPass(double hz, double rate) { return OnePole{1 - std::exp(-2 * kPi * hz / rate), 0}; }
    double low(double x) { return y += a * (x - y); }
    double high(double x) { return x - low(x); }
};

// A sine wave by rotation, sample after sample: no sine function per sample.
class Rotor {
public:
    Rotor(double hz, double rate) : c_(std::cos(2 * kPi * hz / rate)), s_(std::sin(2 * kPi * hz / rate)) {}
    double next() {
        const double v = im_;
        const double re = re_ * c_ - im_ * s_;
        im_ = re_ * s_ + im_ * c_;
        re_ = re;
        return v;
    }

private:
    double c_, s_, re_ = 1, im_ = 0;
};

// exp(-t / seconds), sample after sample.
class Decay {
public:
    Decay(double seconds, double rate) : factor_(std::exp(-1 / (seconds * rate))) {}
    double next() {
        const double v = value_;
        value_ *= factor_;
        return v;
    }

private:
    double factor_, value_ = 1;
};

// A saw wave's phase, 0 to 1, from a given start.
class Ramp {
public:
    Ramp(double hz, double rate, double start = 0) : step_(hz / rate), phase_(start - std::floor(start)) {}
    double next() {
        const double v = phase_;
        phase_ += step_;
        if (phase_ >= 1) phase_ -= 1;
        return v;
    }

private:
    double step_, phase_;
};

// Rises linearly over attack seconds, holds, then falls linearly over release seconds after
// the note's length.
double gate(double s, double attack, double length, double release) {
    const double rise = attack > 0 ? std::min(1.0, s / attack) : 1.0;
    return rise * (s > length ? std::max(0.0, 1 - (s - length) / release) : 1.0);
}

class Band {
public:
    Band(Mix& mix, std::uint32_t seed) : mix_(mix), rate_(mix.rate()), noise_(seed) {}

    // The groove played from here on: the synthesised band sounds the same in every style.
    void style(const std::string&) {}

    void kick(double t, double vel, double tune = 1.0) {
        Decay body(0.2, rate_);
        mix_.add(t, 0.45, 0.9 * vel, 0, [&, tune](double s) {
            // The pitch falls from 166 to 46 Hz: the phase is its integral.
            const double phase = 2 * kPi * tune * (46 * s + 120 * 0.03 * (1 - std::exp(-s / 0.03)));
            const double click = s < 0.004 ? noise_.next() * (1 - s / 0.004) * 0.35 : 0;
            return std::sin(phase) * body.next() + click;
        });
    }
    void snare(double t, double vel) {
        OnePole hp = lowPass(1500);
        Rotor low(185, rate_), high(330, rate_);
        Decay tone(0.05, rate_), rattle(0.1, rate_);
        mix_.add(t, 0.3, 0.85 * vel, 0.1, [&](double) {
            return 0.5 * (low.next() + 0.5 * high.next()) * tone.next() + hp.high(noise_.next()) * rattle.next();
        });
    }
    void hat(double t, double vel, double decay) {
        OnePole hp1 = lowPass(6000), hp2 = lowPass(6000);
        Decay fade(decay, rate_);
        mix_.add(t, decay * 5, 0.3 * vel, -0.35, [&](double) { return hp2.high(hp1.high(noise_.next())) * fade.next(); });
    }
    void ride(double t, double vel) {
        OnePole hp = lowPass(4000);
        Rotor a(3120, rate_), b(4730, rate_), c(5960, rate_);
        Decay wash(0.25, rate_), ring(0.8, rate_);
        mix_.add(t, 1.4, 0.22 * vel, 0.4, [&](double s) {
            const double metal = a.next() + 0.7 * b.next() + 0.5 * c.next();
            return (0.7 * hp.high(noise_.next()) * wash.next() + 0.25 * metal * ring.next()) * gate(s, 0.002, 9, 1);
        });
    }
    void crash(double t, double vel) {
        OnePole hp = lowPass(3000);
        Decay fade(0.9, rate_);
        mix_.add(t, 2.5, 0.35 * vel, -0.5, [&](double) { return hp.high(noise_.next()) * fade.next(); });
    }
    void clap(double t, double vel) {
        OnePole hp = lowPass(900);
        mix_.add(t, 0.25, 0.45 * vel, 0.15, [&](double s) {
            const double bursts = s < 0.03 ? std::exp(-std::fmod(s, 0.01) / 0.003) : std::exp(-(s - 0.03) / 0.08);
            return hp.high(noise_.next()) * bursts;
        });
    }
    void rim(double t, double vel) {
        Rotor a(820, rate_), b(1640, rate_);
        Decay fade(0.012, rate_);
        mix_.add(t, 0.06, 0.4 * vel, 0.2,
                 [&](double) { return (a.next() + 0.6 * b.next() + 0.3 * noise_.next()) * fade.next(); });
    }
    void shaker(double t, double vel) {
        OnePole hp = lowPass(5000);
        mix_.add(t, 0.08, 0.2 * vel, 0.45, [&](double s) {
            return hp.high(noise_.next()) * (s < 0.008 ? s / 0.008 : std::exp(-(s - 0.008) / 0.02));
        });
    }
    void tom(double t, double vel, double hz) {
        Decay body(0.22, rate_);
        mix_.add(t, 0.5, 0.6 * vel, hz > 150 ? -0.3 : 0.3, [&, hz](double s) {
            const double phase = 2 * kPi * hz * (s + 0.6 * 0.02 * (1 - std::exp(-s / 0.02)));
            return std::sin(phase) * body.next() + (s < 0.003 ? 0.2 * noise_.next() : 0.0);
        });
    }
    void click(double t, bool accent) {
        Rotor tone(accent ? 1500 : 1000, rate_);
        Decay fade(0.008, rate_);
        mix_.add(t, 0.04, 0.7, 0, [&](double) { return tone.next() * fade.next(); });
    }
    void burst(double t) {
        Decay fade(0.012 / 5, rate_);
        mix_.add(t, 0.012, 0.8, 0, [&](double) { return noise_.next() * fade.next(); });
    }
    void bass(double t, double length, double note, double vel) {
        OnePole lp = lowPass(700);
        Ramp phase(midiHz(note), rate_);
        Rotor fundamental(midiHz(note), rate_);
        Decay pluck(0.25, rate_);
        mix_.add(t, length + 0.04, 0.5 * vel, 0, [&, length](double s) {
            const double saw = 2 * phase.next() - 1;
            const double env = (0.5 + 0.5 * pluck.next()) * gate(s, 0.004, length, 0.04);
            return (0.6 * lp.low(saw) + 0.5 * fundamental.next()) * env;
        });
    }
    // A struck string: slightly stretched harmonics that die away faster the higher they are.
    void piano(double t, double length, double note, double vel, double pan = 0) {
        const double hz = midiHz(note);
        const double decay = 1.2 * std::exp(-(note - 60) / 30.0);
        std::vector<Rotor> partials;
        std::vector<Decay> fades;
        for (int h = 1; h <= 7; ++h) {
            const double f = h * hz * std::sqrt(1 + 0.0004 * h * h);
            if (f > 16000) break;
            partials.emplace_back(f, rate_);
            fades.emplace_back(decay / (1 + 0.7 * (h - 1)), rate_);
        }
        mix_.add(t, length + 0.12, 0.22 * vel, pan, [&, length](double s) {
            double v = 0;
            for (std::size_t h = 0; h < partials.size(); ++h) v += partials[h].next() * fades[h].next() / double(h + 1);
            return v * gate(s, 0.002, length, 0.12);
        });
    }
    void pad(double t, double length, const std::vector<double>& notes) {
        for (double note : notes) {
            for (double detune : {-0.07, 0.0, 0.07}) {
                Ramp phase(midiHz(note + detune), rate_, (noise_.next() + 1) / 2);
                OnePole lp = lowPass(1400);
                mix_.add(t, length + 0.6, 0.035, detune * 8,
                         [&, length](double s) { return lp.low(2 * phase.next() - 1) * gate(s, 0.35, length, 0.6); });
            }
        }
    }
    void lead(double t, double length, double note, double vel) {
        const double hz = midiHz(note);
        mix_.add(t, length + 0.05, 0.16 * vel, -0.1, [&, hz, length](double s) {
            // A slight vibrato from 0.2 s on: 0.4 % of the pitch at 5.2 Hz, integrated into the phase.
            const double wobble =
                s > 0.2 ? 0.004 * (std::cos(2 * kPi * 5.2 * 0.2) - std::cos(2 * kPi * 5.2 * s)) / (2 * kPi * 5.2) : 0.0;
            const double x = std::sin(2 * kPi * hz * (s + wobble));
            // sin 3p and sin 5p from sin p.
            const double x3 = 3 * x - 4 * x * x * x;
            const double x5 = x * (5 - 20 * x * x + 16 * x * x * x * x);
            return (x + 0.25 * x3 + 0.1 * x5) * gate(s, 0.012, length, 0.05);
        });
    }
    void sineBed(double start, double length) {
        Rotor tone(220, rate_);
        mix_.add(start, length, 0.25, 0, [&](double) { return tone.next(); });
    }

private:
    OnePole lowPass(double hz) const { return OnePole::lowPass(hz, rate_); }

    Mix& mix_;
    double rate_;
    Noise noise_;
};

// Harmony: one chord per bar from a four-bar progression.
struct Chord {
    int root = 0;  // semitones above the key
    bool minor = false;
};

std::vector<Chord> progression(const PieceSpec& spec, bool jazz) {
    if (jazz) return {{2, true}, {7, false}, {0, false}, {9, true}};
    if (spec.minor) {
        static const std::vector<std::vector<Chord>> minors{{{0, true}, {8, false}, {3, false}, {10, false}},
                                                            {{0, true}, {5, true}, {8, false}, {7, false}}};
        return minors[spec.seed % minors.size()];
    }
    static const std::vector<std::vector<Chord>> majors{{{0, false}, {7, false}, {9, true}, {5, false}},
                                                        {{0, false}, {5, false}, {7, false}, {5, false}},
                                                        {{0, false}, {9, true}, {5, false}, {7, false}}};
    return majors[spec.seed % majors.size()];
}

std::vector<double> chordNotes(const PieceSpec& spec, const Chord& chord, double around, bool seventh) {
    const double root = spec.key + chord.root;
    std::vector<double> intervals{0, chord.minor ? 3.0 : 4.0, 7};
    if (seventh) intervals.push_back(chord.minor ? 10 : (chord.root == 7 ? 10 : 11));
    std::vector<double> notes;
    for (double i : intervals) {
        double n = root + i;
        while (n < around - 6) n += 12;
        while (n >= around + 6) n -= 12;
        notes.push_back(n);
    }
    std::sort(notes.begin(), notes.end());
    return notes;
}

double bassRoot(const PieceSpec& spec, const Chord& chord) {
    double n = 36 + spec.key + chord.root;
    while (n > 45) n -= 12;
    return n;
}

// The same band played by a General MIDI soundfont's instruments: the calls become notes, each
// style with the programs its players would pick, the drums on the tenth channel.
class GmPlayers {
public:
    // The piece's seed picks one of its style's line-ups.
    explicit GmPlayers(std::uint32_t seed) : pick_(std::size_t((seed * 2654435761u) >> 16)) {}

    void style(const std::string& groove) {
        // Two line-ups per style (GM programs counted from 0; kits: 0 standard, 8 room, 16 power,
        // 24 electronic, 25 drum machine, 32 jazz, 40 brushes).
        static const Lineup rock[] = {{0, 34, 29, 48, 30},   // picked bass, overdriven guitar, strings, distortion guitar
                                      {8, 33, 27, 49, 29}};  // finger bass, clean guitar, slow strings, overdriven lead
        static const Lineup punk[] = {{16, 34, 30, 48, 30}, {0, 34, 29, 48, 30}};
        static const Lineup pop[] = {{0, 33, 0, 89, 80},    // piano, warm pad, square lead
                                     {0, 38, 4, 88, 81}};   // synth bass, electric piano, saw lead
        static const Lineup house[] = {{24, 38, 4, 90, 81}, {25, 39, 0, 89, 80}};
        static const Lineup disco[] = {{0, 33, 27, 48, 61},    // clean guitar, strings, brass
                                       {24, 38, 4, 50, 62}};   // synth strings and brass
        static const Lineup funk[] = {{0, 36, 7, 48, 61},    // slap bass, clavinet, brass
                                      {8, 33, 4, 48, 65}};   // electric piano, alto sax
        static const Lineup boombap[] = {{8, 32, 4, 89, 80},    // upright bass, electric piano
                                         {0, 33, 0, 48, 11}};   // piano, vibraphone
        static const Lineup trap[] = {{25, 38, 4, 90, 80}, {24, 39, 5, 91, 81}};
        static const Lineup onedrop[] = {{0, 33, 27, 16, 16},    // guitar skank, organ
                                         {8, 33, 16, 48, 56}};   // organ skank, trumpet
        static const Lineup waltz[] = {{0, 58, 21, 48, 40},    // tuba, accordion, violin
                                       {0, 32, 0, 48, 73}};    // upright bass, piano, flute
        static const Lineup piano[] = {{0, 0, 0, 48, 0}, {0, 1, 1, 48, 1}};  // grand, bright piano
        static const Lineup sixeight[] = {{0, 32, 24, 48, 73},    // nylon guitar, flute
                                          {40, 33, 0, 48, 65}};   // brushes, piano, alto sax
        static const Lineup jazz[] = {{32, 32, 0, 48, 65},    // upright bass, piano, alto sax
                                      {40, 32, 11, 48, 56}};  // brushes, vibraphone, trumpet
        static const Lineup dnb[] = {{24, 38, 4, 89, 81}, {25, 39, 0, 90, 80}};
        static const Lineup shuffle[] = {{0, 33, 0, 16, 66},    // piano, organ, tenor sax
                                         {8, 32, 16, 48, 26}};  // organ, jazz guitar
        static const Lineup soul[] = {{0, 33, 4, 48, 65}, {8, 32, 0, 16, 66}};
        static const std::map<std::string, const Lineup*> byGroove{
            {"rock", rock},      {"rockchorus", rock},   {"rock34", rock},         {"rock78", rock},
            {"halfrock", rock},  {"punk", punk},         {"pop", pop},             {"popverse", pop},
            {"house", house},    {"disco", disco},       {"funk", funk},           {"boombap", boombap},
            {"trap", trap},      {"onedrop", onedrop},   {"waltz", waltz},         {"pianowaltz", piano},
            {"sixeight", sixeight}, {"sixeightpiano", piano}, {"jazz", jazz},      {"dnb", dnb},
            {"ballad", piano},   {"shuffle", shuffle},   {"soul", soul},
            {"busyhats", boombap}, {"busyhatsdrop", boombap}, {"triplethats", trap}, {"loop", house},
            {"loopvar", house},  {"loopfill", house},    {"loopdrop", house},      {"synthpop", pop},
            {"arpalone", pop},   {"padalone", pop},      {"keysalone", pop},       {"dottedkeys", pop},
            {"loophatsinthrees", house},
        };
        const auto found = byGroove.find(groove);
        lineup_ = found == byGroove.end() ? Lineup{} : found->second[pick_ % 2];
    }

    void kick(double t, double vel, double = 1.0) { drum(t, 0.5, 36, vel); }
    void snare(double t, double vel) { drum(t, 0.4, 38, vel); }
    void hat(double t, double vel, double decay) { drum(t, decay * 4, decay < 0.1 ? 42 : 46, vel); }
    void ride(double t, double vel) { drum(t, 1.5, 51, vel); }
    void crash(double t, double vel) { drum(t, 2.5, 49, vel); }
    void clap(double t, double vel) { drum(t, 0.4, 39, vel); }
    void rim(double t, double vel) { drum(t, 0.2, 37, vel); }
    void shaker(double t, double vel) { drum(t, 0.2, 70, vel); }
    void tom(double t, double vel, double hz) {
        // High tom down to low floor tom.
        const int key = hz > 200 ? 50 : hz > 160 ? 48 : hz > 125 ? 47 : hz > 100 ? 45 : hz > 85 ? 43 : 41;
        drum(t, 0.6, key, vel);
    }
    // Wood blocks, the high one on the accent.
    void click(double t, bool accent) { drum(t, 0.1, accent ? 76 : 77, 0.95); }
    // A short broadband tick: drumsticks struck together.
    void burst(double t) { drum(t, 0.1, 31, 1.2); }
    // The sine bed: the soundfont's sine wave (bank 8), at 220 Hz under the ticks.
    void sineBed(double start, double length) { play(start, length, kSine, 8, 80, 57, 0.45); }
    void bass(double t, double length, double note, double vel) { play(t, length, kBass, 0, lineup_.bass, note, vel); }
    void piano(double t, double length, double note, double vel, double = 0) {
        play(t, length, kKeys, 0, lineup_.keys, note, vel);
    }
    void pad(double t, double length, const std::vector<double>& notes) {
        for (double note : notes) play(t, length, kPad, 0, lineup_.pad, note, 0.5);
    }
    void lead(double t, double length, double note, double vel) { play(t, length, kLead, 0, lineup_.lead, note, vel); }

    const std::vector<GmNote>& notes() const { return notes_; }

private:
    struct Lineup {
        int kit = 0, bass = 33, keys = 0, pad = 48, lead = 80;
    };
    static constexpr int kBass = 0, kKeys = 1, kPad = 2, kLead = 3, kSine = 4, kDrums = 9;

    static int midiVelocity(double v) { return std::clamp(int(std::lround(v * 105)), 1, 127); }
    void drum(double t, double length, int key, double vel) {
        notes_.push_back({t, length, kDrums, 0, lineup_.kit, key, midiVelocity(vel)});
    }
    void play(double t, double length, int channel, int bank, int program, double note, double vel) {
        notes_.push_back({t, length, channel, bank, program, int(std::lround(note)), midiVelocity(vel)});
    }

    std::size_t pick_;
    Lineup lineup_;
    std::vector<GmNote> notes_;
};

// Plays the timeline on a band: the synthesised one or the soundfont's players, which take the
// same calls in the same order (the timing and velocity spread come from here, not from them).
template <class Players>
void renderTimeline(const PieceSpec& spec, const Timeline& timeline, Players& band) {
    std::mt19937 random(spec.seed);
    std::normal_distribution<double> jitter(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto human = [&](double t) { return t + spec.jitterSeconds * std::clamp(jitter(random), -3.0, 3.0); };
    double level = 1;  // the section's
    auto velocity = [&](double v) {
        return level * (spec.jitterSeconds > 0 ? v * std::clamp(1 + 0.08 * jitter(random), 0.7, 1.2) : v);
    };

    const auto& steps = timeline.steps;
    int melodyNote = 72 + spec.key;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        const SectionSpec& section = spec.sections[std::size_t(step.section)];
        const Groove& g = grooveNamed(section.groove);
        band.style(section.groove);
        level = section.level;
        const bool jazz = g.walkingBass;
        const auto chords = progression(spec, jazz);
        const int barIndex = std::max(step.bar, 0);
        const Chord chord = chords[std::size_t(barIndex) % chords.size()];
        const Chord nextChord = chords[std::size_t(barIndex + 1) % chords.size()];
        const double at = swungTime(step, g);
        const int k = step.stepInBar;

        // The pickup bar: a drum lead-in or melody notes on its beats.
        if (step.bar < 0) {
            if (g.hasDrums() && step.stepInBeat % 2 == 0) {
                band.snare(human(at), 0.4 + 0.4 * double(k) / double(g.stepsPerBar()));
            } else if (!g.hasDrums() && step.stepInBeat == 0) {
                band.piano(human(at), step.duration * g.beatSteps[std::size_t(step.beat)], 67 + spec.key + 2 * step.beat, 0.7, 0.1);
            }
            continue;
        }

        const bool phraseEnd = section.bars >= 4 && (step.bar % 8 == 7 || step.bar == section.bars - 1) && !step.lastBarOfPiece;
        const bool fillBeat = g.fills && g.hasDrums() && phraseEnd && step.beat == int(g.beatSteps.size()) - 1;
        if (fillBeat) {
            if (step.stepInBeat % std::max(1, g.beatSteps[std::size_t(step.beat)] / 4) == 0) {
                const double toms[] = {220, 180, 140, 110, 90, 80};
                band.tom(human(at), velocity(0.8), toms[std::min<std::size_t>(std::size_t(step.stepInBeat), 5)]);
            }
        } else {
            if (double v = laneVelocity(g.kick, k); v > 0) band.kick(human(at), velocity(v));
            if (double v = laneVelocity(g.snare, k); v > 0) band.snare(human(at), velocity(v));
            if (double v = laneVelocity(g.hat, k); v > 0) band.hat(human(at), velocity(v), 0.03);
            if (double v = laneVelocity(g.open, k); v > 0) band.hat(human(at), velocity(v), 0.15);
            if (double v = laneVelocity(g.ride, k); v > 0) band.ride(human(at), velocity(v));
            if (double v = laneVelocity(g.clap, k); v > 0) band.clap(human(at), velocity(v));
            if (double v = laneVelocity(g.rim, k); v > 0) band.rim(human(at), velocity(v));
            if (double v = laneVelocity(g.shaker, k); v > 0) band.shaker(human(at), velocity(v));
        }
        if (g.hasDrums() && step.bar % 8 == 0 && k == 0 && g.fills) band.crash(human(at), velocity(0.8));
        if (double v = laneVelocity(g.click, k); v > 0) band.click(at, v > 0.9);
        if (laneVelocity(g.bursts, k) > 0) band.burst(at);
        if (g.sineBed && i == 0) band.sineBed(0, timeline.endTime + spec.tailSeconds);

        // Notes last until the next note of their lane, at most to the bar's end.
        auto lengthToNext = [&](const std::string& lane, double cap) {
            double length = step.duration;
            for (std::size_t j = i + 1; j < steps.size() && steps[j].bar == step.bar && steps[j].section == step.section; ++j) {
                if (laneVelocity(lane, steps[j].stepInBar) > 0) break;
                length += steps[j].duration;
            }
            return std::min(length, cap) * 0.92;
        };
        if (double v = laneVelocity(g.bass, k); v > 0) {
            double note = bassRoot(spec, chord);
            if (g.walkingBass) {
                const double walk[] = {0, chord.minor ? 3.0 : 4.0, 7, 0};
                note += walk[std::min(step.beat, 3)];
                if (step.beat == 3) note = bassRoot(spec, nextChord) + (unit(random) < 0.5 ? 1 : -1);
            } else if (g.bass[std::size_t(k) % g.bass.size()] == 'O') {
                note += 12;
            }
            band.bass(human(at), lengthToNext(g.bass, 1.5), note, velocity(v));
        }
        if (double v = laneVelocity(g.stab, k); v > 0) {
            const double length = lengthToNext(g.stab, 0.6);
            for (double n : chordNotes(spec, chord, 64, jazz)) band.piano(human(at), length, n, velocity(0.6 * v), 0.25);
        }
        if (double v = laneVelocity(g.arp, k); v > 0) {
            const auto notes = chordNotes(spec, chord, 62, false);
            const double n = notes[std::size_t(k) % notes.size()] + (k / int(notes.size())) % 2 * 12;
            band.piano(human(at), step.duration * 2.5, n, velocity(0.45 * v * (step.stepInBeat == 0 ? 1.2 : 0.9)), 0.1);
        }
        if (g.pad && k == 0) {
            double barLength = 0;
            for (std::size_t j = i; j < steps.size() && steps[j].bar == step.bar && steps[j].section == step.section; ++j) {
                barLength += steps[j].duration;
            }
            band.pad(at, barLength, chordNotes(spec, chord, 60, false));
        }
        if (g.melody > 0) {
            const int stepsInBeat = g.beatSteps[std::size_t(step.beat)];
            const bool onBeat = step.stepInBeat == 0;
            const bool onHalf = stepsInBeat % 2 == 0 && step.stepInBeat == stepsInBeat / 2;
            const double p = onBeat ? g.melody : (onHalf ? g.melody * 0.5 : 0);
            if (p > 0 && unit(random) < p) {
                const auto tones = chordNotes(spec, chord, double(melodyNote), false);
                const double target = tones[std::size_t(random() % tones.size())];
                melodyNote = int(std::clamp(target + (unit(random) < 0.3 ? 2.0 : 0.0), 64.0 + spec.key, 84.0 + spec.key));
                const double length = step.duration * stepsInBeat * (onBeat ? 0.9 : 0.45);
                band.lead(human(at), length, melodyNote, velocity(0.8));
            }
        }
    }
    // The final chord on the downbeat after the last bar.
    const Groove& last = grooveNamed(spec.sections.back().groove);
    const double end = timeline.endTime;
    const auto chords = progression(spec, last.walkingBass);
    if (last.hasDrums()) {
        band.kick(end, 1.0);
        band.crash(end, 1.0);
    }
    if (!last.click.empty()) band.click(end, true);
    if (!last.bursts.empty()) band.burst(end);
    if (!last.click.empty() || !last.bursts.empty()) return;
    band.bass(end, 1.2, bassRoot(spec, chords[0]), 0.9);
    for (double n : chordNotes(spec, chords[0], 62, false)) band.piano(end, 1.4, n, 0.7);
}

}  // namespace

PieceTruth pieceTruth(const PieceSpec& spec) {
    const Timeline timeline = buildTimeline(spec);
    PieceTruth truth;
    truth.rubato = spec.rubato > 0;
    int lastSection = -1;
    for (const Step& s : timeline.steps) {
        truth.stepTimes.push_back(s.time);
        truth.stepBpm.push_back(s.bpm);
        if (s.stepInBeat == 0) truth.beats.push_back(s.time);
        if (s.bar >= 0 && s.stepInBar == 0) {
            truth.downbeats.push_back(s.time);
            const SectionSpec& section = spec.sections[std::size_t(s.section)];
            const Groove& g = grooveNamed(section.groove);
            if (truth.meters.empty() || truth.meters.back().numerator != g.numerator ||
                truth.meters.back().denominator != g.denominator) {
                truth.meters.push_back({s.time, g.numerator, g.denominator});
            }
            if (s.section != lastSection) {
                truth.map.push_back({s.time, section.bpmStart, section.bpmStart != section.bpmEnd});
                lastSection = s.section;
            }
        }
    }
    // The final downbeat is played and counted too.
    truth.beats.push_back(timeline.endTime);
    truth.downbeats.push_back(timeline.endTime);
    truth.musicStart = truth.beats.front();
    truth.musicEnd = timeline.endTime + 60.0 / timeline.finalBpm;
    truth.durationSeconds = timeline.endTime + spec.tailSeconds;
    truth.stepTimes.push_back(timeline.endTime);
    truth.stepBpm.push_back(timeline.finalBpm);
    for (std::size_t i = 1; i < truth.map.size(); ++i) {
        if (truth.map[i - 1].rampsToNext) continue;
        if (std::abs(truth.map[i].bpm - truth.map[i - 1].bpm) > 1e-9) truth.steady = false;
    }
    for (const auto& section : spec.sections) {
        if (section.bpmStart != section.bpmEnd) truth.steady = false;
    }
    if (truth.rubato) truth.steady = false;
    return truth;
}

namespace {

class DelayLine {
public:
    explicit DelayLine(std::size_t length) : buffer_(std::max<std::size_t>(length, 1), 0.0) {}
    double& current() { return buffer_[at_]; }
    void advance() { at_ = at_ + 1 == buffer_.size() ? 0 : at_ + 1; }

private:
    std::vector<double> buffer_;
    std::size_t at_ = 0;
};

// A room: four parallel feedback combs into two allpasses (the classic Schroeder design), a
// little longer on the right than on the left, about 1.6 s to die away; mixed in at `wet`.
void addReverb(std::vector<float>& samples, double rate, double wet, double stretch) {
    const double rt60 = 1.6;
    std::vector<DelayLine> combs;
    std::vector<double> gains;
    for (double ms : {29.7, 37.1, 41.1, 43.7}) {
        const double seconds = ms * stretch / 1000;
        combs.emplace_back(std::size_t(std::lround(seconds * rate)));
        gains.push_back(std::pow(10.0, -3 * seconds / rt60));
    }
    DelayLine allpass1(std::size_t(std::lround(0.005 * stretch * rate)));
    DelayLine allpass2(std::size_t(std::lround(0.0017 * stretch * rate)));
    auto allpass = [](DelayLine& line, double x) {
        const double delayed = line.current();
        const double y = -0.7 * x + delayed;
        line.current() = x + 0.7 * y;
        line.advance();
        return y;
    };
    for (float& sample : samples) {
        const double x = sample;
        double sum = 0;
        for (std::size_t c = 0; c < combs.size(); ++c) {
            const double y = combs[c].current();
            combs[c].current() = x + gains[c] * y;
            combs[c].advance();
            sum += y;
        }
        sample = float(x + wet * 0.3 * allpass(allpass2, allpass(allpass1, sum)));
    }
}

float peakOf(const Mix& mix) {
    float peak = 1e-9f;
    for (float v : mix.left()) peak = std::max(peak, std::abs(v));
    for (float v : mix.right()) peak = std::max(peak, std::abs(v));
    return peak;
}

}  // namespace

RenderedPiece renderPiece(const PieceSpec& spec, const RenderOptions& options) {
    RenderedPiece piece;
    piece.truth = pieceTruth(spec);
    const Timeline timeline = buildTimeline(spec);
    Mix mix(timeline.endTime + spec.tailSeconds, spec.sampleRate);
    if (options.renderer == Renderer::gm) {
        GmPlayers players(spec.seed);
        renderTimeline(spec, timeline, players);
        playGmNotes(players.notes(), options.soundfont.empty() ? kDefaultGmSoundfont : options.soundfont,
                    spec.sampleRate, mix.left(), mix.right());
    } else {
        Band band(mix, spec.seed);
        renderTimeline(spec, timeline, band);
    }
    if (spec.reverb > 0) {
        addReverb(mix.left(), spec.sampleRate, spec.reverb, 1.0);
        addReverb(mix.right(), spec.sampleRate, spec.reverb, 1.07);
    }
    if (spec.drive > 0) {
        // A loud master: full scale into a soft clipper.
        const double gain = 1 + 4 * spec.drive;
        const double norm = 1 / peakOf(mix);
        for (auto* channel : {&mix.left(), &mix.right()}) {
            for (float& v : *channel) v = float(std::tanh(gain * norm * v) / std::tanh(gain));
        }
    }
    const float scale = 0.89f / peakOf(mix);
    Noise noise(spec.seed ^ 0x5bd1e995u);
    OnePole tilt = OnePole::lowPass(2000, spec.sampleRate);
    auto& signal = piece.signal;
    signal.sampleRate = spec.sampleRate;
    signal.channels = 2;
    signal.interleaved.resize(mix.left().size() * 2);
    for (std::size_t i = 0; i < mix.left().size(); ++i) {
        double hiss = 0;
        if (spec.noiseLevel > 0) {
            const double white = noise.next();
            hiss = spec.noiseLevel * (0.5 * white + 1.5 * tilt.low(white));
        }
        signal.interleaved[2 * i] = float(std::clamp(double(mix.left()[i] * scale) + hiss, -1.0, 1.0));
        signal.interleaved[2 * i + 1] = float(std::clamp(double(mix.right()[i] * scale) + hiss, -1.0, 1.0));
    }
    if (spec.mono) {
        for (std::size_t i = 0; i < mix.left().size(); ++i) {
            signal.interleaved[i] = 0.5f * (signal.interleaved[2 * i] + signal.interleaved[2 * i + 1]);
        }
        signal.interleaved.resize(mix.left().size());
        signal.channels = 1;
    }
    return piece;
}

// ---------------------------------------------------------------------------------------------

std::vector<PieceSpec> musicCorpus(unsigned variant) {
    static const std::vector<PieceSpec> corpus = [] {
        std::vector<PieceSpec> c;
        auto steady = [&](std::string name, std::string groove, double bpm, int bars, std::string note) -> PieceSpec& {
            PieceSpec p;
            p.name = std::move(name);
            p.sections = {{std::move(groove), bars, bpm, bpm}};
            p.countedBpm = bpm;
            p.annotation = std::move(note);
            p.seed = std::uint32_t(c.size() * 7919 + 17);
            p.key = int(c.size() * 5 % 12);
            c.push_back(p);
            return c.back();
        };
        auto moving = [&](std::string name, std::vector<SectionSpec> sections, std::string note) -> PieceSpec& {
            PieceSpec p;
            p.name = std::move(name);
            p.sections = std::move(sections);
            p.annotation = std::move(note);
            p.seed = std::uint32_t(c.size() * 7919 + 17);
            p.key = int(c.size() * 5 % 12);
            c.push_back(p);
            return c.back();
        };
        auto machine = [](PieceSpec& p) { p.jitterSeconds = 0; };

        // Plain clicks: the exact readings.
        machine(steady("click-90", "click", 90, 16, "metronome, accented downbeats; counted 90"));
        machine(steady("click-124", "click", 124, 20, "metronome; counted 124"));
        machine(steady("click-128", "click", 128, 20, "metronome; counted 128"));
        machine(steady("click-124-sine-bed", "clickbed", 124, 20, "noise-burst clicks over a steady 220 Hz sine"));
        machine(steady("click-60-three-four", "click34", 60, 12, "slow 3/4 metronome; counted 60"));

        // Steady songs.
        moving("rock-120", {{"rock", 8, 120, 120, 0.7}, {"rockchorus", 8, 120, 120}, {"rock", 8, 120, 120, 0.7},
                            {"rockchorus", 8, 120, 120}},
               "straight 8th rock, snare on 2 and 4, quieter verses and ride choruses; counted 120")
            .countedBpm = 120;
        steady("rock-96-noisy", "rock", 96, 22, "rock under loud hiss; counted 96").noiseLevel = 0.12;
        PieceSpec& rockPickup = steady("rock-140-pickup", "rock", 140, 32, "one-beat snare pickup into bar 1; counted 140");
        rockPickup.pickupBeats = 1;
        rockPickup.minor = true;
        moving("pop-100", {{"popverse", 8, 100, 100, 0.6}, {"pop", 8, 100, 100}, {"popverse", 4, 100, 100, 0.6},
                           {"pop", 8, 100, 100}},
               "pop, sparse verses, choruses with 16th hats and claps on 2 and 4; counted 100")
            .countedBpm = 100;
        PieceSpec& popSilent = steady("pop-112-silent-intro", "pop", 112, 22, "8 s of digital silence before the band; counted 112");
        popSilent.introSeconds = 8;
        popSilent.tailSeconds = 6;
        PieceSpec& pop128 = steady("pop-128", "pop", 128, 30, "bright pop, loud master; counted 128");
        pop128.minor = true;
        pop128.drive = 0.8;
        machine(steady("house-124", "house", 124, 30, "four-on-the-floor, open hats off the beat; counted 124 (the kick)"));
        PieceSpec& houseNoisy = steady("house-126-noisy", "house", 126, 26, "house under hiss; counted 126");
        machine(houseNoisy);
        houseNoisy.noiseLevel = 0.08;
        steady("disco-116", "disco", 116, 24, "disco, octave bass, open hats off the beat; counted 116");
        steady("funk-104", "funk", 104, 22, "syncopated 16th funk, slight swing; counted 104");
        steady("funk-92", "funk", 92, 22, "slower syncopated funk; counted 92").minor = true;
        steady("boombap-88", "boombap", 88, 22, "swung boom bap, snare on 2 and 4; counted 88");
        steady("boombap-94", "boombap", 94, 24, "swung boom bap; counted 94").minor = true;
        PieceSpec& trap = steady("trap-70", "trap", 70, 16,
                                 "half-time trap: one snare per bar of the 140 the producer set; a listener nods "
                                 "at 70 with the snare on 2 and 4 of that count (140 is the other honest reading)");
        machine(trap);
        trap.drive = 0.6;
        trap.alsoCounted = {140};
        steady("halftime-rock-76", "halfrock", 76, 20,
               "half-time rock feel: hats and bass pump 8ths of 152, snare on 2 and 4 of 76; counted 76 (152 is "
               "what the band might count)")
            .alsoCounted = {152};
        steady("reggae-one-drop-74", "onedrop", 74, 18,
               "one drop: kick and rim on 3 only, skank on 2 and 4, triplet hats; counted 74 (some count 148)")
            .alsoCounted = {148};
        steady("waltz-138", "waltz", 138, 30, "3/4 waltz, oom-pah-pah; counted the quarter, 138 (the bar, 46, "
                                              "is also tapped)")
            .alsoCounted = {46};
        steady("piano-waltz-96", "pianowaltz", 96, 24, "solo piano waltz in a hall, no drums; counted 96").reverb = 0.35;
        steady("six-eight-66", "sixeight", 66, 28, "6/8 ballad with drums: counted the dotted quarter, 66 (eighths at 198)");
        PieceSpec& sixEightPiano = steady("six-eight-piano-56", "sixeightpiano", 56, 24,
                                          "6/8 piano arpeggios in a hall, no drums: counted the dotted quarter, 56");
        sixEightPiano.minor = true;
        sixEightPiano.reverb = 0.3;
        steady("seven-eight-140", "rock78", 140, 32,
               "7/8 grouped 2+2+3: counted quarters, 140 (eighths at 280); the third beat is 1.5 quarters long");
        steady("jazz-swing-160", "jazz", 160, 36, "ride swing, walking bass, hat on 2 and 4, in a room; counted 160").reverb = 0.2;
        steady("jazz-swing-208", "jazz", 208, 36, "up-tempo swing; counted 208 (the half-note 104 is what some tap)")
            .alsoCounted = {104};
        PieceSpec& dnb = steady("dnb-174", "dnb", 174, 36, "drum and bass two-step; counted 174 (many nod at 87)");
        machine(dnb);
        dnb.alsoCounted = {87};
        dnb.drive = 0.7;
        moving("punk-188", {{"punk", 16, 188, 188, 0.8}, {"rockchorus", 8, 188, 188}, {"punk", 16, 188, 188}},
               "fast punk 8ths with a ride chorus; counted 188")
            .countedBpm = 188;
        steady("ballad-piano-68", "ballad", 68, 15, "solo piano ballad in a hall, 8th arpeggios, no drums; counted 68").reverb = 0.4;
        PieceSpec& balladPickup = steady("ballad-piano-76-pickup-silent-tail", "ballad", 76, 18,
                                         "solo piano, two-beat pickup, 7 s silent tail; counted 76");
        balladPickup.pickupBeats = 2;
        balladPickup.tailSeconds = 7;
        steady("shuffle-blues-112", "shuffle", 112, 26, "triplet shuffle; counted 112");
        PieceSpec& soul = steady("soul-12-8-62", "soul", 62, 13, "slow 12/8 soul with reverb: counted the dotted quarter, 62 (triplets at 186)");
        soul.minor = true;
        soul.reverb = 0.25;
        steady("rock-78", "rock", 78, 18, "slow rock; counted 78");
        steady("pop-84-pickup", "pop", 84, 20, "slow pop; counted 84").pickupBeats = 1;
        PieceSpec& disco = steady("disco-132-hiss", "disco", 132, 32, "disco under hiss, loud master; counted 132");
        disco.noiseLevel = 0.05;
        disco.drive = 0.5;
        steady("rock-108-48k", "rock", 108, 26, "rock at a sample rate of 48 kHz; counted 108").sampleRate = 48000;
        steady("pop-118-mono", "pop", 118, 28, "pop in a mono file; counted 118").mono = true;

        // One counted tempo through a change of texture.
        moving("pop-piano-intro-then-band-102", {{"ballad", 8, 102, 102}, {"pop", 20, 102, 102}},
               "eight bars of solo piano, then the band comes in; counted 102 throughout")
            .countedBpm = 102;
        PieceSpec& breakdown = moving("house-breakdown-125",
                                      {{"house", 12, 125, 125}, {"ballad", 8, 125, 125}, {"house", 12, 125, 125}},
                                      "house with an 8-bar breakdown of piano alone; counted 125 throughout");
        breakdown.countedBpm = 125;
        machine(breakdown);

        // Meter changes at one counted tempo.
        moving("meter-4-3-4-at-110",
               {{"rock", 8, 110, 110}, {"rock34", 8, 110, 110}, {"rock", 8, 110, 110}},
               "4/4, then 3/4, then 4/4 at one quarter of 110")
            .countedBpm = 110;
        moving("meter-7-8-and-4-4-at-150",
               {{"rock", 8, 150, 150}, {"rock78", 8, 150, 150}, {"rock", 6, 150, 150}, {"rock78", 6, 150, 150}},
               "4/4 and 7/8 alternating at one quarter of 150")
            .countedBpm = 150;

        // Tempo maps.
        moving("step-100-120", {{"pop", 12, 100, 100}, {"pop", 14, 120, 120}}, "pop jumping from 100 to 120 at bar 13");
        moving("step-90-120-90", {{"rock", 8, 90, 90}, {"rock", 12, 120, 120}, {"rock", 8, 90, 90}},
               "rock: 90, a chorus at 120, back to 90");
        machine(moving("step-house-122-128", {{"house", 16, 122, 122}, {"house", 16, 128, 128}},
                       "a DJ-style jump from 122 to 128"));
        moving("step-funk-96-108", {{"funk", 10, 96, 96}, {"funk", 10, 108, 108}}, "funk stepping up");
        moving("ramp-accelerando-80-124", {{"rock", 6, 80, 80}, {"rock", 12, 80, 124}, {"rock", 8, 124, 124}},
               "rock held at 80, accelerating to 124 over 12 bars, held");
        moving("ramp-ritardando-132-96", {{"pop", 10, 132, 132}, {"pop", 10, 132, 96}, {"pop", 4, 96, 96}},
               "pop slowing from 132 to 96 over 10 bars");
        moving("ramp-jazz-140-200", {{"jazz", 8, 140, 140}, {"jazz", 16, 140, 200}, {"jazz", 10, 200, 200}},
               "swing pushing from 140 to 200");
        moving("ballad-final-ritardando", {{"ballad", 14, 72, 72}, {"ballad", 4, 72, 50}},
               "piano ballad with a ritardando over the last four bars");
        moving("meter-and-tempo-4-4-120-to-6-8-80",
               {{"rock", 12, 120, 120}, {"sixeight", 12, 80, 80}, {"rock", 8, 120, 120}},
               "4/4 at 120, then 6/8 with the eighth unchanged (dotted quarter 80), then back");

        // Rubato.
        PieceSpec& rubato = moving("rubato-piano", {{"ballad", 20, 66, 66}},
                                   "free solo piano around 66, breathing +-15 % with held phrase ends; the chords "
                                   "fall on the beats, so the beats are exact");
        rubato.rubato = 0.15;
        rubato.reverb = 0.3;
        rubato.jitterSeconds = 0.008;

        // Productions that hold one tempo through busy hats, loops and sparse parts.
        const auto held = [&](std::string name, std::vector<SectionSpec> sections, double bpm,
                              std::string note) -> PieceSpec& {
            PieceSpec& p = moving(std::move(name), std::move(sections), std::move(note));
            p.countedBpm = bpm;
            return p;
        };
        steady("busy-hats-92", "busyhats", 92, 24, "programmed hip-hop, accented sixteenth hats; counted 92");
        machine(held("busy-hats-87-drum-breakdown",
                     {{"busyhats", 8, 87, 87}, {"busyhatsdrop", 4, 87, 87}, {"busyhats", 10, 87, 87}}, 87,
                     "sixteenth hats, then four bars without drums, then the beat again; counted 87"));
        held("busy-hats-102-pad-intro", {{"padalone", 5, 102, 102}, {"busyhats", 20, 102, 102}}, 102,
             "a pad alone for five bars (12 s), then the beat; counted 102 throughout");
        steady("triplet-hats-94", "triplethats", 94, 22, "hats in triplet eighths with triplet rolls; counted 94");
        held("triplet-hats-90-keys-intro", {{"keysalone", 4, 90, 90}, {"triplethats", 18, 90, 90}}, 90,
             "four bars of syncopated keys alone (11 s), then triplet hats; counted 90");
        {
            std::vector<SectionSpec> loops;
            const char* order[] = {"loop", "loopvar", "loop", "loopfill", "loop", "loopvar", "loop", "loop"};
            for (int round = 0; round < 2; ++round) {
                for (const char* name : order) loops.push_back({name, 2, 134, 134});
            }
            machine(held("loop-134-variations", std::move(loops), 134,
                         "a two-bar loop, its kick and hats varied every other time round; counted 134"));
        }
        {
            std::vector<SectionSpec> loops;
            for (int bar = 0; bar < 28; ++bar) loops.push_back({bar % 4 == 3 ? "loopvar" : "loop", 1, 140, 140});
            held("loop-140-one-bar", std::move(loops), 140, "a one-bar loop, every fourth bar varied; counted 140");
        }
        machine(held("loop-138-drum-breakdown",
                     {{"loop", 8, 138, 138}, {"loopdrop", 4, 138, 138}, {"loop", 4, 138, 138}, {"loopvar", 4, 138, 138},
                      {"loop", 8, 138, 138}},
                     138, "a loop whose drums drop out for four bars; counted 138"));
        held("loop-131-pad-intro-breakdown",
             {{"padalone", 6, 131, 131}, {"loop", 12, 131, 131}, {"loopdrop", 4, 131, 131}, {"loop", 12, 131, 131}},
             131, "a pad alone for six bars (11 s), the loop, a breakdown without drums, the loop; counted 131");
        steady("synth-arp-124", "synthpop", 124, 28, "synth-pop, sixteenth arpeggios over a plain beat; counted 124");
        held("synth-arp-112-arp-intro", {{"arpalone", 6, 112, 112}, {"synthpop", 20, 112, 112}}, 112,
             "the arpeggio alone for six bars (13 s), then the band; counted 112");
        held("busy-hats-96-dotted-keys-intro", {{"dottedkeys", 5, 96, 96}, {"busyhats", 20, 96, 96}}, 96,
             "keys and bass alone on a dotted-eighth figure for five bars (12.5 s), then the beat; counted 96");
        machine(held("loop-136-breakdown-hats-in-threes",
                     {{"loop", 8, 136, 136}, {"loophatsinthrees", 4, 136, 136}, {"loop", 12, 136, 136}}, 136,
                     "a loop whose breakdown keeps only hats in threes over a pad; counted 136"));

        // Compressed copies.
        auto copy = [&](const std::string& of, Container container, const std::string& suffix) {
            const auto found = std::find_if(c.begin(), c.end(), [&](const PieceSpec& p) { return p.name == of; });
            if (found == c.end()) throw std::logic_error("no piece named " + of);
            PieceSpec p = *found;
            p.name += suffix;
            p.container = container;
            c.push_back(p);
        };
        copy("rock-120", Container::mp3, ".mp3");
        copy("pop-100", Container::m4a, ".m4a");
        copy("house-124", Container::mp3, ".mp3");
        copy("jazz-swing-160", Container::m4a, ".m4a");
        copy("six-eight-66", Container::mp3, ".mp3");
        copy("step-100-120", Container::m4a, ".m4a");
        return c;
    }();
    if (variant == 0) return corpus;
    std::vector<PieceSpec> varied = corpus;
    for (PieceSpec& p : varied) {
        // A compressed copy varies as its source does.
        const std::string source = p.name.substr(0, p.name.find('.'));
        std::seed_seq seeds(source.begin(), source.end());
        std::mt19937 random(seeds);
        random.discard(variant);
        const std::uint32_t draw = random() ^ variant * 2654435761u;
        p.seed ^= draw;
        p.key = int((unsigned(p.key) + draw % 11 + 1) % 12);
        if (p.name.rfind("click", 0) == 0) continue;
        const double factor = 0.94 + 0.12 * double(random() % 10001) / 10000.0;
        for (auto& section : p.sections) {
            section.bpmStart *= factor;
            section.bpmEnd *= factor;
        }
        p.countedBpm *= factor;
        for (double& bpm : p.alsoCounted) bpm *= factor;
    }
    return varied;
}

}  // namespace corvel::bench
