// Analysis accuracy: renders the synthesised corpus (bench/music_corpus.cpp), the corpus of
// written music (tests/support/written_music.hpp: MMA grooves and two game soundtracks played on
// three soundfonts), or both, into a temp folder, runs every piece through the whole-file
// analysis the editor uses (decoding included) and scores the result against the truth. The
// written music is reported in its two halves, tuning and hold-out, apart from the synthesised
// corpus: tune on the tuning half only.
//
// Targets:
// - Acc1 >= 0.95: the main tempo within 4 % of the counted tempo, over the steady pieces;
// - map local tempo >= 0.95: the share of the music's duration where the detected map's local
//   tempo is within 4 % of the counted local tempo, over the pieces whose tempo moves (steps,
//   ramps, meter changes that change the counted beat);
// - beat F-measure >= 0.93 (+-70 ms, one detected beat per counted beat), over all pieces;
// - the steady click tracks at 90, 124 and 128 BPM read within 0.05 BPM.
// Reported alongside, for information:
// - Acc2: Acc1 also accepting 2x, 3x, 1/2 and 1/3 of the counted tempo;
// - Acc1 also accepting the other readings the annotator noted for a piece (half-time feels);
// - map local tempo over all pieces;
// - the beat F-measure leaving out detected beats before the first or after the last counted
//   beat (those in silent intros and tails);
// - the share of pieces whose first meaningful audio lies within 0.1 s of their first note;
// - the analysis time per minute of audio: the CPU time of all threads while the pieces are
//   analysed (every file is written beforehand), and the wall time piece by piece, which is the
//   single-piece figure with --jobs 1.
// - how many steady pieces were given a tempo map (more than one tempo point);
// - calibration: per piece the analyser's confidence, `ambiguous` and `reliable` and whether it
//   was right (steady pieces: Acc1; pieces whose tempo moves: map local tempo >= 0.9), and the
//   share right among the pieces it gave a confidence of 0.8 or more.
// The worst pieces close the report.
//
// The music's duration runs from its first counted beat to one beat after its last: silent
// intros and tails count for nothing, but beats placed in them count as false detections. No
// beats are trimmed from the start of a piece before scoring.
//
//   corvel_analysis_accuracy_bench [--corpus synth|written|all] [--half tuning|holdout] [--jobs N]
//                                  [--variant N] [--renderer R] [--results FILE [--levels]] [--list] [NAME-FILTER]
//   corvel_analysis_accuracy_bench [--variant N] [--renderer R] --dump NAME PATH   (the file, and PATH.truth.txt)
// --corpus chooses the pieces (synth, the default: the synthesised corpus; written: both halves of
// the written music; all: everything); --half keeps one half of the written music.
// --results FILE writes one JSON object per piece (JSON lines): name, half, source, truth tempo,
// detected tempo, the analyser's candidates, confidence, ambiguous, reliable, right or wrong and
// the scores; for fitting the analyser's decisions on the tuning half. With --levels each line
// also holds the candidate metrical levels the analyser chose among with the features it scored
// them on, and the analyser's consensus figures: the input of bench/fit_level_weights.py.
// --variant N renders the same pieces re-seeded, in other keys and at tempi within +-6 %: music
// like the corpus that was not tuned on.
// --renderer gm plays the same notes on the sampled instruments of a General MIDI soundfont
// (--soundfont PATH, by default the system's) instead of the corpus's own synthesis: the truth
// is the same. Only in a build that found fluidsynth.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <nlohmann/json.hpp>

#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"
#include "music_corpus.hpp"
#include "support/written_music.hpp"

namespace {

using namespace corvel;
using namespace corvel::bench;

constexpr double kClickTolerance = 0.05;
constexpr double kFirstSoundToleranceSeconds = 0.1;
// Pieces reported at least this confident should be right.
constexpr double kConfident = 0.8;
// A piece whose tempo moves is read right when its map holds the counted tempo this much of the time.
constexpr double kMapRight = 0.9;

std::string bpmText(double bpm) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.5g", bpm);
    return buffer;
}

const char* extension(Container container) {
    switch (container) {
    case Container::mp3: return ".mp3";
    case Container::m4a: return ".m4a";
    case Container::wav: break;
    }
    return ".wav";
}

// Writes the piece as the analyser will read it; returns the file.
std::filesystem::path writePiece(Container container, const audio::testkit::Signal& signal,
                                 const std::filesystem::path& target) {
    if (container == Container::wav) {
        audio::testkit::writeWav(target, signal);
        return target;
    }
    std::filesystem::path wav = target;
    wav += ".source.wav";
    audio::testkit::writeWav(wav, signal);
    if (container == Container::m4a) {
        audio::testkit::makeM4a(wav, target);
    } else if (!audio::testkit::makeMp3(wav, target)) {
        std::filesystem::remove(wav);
        throw std::runtime_error("ffmpeg has no MP3 encoder here");
    }
    std::filesystem::remove(wav);
    return target;
}

// The beats half-way between the counted ones: where a grid locked on the off-beat lies.
std::vector<double> offBeats(const std::vector<double>& beats) {
    std::vector<double> off;
    for (std::size_t i = 1; i < beats.size(); ++i) off.push_back((beats[i - 1] + beats[i]) / 2);
    return off;
}

// One piece of either corpus, as the benchmark runs it.
struct BenchPiece {
    std::string name;
    std::string group;   // "synthesised", or the written music's half: "tuning", "holdout"
    std::string source;  // "synth", or the written music's source
    std::string genre;   // the written music's kind of music
    std::string annotation;
    const PieceSpec* spec = nullptr;
    const WrittenPiece* written = nullptr;
};

struct Score {
    // Written before the analysis.
    PieceTruth truth;
    double countedBpm = 0;  // 0 when the tempo moves
    std::vector<double> alsoCounted;
    std::filesystem::path file;
    double audioSeconds = 0;
    // The analysis and its scores.
    bool analysed = false;
    std::string error;
    BeatloomResult result;
    double wallSeconds = 0;
    bool acc1 = false;
    bool acc2 = false;
    bool acc1Noted = false;  // also accepting the annotator's alternatives
    double localAccuracy = 0;
    double beatF = 0;
    double beatFInside = 0;  // the detected beats before the first and after the last counted one left out
    double offBeatF = 0;
    double medianRatio = 0;  // detected over counted local tempo, median over the music
    bool firstSoundFound = false;  // the first meaningful audio lies at the first note
    bool barOneFound = false;      // the editor's Bar 1 (the first beat) lies on the first counted downbeat
    bool right = false;            // steady: Acc1; moving: the map right most of the time
    nlohmann::json levels;         // with --levels: the candidate levels and the figures they are fitted with
};

// The candidate metrical levels the analyser chose among, as it scored them (the file analysed
// once more, on its features), with the figures the confidence is fitted on. Their factors
// count from the tempo before the level moved it.
nlohmann::json levelEvidence(const Score& score) {
    using A = analysis::ORVAudioMusicAnalyzer;
    const auto features = A::decodeFeatureEnvelopes(score.file);
    analysis::ORVLevelTrace trace;
    const auto m = A::analyzeFeatures(features, analysis::ORVWorkerPool(1), {}, &trace);
    if (m.bpm != score.result.bpm) {
        std::fprintf(stderr, "levels of %s: analysed again at %.2f BPM, not %.2f\n", score.file.c_str(), m.bpm,
                     score.result.bpm);
    }
    std::vector<std::span<const double>> envelopes(features.featureEnvelopes.begin(), features.featureEnvelopes.end());
    envelopes.push_back(features.consensusEnvelope);
    const auto candidates =
        A::consensusCandidates(std::span<const std::span<const double>>(envelopes), true, features.frameSeconds);
    nlohmann::json out;
    // The counted tempo over the one the levels were measured from: the level factor that would
    // be right. A moving piece's detected map lies at the chosen level.
    const double chosen = trace.choice.factor;
    const double ratio = score.truth.steady ? score.countedBpm / trace.tempo
                                            : (score.medianRatio > 0 ? chosen / score.medianRatio : 0);
    out["truth_ratio"] = ratio;
    out["tempo"] = trace.tempo;
    out["chosen_factor"] = chosen;
    out["agreement"] = m.featureAgreement;
    out["stability"] = m.trackingStability;
    out["top_score"] = candidates.empty() ? 0.0 : candidates.front().score;
    nlohmann::json levels = nlohmann::json::array();
    for (const auto& level : trace.levels) {
        levels.push_back({{"factor", level.factor}, {"bpm", level.bpm}, {"score", level.score}, {"x", level.features}});
    }
    out["levels"] = levels;
    return out;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs work(0) ... work(count - 1) on up to `jobs` threads, reporting progress on stderr.
void runOnWorkers(unsigned jobs, std::size_t count, const char* doing, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    std::mutex printing;
    std::size_t done = 0;
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < std::min<std::size_t>(jobs, count); ++w) {
        workers.emplace_back([&] {
            for (std::size_t k = next++; k < count; k = next++) {
                work(k);
                const std::lock_guard lock(printing);
                std::fprintf(stderr, "\r%zu/%zu %s", ++done, count, doing);
            }
        });
    }
    for (auto& w : workers) w.join();
    std::fprintf(stderr, "\n");
}

void scorePiece(Score& score) {
    const PieceTruth& truth = score.truth;
    const BeatloomResult& r = score.result;
    if (truth.steady) {
        score.acc1 = withinTempo(r.bpm, score.countedBpm);
        score.acc2 = withinAnyLevel(r.bpm, score.countedBpm);
        score.acc1Noted = score.acc1 || std::any_of(score.alsoCounted.begin(), score.alsoCounted.end(),
                                                    [&](double bpm) { return withinTempo(r.bpm, bpm); });
    }
    score.localAccuracy = localTempoAccuracy(truth, r);
    std::vector<double> ratios;
    for (double t = truth.musicStart; t < truth.musicEnd; t += 0.02) {
        const double counted = truth.localBpm(t);
        ratios.push_back(counted > 0 ? detectedLocalBpm(r, t) / counted : 0);
    }
    if (!ratios.empty()) {
        std::nth_element(ratios.begin(), ratios.begin() + std::ptrdiff_t(ratios.size() / 2), ratios.end());
        score.medianRatio = ratios[ratios.size() / 2];
    }
    score.beatF = beatFMeasure(truth.beats, r.beatPositionsSeconds);
    std::vector<double> inside;
    for (double b : r.beatPositionsSeconds) {
        if (b >= truth.beats.front() - kBeatWindowSeconds && b <= truth.beats.back() + kBeatWindowSeconds) inside.push_back(b);
    }
    score.beatFInside = beatFMeasure(truth.beats, inside);
    score.firstSoundFound = r.firstMeaningfulAudioSeconds &&
                            std::abs(*r.firstMeaningfulAudioSeconds - truth.musicStart) <= kFirstSoundToleranceSeconds;
    score.offBeatF = beatFMeasure(offBeats(truth.beats), r.beatPositionsSeconds);
    score.barOneFound = !truth.downbeats.empty() && !r.beatPositionsSeconds.empty() &&
                        std::abs(r.beatPositionsSeconds.front() - truth.downbeats.front()) <= kBeatWindowSeconds;
    score.right = truth.steady ? score.acc1 : score.localAccuracy >= kMapRight;
}

void preparePiece(const BenchPiece& piece, const RenderOptions& options, const std::filesystem::path& folder,
                  Score& score) {
    try {
        if (piece.spec) {
            RenderedPiece rendered = renderPiece(*piece.spec, options);
            score.truth = std::move(rendered.truth);
            score.countedBpm = piece.spec->countedBpm;
            score.alsoCounted = piece.spec->alsoCounted;
            score.audioSeconds = double(rendered.signal.frames()) / rendered.signal.sampleRate;
            std::filesystem::path file = folder / pieceFileStem(piece.name);
            file += extension(piece.spec->container);
            score.file = writePiece(piece.spec->container, rendered.signal, file);
        } else {
            WrittenFile written = writeWrittenPiece(*piece.written, folder);
            score.truth = std::move(written.truth);
            score.countedBpm = written.countedBpm;
            score.alsoCounted = std::move(written.alsoCounted);
            score.audioSeconds = written.audioSeconds;
            score.file = std::move(written.file);
        }
    } catch (const std::exception& e) {
        score.error = e.what();
    }
}

// Analyses the piece's file as the editor does and scores it; the file stays for
// measureLevels when the levels are asked for.
void analysePiece(Score& score, bool keepFile) {
    if (score.file.empty()) return;
    try {
        const auto wall0 = std::chrono::steady_clock::now();
        score.result = analysis::ORVAudioMusicAnalyzer::analyzedFile(score.file);
        score.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        score.analysed = true;
        scorePiece(score);
    } catch (const ErrorException& e) {
        score.error = e.error().message;
    } catch (const std::exception& e) {
        score.error = e.what();
    }
    std::error_code ignored;
    if (!keepFile) std::filesystem::remove(score.file, ignored);
}

// The candidate levels of an analysed piece (outside the timed analysis), then its file goes.
void measureLevels(Score& score) {
    if (score.file.empty()) return;
    try {
        if (score.analysed) score.levels = levelEvidence(score);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "levels of %s: %s\n", score.file.c_str(), e.what());
    }
    std::error_code ignored;
    std::filesystem::remove(score.file, ignored);
}

std::string truthMapText(const PieceTruth& truth) {
    std::string text;
    char buffer[64];
    for (std::size_t i = 0; i < truth.map.size(); ++i) {
        const auto& p = truth.map[i];
        // Sections that only change the groove or the meter leave the tempo as it was.
        if (i > 0 && !truth.map[i - 1].rampsToNext && !p.rampsToNext && p.bpm == truth.map[i - 1].bpm) continue;
        std::snprintf(buffer, sizeof buffer, "%s%.1fs %.1f%s", text.empty() ? "" : " ", p.timeSeconds, p.bpm,
                      p.rampsToNext ? "/" : "");
        text += buffer;
    }
    return text;
}

std::string detectedMapText(const BeatloomResult& r) {
    std::string text;
    char buffer[64];
    const std::size_t shown = std::min<std::size_t>(r.tempoPoints.size(), 6);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto& p = r.tempoPoints[i];
        std::snprintf(buffer, sizeof buffer, "%s%.1fs %.2f%s", text.empty() ? "" : " ", p.timeSeconds, p.bpm,
                      p.linearToNext ? "/" : "");
        text += buffer;
    }
    if (r.tempoPoints.size() > shown) text += " +" + std::to_string(r.tempoPoints.size() - shown) + " more";
    return text;
}

// A few words on what went wrong, for the reader of the table.
std::string diagnosis(const PieceTruth& truth, const Score& s) {
    std::string words;
    auto add = [&](const std::string& w) { words += (words.empty() ? "" : ", ") + w; };
    const double r = s.medianRatio;
    const struct {
        double factor;
        const char* text;
    } levels[] = {{2, "reads double"}, {0.5, "reads half"}, {3, "reads triple"}, {1.0 / 3, "reads a third"},
                  {1.5, "reads 3/2"},  {2.0 / 3, "reads 2/3"}, {4, "reads 4x"},   {0.25, "reads 1/4"}};
    if (!withinTempo(r, 1.0)) {
        bool named = false;
        for (const auto& level : levels) {
            if (withinTempo(r, level.factor)) {
                add(level.text);
                named = true;
                break;
            }
        }
        if (!named) {
            char buffer[48];
            std::snprintf(buffer, sizeof buffer, "tempo off by %+.1f%%", (r - 1) * 100);
            add(buffer);
        }
    }
    if (s.offBeatF > s.beatF + 0.2) add("off-beat phase");
    const bool ramps = std::any_of(truth.map.begin(), truth.map.end(), [](const auto& p) { return p.rampsToNext; });
    if (ramps && s.result.tempoPoints.size() <= 1) add("ramp read as one tempo");
    if (!truth.steady && s.localAccuracy < 0.95 && withinTempo(r, 1.0)) add("map wrong part of the time");
    // The detected change nearest each counted step, early (-) or late (+).
    for (std::size_t i = 1; i < truth.map.size(); ++i) {
        if (truth.map[i - 1].rampsToNext || std::abs(truth.map[i].bpm - truth.map[i - 1].bpm) < 1e-9) continue;
        const auto& points = s.result.tempoPoints;
        double best = 1e9;
        for (std::size_t k = 1; k < points.size(); ++k) {
            const double lag = points[k].timeSeconds - truth.map[i].timeSeconds;
            if (std::abs(lag) < std::abs(best)) best = lag;
        }
        char buffer[64];
        if (best < 1e8 && std::abs(best) < 8) {
            std::snprintf(buffer, sizeof buffer, "change at %.1fs found %+.2fs", truth.map[i].timeSeconds, best);
        } else {
            std::snprintf(buffer, sizeof buffer, "change at %.1fs missed", truth.map[i].timeSeconds);
        }
        add(buffer);
    }
    if (s.result.beatPositionsSeconds.empty()) {
        add("no beats");
    } else if (!s.barOneFound && !truth.downbeats.empty()) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "Bar 1 at %.2fs, counted %.2fs", s.result.beatPositionsSeconds.front(),
                      truth.downbeats.front());
        add(buffer);
    }
    return words.empty() ? "ok" : words;
}

void writeTruth(const std::filesystem::path& file, const std::string& name, const std::string& annotation,
                double countedBpm, const PieceTruth& truth) {
    std::ofstream out(file);
    out << "# " << name << ": " << annotation << "\n";
    out << "# counted tempo " << (truth.steady ? std::to_string(countedBpm) : std::string("moves")) << "\n";
    out << "# map " << truthMapText(truth) << "\n";
    for (const auto& m : truth.meters) out << "# meter " << m.timeSeconds << " " << m.numerator << "/" << m.denominator << "\n";
    out << "# beat time, 1 on downbeats\n";
    std::size_t d = 0;
    for (double b : truth.beats) {
        while (d < truth.downbeats.size() && truth.downbeats[d] < b - 1e-9) ++d;
        const bool down = d < truth.downbeats.size() && std::abs(truth.downbeats[d] - b) < 1e-9;
        out << b << (down ? " 1" : " 0") << "\n";
    }
}

int usage() {
    std::fprintf(stderr,
                 "usage: corvel_analysis_accuracy_bench [--corpus synth|written|all] [--half tuning|holdout] [--jobs N]\n"
                 "                                      [--variant N] [--renderer synth|gm] [--soundfont PATH]\n"
                 "                                      [--results FILE [--levels]] [--list] [NAME-FILTER]\n"
                 "       corvel_analysis_accuracy_bench [--variant N] [--renderer synth|gm] [--soundfont PATH] --dump NAME PATH\n");
    return 2;
}

// Every piece must count what its author wrote down.
void checkCorpus(const std::vector<PieceSpec>& corpus) {
    for (const auto& spec : corpus) {
        const PieceTruth truth = pieceTruth(spec);
        const bool claimsSteady = spec.countedBpm > 0;
        if (claimsSteady != truth.steady ||
            (claimsSteady && std::abs(spec.sections.front().bpmStart - spec.countedBpm) > 1e-9)) {
            throw std::logic_error("piece " + spec.name + ": its counted tempo does not match its sections");
        }
    }
}

std::string countedText(const Score& s) {
    return s.truth.steady ? bpmText(s.countedBpm) : (s.truth.rubato ? "rubato" : "map");
}

struct Totals {
    std::size_t pieces = 0, failures = 0, steady = 0, acc1 = 0, acc2 = 0, acc1Noted = 0, maps = 0, firstSounds = 0, barOnes = 0;
    std::size_t steadyGivenMap = 0, ambiguous = 0, reliable = 0, confident = 0, confidentRight = 0, rest = 0, restRight = 0;
    double mapLocal = 0, allLocal = 0, beatF = 0, beatFInside = 0, audioSeconds = 0, wallSeconds = 0;

    void add(const Score& s) {
        ++pieces;
        if (!s.analysed) ++failures;
        audioSeconds += s.audioSeconds;
        wallSeconds += s.wallSeconds;
        if (s.truth.steady) {
            ++steady;
            acc1 += s.acc1 ? 1 : 0;
            acc2 += s.acc2 ? 1 : 0;
            acc1Noted += s.acc1Noted ? 1 : 0;
            steadyGivenMap += s.result.tempoPoints.size() > 1 ? 1 : 0;
        } else if (!s.truth.rubato) {
            ++maps;
            mapLocal += s.localAccuracy;
        }
        allLocal += s.localAccuracy;
        beatF += s.beatF;
        beatFInside += s.beatFInside;
        firstSounds += s.firstSoundFound ? 1 : 0;
        barOnes += s.barOneFound ? 1 : 0;
        ambiguous += s.result.ambiguous ? 1 : 0;
        reliable += s.result.tempoMapReliable ? 1 : 0;
        if (s.analysed && s.result.confidence >= kConfident) {
            ++confident;
            confidentRight += s.right ? 1 : 0;
        } else {
            ++rest;
            restRight += s.right ? 1 : 0;
        }
    }
};

double share(double sum, std::size_t n) { return n > 0 ? sum / double(n) : 0.0; }

std::string counting(const char* what, std::size_t n) { return std::string(what) + " (" + std::to_string(n) + ")"; }

void printSummary(const std::string& label, const Totals& t, bool written, unsigned jobs) {
    const double minutes = t.audioSeconds / 60;
    std::printf("\n%s: %zu pieces, %.1f minutes of audio%s\n", label.c_str(), t.pieces, minutes,
                t.failures > 0 ? (", " + std::to_string(t.failures) + " failed to analyse, scored as misses").c_str() : "");
    // The written music is arranged band music: it aims where arrangements do.
    const char* acc1Target = written ? ">=0.92" : ">=0.95";
    const char* mapTarget = written ? ">=0.96" : ">=0.95";
    std::printf("  %-56s %6s %8s\n", "", "value", "target");
    std::printf("  %-56s %6.3f %8s\n", counting("Acc1, steady pieces", t.steady).c_str(), share(double(t.acc1), t.steady), acc1Target);
    std::printf("  %-56s %6.3f %8s\n", counting("Acc2, steady pieces", t.steady).c_str(), share(double(t.acc2), t.steady),
                written ? ">=0.97" : "");
    std::printf("  %-56s %6.3f\n", counting("Acc1 or a noted alternative", t.steady).c_str(),
                share(double(t.acc1Noted), t.steady));
    std::printf("  %-56s %6.3f %8s\n", counting("map local tempo, pieces with tempo maps", t.maps).c_str(),
                share(t.mapLocal, t.maps), mapTarget);
    std::printf("  %-56s %6.3f\n", counting("map local tempo, all pieces", t.pieces).c_str(), share(t.allLocal, t.pieces));
    std::printf("  %-56s %6.3f %8s\n", counting("beat F-measure +-70 ms", t.pieces).c_str(), share(t.beatF, t.pieces), ">=0.93");
    std::printf("  %-56s %6.3f\n", "beat F-measure, beats outside the music left out", share(t.beatFInside, t.pieces));
    std::printf("  %-56s %6.3f\n", "first meaningful audio within 0.1 s of first note", share(double(t.firstSounds), t.pieces));
    std::printf("  %-56s %6.3f\n", "Bar 1 within 70 ms of the first counted downbeat", share(double(t.barOnes), t.pieces));
    std::printf("  %-56s %6zu %8s\n", counting("steady pieces given a tempo map", t.steady).c_str(), t.steadyGivenMap,
                written ? "<=1 in 30" : "");
    std::printf("  %-56s %6zu\n", "pieces reported ambiguous", t.ambiguous);
    std::printf("  %-56s %6zu\n", "pieces with a map reported reliable", t.reliable);
    std::printf("  %-56s %6.3f %8s\n",
                counting("right among pieces with confidence >= 0.8", t.confident).c_str(),
                share(double(t.confidentRight), t.confident), written ? ">=0.95" : "");
    std::printf("  %-56s %6.3f\n", counting("right among the others", t.rest).c_str(), share(double(t.restRight), t.rest));
    std::printf("  %-56s %6.3f%s\n", "analysis wall s per audio-minute, piece by piece",
                minutes > 0 ? t.wallSeconds / minutes : 0.0, jobs > 1 ? "  (pieces ran side by side: use --jobs 1)" : "");
}

nlohmann::json resultLine(const BenchPiece& piece, const Score& s) {
    nlohmann::json line;
    line["name"] = piece.name;
    line["half"] = piece.group;
    line["source"] = piece.source;
    if (!piece.genre.empty()) line["genre"] = piece.genre;
    line["steady"] = s.truth.steady;
    line["truth_bpm"] = s.truth.steady ? nlohmann::json(s.countedBpm) : nlohmann::json(nullptr);
    line["also_counted"] = s.alsoCounted;
    line["detected_bpm"] = s.result.bpm;
    nlohmann::json candidates = nlohmann::json::array();
    for (const auto& c : s.result.candidates) candidates.push_back({{"bpm", c.bpm}, {"score", c.score}});
    line["candidates"] = candidates;
    line["confidence"] = s.result.confidence;
    line["ambiguous"] = s.result.ambiguous;
    line["reliable"] = s.result.tempoMapReliable;
    line["tempo_points"] = s.result.tempoPoints.size();
    line["right"] = s.right;
    line["acc1"] = s.acc1;
    line["acc2"] = s.acc2;
    line["map_local"] = s.localAccuracy;
    line["beat_f"] = s.beatF;
    line["off_beat_f"] = s.offBeatF;
    line["bar_one"] = s.barOneFound;
    line["audio_seconds"] = s.audioSeconds;
    if (!s.analysed) line["error"] = s.error;
    if (!s.levels.is_null()) line["level_evidence"] = s.levels;
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    std::string filter;
    bool list = false;
    std::optional<std::pair<std::string, std::string>> dump;
    unsigned jobs = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    unsigned variant = 0;
    RenderOptions rendering;
    bool wantSynth = true, wantWritten = false;
    std::optional<Half> onlyHalf;
    std::string resultsFile;
    bool withLevels = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list") {
            list = true;
        } else if (arg == "--jobs" && i + 1 < argc) {
            jobs = unsigned(std::clamp(std::atoi(argv[++i]), 1, 256));
        } else if (arg == "--variant" && i + 1 < argc) {
            variant = unsigned(std::clamp(std::atoi(argv[++i]), 0, 1000000));
        } else if (arg == "--renderer" && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name == "synth") {
                rendering.renderer = Renderer::synth;
            } else if (name == "gm") {
                rendering.renderer = Renderer::gm;
            } else {
                return usage();
            }
        } else if (arg == "--soundfont" && i + 1 < argc) {
            rendering.soundfont = argv[++i];
        } else if (arg == "--corpus" && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name != "synth" && name != "written" && name != "all") return usage();
            wantSynth = name != "written";
            wantWritten = name != "synth";
        } else if (arg == "--half" && i + 1 < argc) {
            const std::string name = argv[++i];
            if (name != "tuning" && name != "holdout") return usage();
            onlyHalf = name == "tuning" ? Half::tuning : Half::holdout;
        } else if (arg == "--levels") {
            withLevels = true;
        } else if (arg == "--results" && i + 1 < argc) {
            resultsFile = argv[++i];
        } else if (arg == "--dump" && i + 2 < argc) {
            dump = std::make_pair(std::string(argv[i + 1]), std::string(argv[i + 2]));
            i += 2;
        } else if (!arg.empty() && arg[0] != '-' && filter.empty()) {
            filter = arg;
        } else {
            return usage();
        }
    }

    const std::vector<PieceSpec> corpus = musicCorpus(variant);
    try {
        checkCorpus(corpus);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    const WrittenCorpus written = (wantWritten || dump) ? writtenCorpus() : WrittenCorpus{};

    // The soundfont renderer needs its library at build time and its soundfonts now.
    const bool needSynthesiser = (wantSynth && rendering.renderer == Renderer::gm) || wantWritten;
    if (needSynthesiser && !list && !gmSynthBuilt()) {
        std::fprintf(stderr,
                     "this build has no soundfont renderer (fluidsynth was not found); "
                     "apt-get install libfluidsynth-dev, then configure again\n");
        return 1;
    }
    if (wantSynth && rendering.renderer == Renderer::gm && !list) {
        if (rendering.soundfont.empty()) rendering.soundfont = kDefaultGmSoundfont;
        std::error_code error;
        if (!std::filesystem::is_regular_file(rendering.soundfont, error)) {
            std::fprintf(stderr, "--renderer gm: no soundfont at %s (apt-get install fluid-soundfont-gm, or --soundfont PATH)\n",
                         rendering.soundfont.c_str());
            return 1;
        }
    }
    if (const std::string missing = missingPackagesText(written); wantWritten && !missing.empty()) {
        std::fprintf(stderr, "%s\n", missing.c_str());
        return 1;
    }

    std::vector<BenchPiece> pieces;
    if (wantSynth || dump) {
        for (const auto& spec : corpus) {
            pieces.push_back({spec.name, "synthesised", "synth", "", spec.annotation, &spec, nullptr});
        }
    }
    if (wantWritten || dump) {
        for (const auto& w : written.pieces) {
            if (onlyHalf && w.half != *onlyHalf && !dump) continue;
            pieces.push_back({w.name, halfName(w.half), sourceName(w.source), w.genre, w.annotation, nullptr, &w});
        }
    }

    if (dump) {
        const auto found = std::find_if(pieces.begin(), pieces.end(), [&](const BenchPiece& p) { return p.name == dump->first; });
        if (found == pieces.end()) {
            std::fprintf(stderr, "no piece named %s (see --list)\n", dump->first.c_str());
            return 1;
        }
        audio::testkit::TempFolder folder("analysis-accuracy-dump");
        Score score;
        preparePiece(*found, rendering, folder.path(), score);
        if (score.file.empty()) {
            std::fprintf(stderr, "%s\n", score.error.c_str());
            return 1;
        }
        std::filesystem::path target = dump->second;
        std::filesystem::copy_file(score.file, target, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::path truthFile = target;
        truthFile += ".truth.txt";
        writeTruth(truthFile, found->name, found->annotation, score.countedBpm, score.truth);
        std::printf("wrote %s and %s\n", target.c_str(), truthFile.c_str());
        return 0;
    }

    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (filter.empty() || pieces[i].name.find(filter) != std::string::npos) chosen.push_back(i);
    }

    if (list) {
        for (std::size_t i : chosen) {
            const BenchPiece& piece = pieces[i];
            if (piece.spec) {
                const auto& spec = *piece.spec;
                const PieceTruth truth = pieceTruth(spec);
                std::string counted = truth.rubato ? "rubato" : (truth.steady ? bpmText(spec.countedBpm) : "tempo map");
                for (double bpm : spec.alsoCounted) counted += " or " + bpmText(bpm);
                std::printf("%-52s %-11s %6.1f s  %-16s %s\n", spec.name.c_str(), piece.group.c_str(), truth.durationSeconds,
                            counted.c_str(), spec.annotation.c_str());
            } else {
                const auto& w = *piece.written;
                const std::string tempo = w.songTempo > 0 ? "written " + bpmText(w.songTempo) : "from the file";
                std::printf("%-52s %-11s %-9s %-16s %s\n", w.name.c_str(), piece.group.c_str(), w.soundfont.name.c_str(),
                            tempo.c_str(), w.annotation.c_str());
            }
        }
        if (wantWritten) {
            for (const auto& skip : written.skipped) std::printf("left out: %s: %s\n", skip.what.c_str(), skip.reason.c_str());
        }
        return 0;
    }

    // Every file is written before the first analysis starts, so that the analysis time is the
    // analyser's alone.
    audio::testkit::TempFolder folder("analysis-accuracy");
    std::vector<Score> scores(pieces.size());
    const auto render0 = std::chrono::steady_clock::now();
    runOnWorkers(jobs, chosen.size(), "rendered",
                 [&](std::size_t k) { preparePiece(pieces[chosen[k]], rendering, folder.path(), scores[chosen[k]]); });
    const double renderSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - render0).count();
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    runOnWorkers(jobs, chosen.size(), "analysed", [&](std::size_t k) { analysePiece(scores[chosen[k]], withLevels); });
    const double wallTotal = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpuTotal = processCpuSeconds() - cpu0;
    if (withLevels) runOnWorkers(jobs, chosen.size(), "measured", [&](std::size_t k) { measureLevels(scores[chosen[k]]); });

    std::printf("%-52s %-8s %7s %8s %4s %4s %6s %6s %5s %3s %3s %5s  %s\n", "piece", "half", "counted", "detected", "acc1",
                "acc2", "local", "beatF", "conf", "amb", "rel", "right", "detected map | counted map | what goes wrong");
    std::vector<std::string> groups;
    std::map<std::string, Totals> byGroup;
    std::map<std::string, std::map<std::string, Totals>> bySource;
    Totals all;
    std::optional<std::ofstream> results;
    if (!resultsFile.empty()) {
        results.emplace(resultsFile);
        if (!*results) {
            std::fprintf(stderr, "cannot write %s\n", resultsFile.c_str());
            return 1;
        }
    }
    for (std::size_t i : chosen) {
        const BenchPiece& piece = pieces[i];
        const Score& s = scores[i];
        if (s.file.empty() && !s.analysed) {
            std::printf("%-52s %-8s %7s %8s  not rendered: %s\n", piece.name.c_str(), piece.group.c_str(), "-", "-",
                        s.error.c_str());
            continue;
        }
        if (std::find(groups.begin(), groups.end(), piece.group) == groups.end()) groups.push_back(piece.group);
        byGroup[piece.group].add(s);
        const std::string kind = piece.source == "mma" ? "mma " + piece.genre : piece.source;
        bySource[piece.group][kind].add(s);
        all.add(s);
        if (results) *results << resultLine(piece, s).dump() << "\n";
        if (!s.analysed) {
            // A failed analysis scores nothing, and counts.
            std::printf("%-52s %-8s %7s %8s  analysis failed: %s\n", piece.name.c_str(), piece.group.c_str(),
                        countedText(s).c_str(), "-", s.error.c_str());
            continue;
        }
        std::printf("%-52s %-8s %7s %8.2f %4s %4s %6.2f %6.2f %5.2f %3s %3s %5s  %s | %s | %s\n", piece.name.c_str(),
                    piece.group.c_str(), countedText(s).c_str(), s.result.bpm,
                    s.truth.steady ? (s.acc1 ? "yes" : "no") : "-", s.truth.steady ? (s.acc2 ? "yes" : "no") : "-",
                    s.localAccuracy, s.beatF, s.result.confidence, s.result.ambiguous ? "yes" : "no",
                    s.result.tempoMapReliable ? "yes" : "no", s.right ? "yes" : "no", detectedMapText(s.result).c_str(),
                    truthMapText(s.truth).c_str(), diagnosis(s.truth, s).c_str());
    }

    const char* renderedBy = rendering.renderer == Renderer::gm ? "played on the GM soundfont" : "synthesised";
    for (const std::string& group : groups) {
        std::string label;
        if (group == "synthesised") {
            label = "Synthesised corpus, variant " + std::to_string(variant) + ", " + renderedBy;
        } else {
            label = "Written music, " + std::string(group == "tuning" ? "tuning half" : "hold-out half");
        }
        printSummary(label, byGroup[group], group != "synthesised", jobs);
        if (group == "synthesised") continue;
        std::printf("  by source %-26s %6s %7s %6s %6s %6s %6s\n", "", "pieces", "minutes", "Acc1", "Acc2", "local", "beatF");
        for (const auto& [kind, t] : bySource[group]) {
            std::printf("    %-34s %6zu %7.1f %6s %6s %6.3f %6.3f\n", kind.c_str(), t.pieces, t.audioSeconds / 60,
                        t.steady > 0 ? bpmText(share(double(t.acc1), t.steady)).c_str() : "-",
                        t.steady > 0 ? bpmText(share(double(t.acc2), t.steady)).c_str() : "-",
                        share(t.allLocal, t.pieces), share(t.beatF, t.pieces));
        }
    }
    const double minutes = all.audioSeconds / 60;
    std::printf("\nAll %zu pieces, %.1f minutes of audio\n", all.pieces, minutes);
    std::printf("  %-56s %6.3f\n", "analysis CPU s per audio-minute (all threads)", minutes > 0 ? cpuTotal / minutes : 0.0);
    std::printf("  %-56s %6.3f  (%u at a time)\n", "analysis wall s per audio-minute, all pieces",
                minutes > 0 ? wallTotal / minutes : 0.0, jobs);
    std::printf("  %-56s %6.3f  (%u at a time, not counted)\n", "rendering the files, wall s per audio-minute",
                minutes > 0 ? renderSeconds / minutes : 0.0, jobs);
    if (wantWritten) {
        for (const auto& skip : written.skipped) std::printf("  left out: %s: %s\n", skip.what.c_str(), skip.reason.c_str());
    }

    if (wantSynth) {
        std::printf("\nClick tracks (target within %.2f BPM)\n", kClickTolerance);
        for (const char* name : {"click-90", "click-124", "click-128"}) {
            for (std::size_t i : chosen) {
                if (pieces[i].name != name || !scores[i].analysed) continue;
                const double error = scores[i].result.bpm - scores[i].countedBpm;
                std::printf("  %-12s reads %8.2f  (%+.2f) %s\n", name, scores[i].result.bpm, error,
                            std::abs(error) <= kClickTolerance + 1e-9 ? "ok" : "MISSED");
            }
        }
    }

    // The worst pieces: the most time at a wrong tempo, then the fewest beats found.
    std::vector<std::size_t> ranked;
    for (std::size_t i : chosen) {
        if (scores[i].analysed) ranked.push_back(i);
    }
    auto badness = [&](std::size_t i) { return (1 - scores[i].localAccuracy) + (1 - scores[i].beatF); };
    std::stable_sort(ranked.begin(), ranked.end(), [&](std::size_t a, std::size_t b) { return badness(a) > badness(b); });
    std::printf("\nWorst pieces\n");
    for (std::size_t k = 0; k < std::min<std::size_t>(ranked.size(), 12); ++k) {
        const std::size_t i = ranked[k];
        if (scores[i].localAccuracy >= 0.95 && scores[i].beatF >= 0.93) break;
        std::printf("  %-52s %-8s local %.2f beatF %.2f  %s\n", pieces[i].name.c_str(), pieces[i].group.c_str(),
                    scores[i].localAccuracy, scores[i].beatF, diagnosis(scores[i].truth, scores[i]).c_str());
    }
    return 0;
}
