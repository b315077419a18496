// Analysis accuracy: renders the synthesised corpus (bench/music_corpus.cpp) into a temp folder,
// runs every piece through the whole-file analysis the editor uses (decoding included) and
// scores the result against the corpus's exact truth.
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
// The worst pieces close the report.
//
// The music's duration runs from its first counted beat to one beat after its last: silent
// intros and tails count for nothing, but beats placed in them count as false detections. No
// beats are trimmed from the start of a piece before scoring.
//
//   corvel_analysis_accuracy_bench [--jobs N] [--variant N] [--renderer R] [--list] [NAME-FILTER]
//   corvel_analysis_accuracy_bench [--variant N] [--renderer R] --dump NAME PATH   (the file, and PATH.truth.txt)
//   corvel_analysis_accuracy_bench [...] --levels PATH   (also writes, per piece, one JSON line with the
//   candidate metrical levels' features and the truth they are scored against: the input of
//   bench/fit_level_weights.py)
// --variant N renders the same pieces re-seeded, in other keys and at tempi within +-6 %: music
// like the corpus that was not tuned on.
// --renderer gm plays the same notes on the sampled instruments of a General MIDI soundfont
// (--soundfont PATH, by default the system's) instead of the corpus's own synthesis: the truth
// is the same. Only in a build that found fluidsynth.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"
#include "music_corpus.hpp"

namespace {

using namespace corvel;
using namespace corvel::bench;

constexpr double kTempoTolerance = 0.04;
constexpr double kBeatWindowSeconds = 0.07;
constexpr double kClickTolerance = 0.05;
constexpr double kFirstSoundToleranceSeconds = 0.1;

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

std::string fileStem(const std::string& name) {
    std::string stem;
    for (char c : name) stem += (std::isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
    return stem;
}

// Writes the piece as the analyser will read it; returns the file.
std::filesystem::path writePiece(const PieceSpec& spec, const audio::testkit::Signal& signal,
                                 const std::filesystem::path& target) {
    if (spec.container == Container::wav) {
        audio::testkit::writeWav(target, signal);
        return target;
    }
    std::filesystem::path wav = target;
    wav += ".source.wav";
    audio::testkit::writeWav(wav, signal);
    if (spec.container == Container::m4a) {
        audio::testkit::makeM4a(wav, target);
    } else if (!audio::testkit::makeMp3(wav, target)) {
        std::filesystem::remove(wav);
        throw std::runtime_error("ffmpeg has no MP3 encoder here");
    }
    std::filesystem::remove(wav);
    return target;
}

// The detected map's local tempo at a time: the last point at or before it, ramping to the
// next when it says so; the main tempo when there are no points.
double detectedLocalBpm(const BeatloomResult& result, double seconds) {
    const auto& points = result.tempoPoints;
    if (points.empty()) return result.bpm;
    std::size_t at = 0;
    while (at + 1 < points.size() && points[at + 1].timeSeconds <= seconds) ++at;
    const auto& p = points[at];
    if (p.linearToNext && at + 1 < points.size() && seconds >= p.timeSeconds) {
        const auto& q = points[at + 1];
        const double span = q.timeSeconds - p.timeSeconds;
        if (span > 1e-9) return p.bpm + (q.bpm - p.bpm) * (seconds - p.timeSeconds) / span;
    }
    return p.bpm;
}

bool within(double detected, double truth, double tolerance = kTempoTolerance) {
    return truth > 0 && std::abs(detected - truth) <= tolerance * truth;
}

bool withinAnyLevel(double detected, double truth) {
    for (double factor : {1.0, 2.0, 3.0, 0.5, 1.0 / 3.0}) {
        if (within(detected, truth * factor)) return true;
    }
    return false;
}

// Beat F-measure: a counted beat is found when a detected beat lies within the window; each
// detected beat serves one counted beat (the counted beats lie further apart than two windows,
// so the windows never overlap and the matching is the count of windows holding a beat).
double beatFMeasure(const std::vector<double>& truth, const std::vector<double>& detected) {
    if (truth.empty() || detected.empty()) return 0;
    std::vector<double> sorted = detected;
    std::sort(sorted.begin(), sorted.end());
    std::size_t matched = 0;
    for (double t : truth) {
        const auto from = std::lower_bound(sorted.begin(), sorted.end(), t - kBeatWindowSeconds);
        if (from != sorted.end() && *from <= t + kBeatWindowSeconds) ++matched;
    }
    const double precision = double(matched) / double(sorted.size());
    const double recall = double(matched) / double(truth.size());
    return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0;
}

// The beats half-way between the counted ones: where a grid locked on the off-beat lies.
std::vector<double> offBeats(const std::vector<double>& beats) {
    std::vector<double> off;
    for (std::size_t i = 1; i < beats.size(); ++i) off.push_back((beats[i - 1] + beats[i]) / 2);
    return off;
}

struct Score {
    // Written before the analysis.
    PieceTruth truth;
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
    std::string levelsLine;  // the JSON line of --levels
};

std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.9g", v);
    return buffer;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The candidate metrical levels of the analysed tempo as the analyser measures them, with the
// measurement's own figures and the truth: one JSON line.
std::string levelsLine(const PieceSpec& spec, const Score& score, const std::string& corpusName) {
    using A = audio::ORVAudioMusicAnalyzer;
    const auto features = A::decodeFeatureEnvelopes(score.file);
    const auto m = A::analyzeFeatures(features);
    std::vector<std::span<const double>> envelopes(features.featureEnvelopes.begin(), features.featureEnvelopes.end());
    envelopes.push_back(features.consensusEnvelope);
    const auto candidates =
        A::consensusCandidates(std::span<const std::span<const double>>(envelopes), true, features.frameSeconds);
    const auto sections = m.tempoMapReliable ? std::span<const audio::ORVDetectedTempoSection>(m.sections)
                                             : std::span<const audio::ORVDetectedTempoSection>();
    const auto levels = A::levelEvidence(features, candidates, sections, m.bpm);
    const PieceTruth& truth = score.truth;
    // The counted tempo over the reported one: the level factor that would be right.
    const double truthRatio = truth.steady ? spec.countedBpm / m.bpm : (score.medianRatio > 0 ? 1 / score.medianRatio : 0);
    std::string line = "{\"corpus\":" + jsonString(corpusName) + ",\"piece\":" + jsonString(spec.name) +
                       ",\"steady\":" + (truth.steady ? "true" : "false") + ",\"rubato\":" +
                       (truth.rubato ? "true" : "false") + ",\"counted\":" + jsonNumber(truth.steady ? spec.countedBpm : 0) +
                       ",\"bpm\":" + jsonNumber(m.bpm) + ",\"truthRatio\":" + jsonNumber(truthRatio) +
                       ",\"acc1\":" + (score.acc1 ? "true" : "false") + ",\"local\":" + jsonNumber(score.localAccuracy) +
                       ",\"beatF\":" + jsonNumber(score.beatF) + ",\"confidence\":" + jsonNumber(score.result.confidence) +
                       ",\"ambiguous\":" + (score.result.ambiguous ? "true" : "false") +
                       ",\"points\":" + std::to_string(score.result.tempoPoints.size()) +
                       ",\"reliable\":" + (m.tempoMapReliable ? "true" : "false") +
                       ",\"agreement\":" + jsonNumber(m.featureAgreement) + ",\"stability\":" +
                       jsonNumber(m.trackingStability) + ",\"topScore\":" +
                       jsonNumber(candidates.empty() ? 0.0 : candidates.front().score) + ",\"gridError\":" +
                       jsonNumber(m.medianGridErrorSeconds) + ",\"levels\":[";
    for (std::size_t k = 0; k < levels.size(); ++k) {
        line += std::string(k > 0 ? "," : "") + "{\"factor\":" + jsonNumber(levels[k].factor) + ",\"bpm\":" +
                jsonNumber(levels[k].bpm) + ",\"x\":[";
        for (std::size_t j = 0; j < levels[k].features.size(); ++j) {
            line += std::string(j > 0 ? "," : "") + jsonNumber(levels[k].features[j]);
        }
        line += "]}";
    }
    return line + "]}";
}

// User and system time of every thread of this process so far.
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

void scorePiece(const PieceSpec& spec, Score& score) {
    const PieceTruth& truth = score.truth;
    const BeatloomResult& r = score.result;
    if (truth.steady) {
        score.acc1 = within(r.bpm, spec.countedBpm);
        score.acc2 = withinAnyLevel(r.bpm, spec.countedBpm);
        score.acc1Noted = score.acc1 || std::any_of(spec.alsoCounted.begin(), spec.alsoCounted.end(),
                                                    [&](double bpm) { return within(r.bpm, bpm); });
    }
    std::size_t samples = 0, hits = 0;
    std::vector<double> ratios;
    for (double t = truth.musicStart; t < truth.musicEnd; t += 0.02, ++samples) {
        const double counted = truth.localBpm(t);
        const double detected = detectedLocalBpm(r, t);
        if (within(detected, counted)) ++hits;
        ratios.push_back(counted > 0 ? detected / counted : 0);
    }
    score.localAccuracy = samples > 0 ? double(hits) / double(samples) : 0;
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
}

void preparePiece(const PieceSpec& spec, const RenderOptions& options, const std::filesystem::path& folder,
                  Score& score) {
    try {
        RenderedPiece piece = renderPiece(spec, options);
        score.truth = std::move(piece.truth);
        score.audioSeconds = double(piece.signal.frames()) / piece.signal.sampleRate;
        score.file = writePiece(spec, piece.signal, folder / (fileStem(spec.name) + extension(spec.container)));
    } catch (const std::exception& e) {
        score.error = e.what();
    }
}

void analysePiece(const PieceSpec& spec, Score& score, const std::string& levelsCorpus) {
    if (score.file.empty()) return;
    try {
        const auto wall0 = std::chrono::steady_clock::now();
        score.result = audio::ORVAudioMusicAnalyzer::analyzedFile(score.file);
        score.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        score.analysed = true;
        scorePiece(spec, score);
        if (!levelsCorpus.empty()) score.levelsLine = levelsLine(spec, score, levelsCorpus);
    } catch (const ErrorException& e) {
        score.error = e.error().message;
    } catch (const std::exception& e) {
        score.error = e.what();
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
    if (!within(r, 1.0)) {
        bool named = false;
        for (const auto& level : levels) {
            if (within(r, level.factor)) {
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
    if (!truth.steady && s.localAccuracy < 0.95 && within(r, 1.0)) add("map wrong part of the time");
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
    if (s.result.beatPositionsSeconds.empty()) add("no beats");
    return words.empty() ? "ok" : words;
}

void writeTruth(const std::filesystem::path& file, const PieceSpec& spec, const PieceTruth& truth) {
    std::ofstream out(file);
    out << "# " << spec.name << ": " << spec.annotation << "\n";
    out << "# counted tempo " << (truth.steady ? std::to_string(spec.countedBpm) : std::string("moves")) << "\n";
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
                 "usage: corvel_analysis_accuracy_bench [--jobs N] [--variant N] [--renderer synth|gm] [--soundfont PATH]\n"
                 "                                      [--levels PATH] [--list] [NAME-FILTER]\n"
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

}  // namespace

int main(int argc, char** argv) {
    std::string filter;
    bool list = false;
    std::optional<std::pair<std::string, std::string>> dump;
    std::string levelsPath;
    unsigned jobs = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    unsigned variant = 0;
    RenderOptions rendering;
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
        } else if (arg == "--levels" && i + 1 < argc) {
            levelsPath = argv[++i];
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

    // The soundfont renderer needs its library at build time and its soundfont now.
    if (rendering.renderer == Renderer::gm && !list) {
        if (!gmSynthBuilt()) {
            std::fprintf(stderr,
                         "--renderer gm: this build has no soundfont renderer (fluidsynth was not found); "
                         "apt-get install libfluidsynth-dev fluid-soundfont-gm, then configure again\n");
            return 1;
        }
        if (rendering.soundfont.empty()) rendering.soundfont = kDefaultGmSoundfont;
        std::error_code error;
        if (!std::filesystem::is_regular_file(rendering.soundfont, error)) {
            std::fprintf(stderr, "--renderer gm: no soundfont at %s (apt-get install fluid-soundfont-gm, or --soundfont PATH)\n",
                         rendering.soundfont.c_str());
            return 1;
        }
    }

    if (dump) {
        const auto found = std::find_if(corpus.begin(), corpus.end(), [&](const PieceSpec& p) { return p.name == dump->first; });
        if (found == corpus.end()) {
            std::fprintf(stderr, "no piece named %s (see --list)\n", dump->first.c_str());
            return 1;
        }
        const RenderedPiece piece = renderPiece(*found, rendering);
        const std::filesystem::path target = dump->second;
        writePiece(*found, piece.signal, target);
        std::filesystem::path truthFile = target;
        truthFile += ".truth.txt";
        writeTruth(truthFile, *found, piece.truth);
        std::printf("wrote %s and %s\n", target.c_str(), truthFile.c_str());
        return 0;
    }

    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        if (filter.empty() || corpus[i].name.find(filter) != std::string::npos) chosen.push_back(i);
    }

    if (list) {
        for (std::size_t i : chosen) {
            const auto& spec = corpus[i];
            const PieceTruth truth = pieceTruth(spec);
            std::string counted = truth.rubato ? "rubato" : (truth.steady ? bpmText(spec.countedBpm) : "tempo map");
            for (double bpm : spec.alsoCounted) counted += " or " + bpmText(bpm);
            std::printf("%-40s %6.1f s  %-16s %s\n", spec.name.c_str(), truth.durationSeconds, counted.c_str(),
                        spec.annotation.c_str());
        }
        return 0;
    }

    // Every file is written before the first analysis starts, so that the analysis time is the
    // analyser's alone.
    audio::testkit::TempFolder folder("analysis-accuracy");
    std::vector<Score> scores(corpus.size());
    const auto render0 = std::chrono::steady_clock::now();
    runOnWorkers(jobs, chosen.size(), "rendered",
                 [&](std::size_t k) { preparePiece(corpus[chosen[k]], rendering, folder.path(), scores[chosen[k]]); });
    const double renderSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - render0).count();
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    // The levels file names the corpus by its renderer and variant.
    const std::string levelsCorpus =
        levelsPath.empty() ? std::string()
                           : std::string(rendering.renderer == Renderer::gm ? "gm" : "synth") + "-v" + std::to_string(variant);
    runOnWorkers(jobs, chosen.size(), "analysed",
                 [&](std::size_t k) { analysePiece(corpus[chosen[k]], scores[chosen[k]], levelsCorpus); });
    if (!levelsPath.empty()) {
        std::ofstream levels(levelsPath, std::ios::app);
        for (std::size_t i : chosen) {
            if (!scores[i].levelsLine.empty()) levels << scores[i].levelsLine << "\n";
        }
    }
    const double wallTotal = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpuTotal = processCpuSeconds() - cpu0;

    std::printf("%-40s %7s %8s %4s %4s %6s %6s  %s\n", "piece", "counted", "detected", "acc1", "acc2", "local", "beatF",
                "detected map | counted map | what goes wrong");
    std::size_t steadyCount = 0, acc1 = 0, acc2 = 0, acc1Noted = 0, mapCount = 0, beatCount = 0, failures = 0;
    double mapLocal = 0, allLocal = 0, beatF = 0, beatFInside = 0, audioSeconds = 0, wallSeconds = 0;
    std::size_t allCount = 0, firstSounds = 0;
    for (std::size_t i : chosen) {
        const PieceSpec& spec = corpus[i];
        const Score& s = scores[i];
        const PieceTruth truth = pieceTruth(spec);
        const std::string counted = truth.steady ? bpmText(spec.countedBpm) : (truth.rubato ? "rubato" : "map");
        if (s.file.empty()) {
            std::printf("%-40s %7s %8s  not rendered: %s\n", spec.name.c_str(), counted.c_str(), "-", s.error.c_str());
            continue;
        }
        if (!s.analysed) {
            // A failed analysis scores nothing, and counts.
            ++failures;
            std::printf("%-40s %7s %8s  analysis failed: %s\n", spec.name.c_str(), counted.c_str(), "-", s.error.c_str());
        }
        audioSeconds += s.audioSeconds;
        wallSeconds += s.wallSeconds;
        if (truth.steady) {
            ++steadyCount;
            acc1 += s.acc1 ? 1 : 0;
            acc2 += s.acc2 ? 1 : 0;
            acc1Noted += s.acc1Noted ? 1 : 0;
        } else if (!truth.rubato) {
            ++mapCount;
            mapLocal += s.localAccuracy;
        }
        ++allCount;
        allLocal += s.localAccuracy;
        ++beatCount;
        beatF += s.beatF;
        beatFInside += s.beatFInside;
        firstSounds += s.firstSoundFound ? 1 : 0;
        if (!s.analysed) continue;
        std::printf("%-40s %7s %8.2f %4s %4s %6.2f %6.2f  %s | %s | %s\n", spec.name.c_str(), counted.c_str(),
                    s.result.bpm, truth.steady ? (s.acc1 ? "yes" : "no") : "-", truth.steady ? (s.acc2 ? "yes" : "no") : "-",
                    s.localAccuracy, s.beatF, detectedMapText(s.result).c_str(), truthMapText(truth).c_str(),
                    diagnosis(truth, s).c_str());
    }

    auto ratio = [](double sum, std::size_t n) { return n > 0 ? sum / double(n) : 0.0; };
    const double minutes = audioSeconds / 60;
    std::printf("\nSummary over %zu pieces, %.1f minutes of audio, variant %u, %s%s\n", allCount, minutes, variant,
                rendering.renderer == Renderer::gm ? "played on the GM soundfont" : "synthesised",
                failures > 0 ? (", " + std::to_string(failures) + " failed to analyse, scored as misses").c_str() : "");
    std::printf("  %-52s %6s %8s\n", "", "value", "target");
    std::printf("  %-52s %6.3f %8s\n", ("Acc1, steady pieces (" + std::to_string(steadyCount) + ")").c_str(),
                ratio(double(acc1), steadyCount), ">=0.95");
    std::printf("  %-52s %6.3f\n", ("Acc2, steady pieces (" + std::to_string(steadyCount) + ")").c_str(),
                ratio(double(acc2), steadyCount));
    std::printf("  %-52s %6.3f\n", ("Acc1 or a noted alternative (" + std::to_string(steadyCount) + ")").c_str(),
                ratio(double(acc1Noted), steadyCount));
    std::printf("  %-52s %6.3f %8s\n", ("map local tempo, pieces with tempo maps (" + std::to_string(mapCount) + ")").c_str(),
                ratio(mapLocal, mapCount), ">=0.95");
    std::printf("  %-52s %6.3f\n", ("map local tempo, all pieces (" + std::to_string(allCount) + ")").c_str(),
                ratio(allLocal, allCount));
    std::printf("  %-52s %6.3f %8s\n", ("beat F-measure +-70 ms (" + std::to_string(beatCount) + ")").c_str(),
                ratio(beatF, beatCount), ">=0.93");
    std::printf("  %-52s %6.3f\n", "beat F-measure, beats outside the music left out", ratio(beatFInside, beatCount));
    std::printf("  %-52s %6.3f\n", "first meaningful audio within 0.1 s of first note",
                ratio(double(firstSounds), allCount));
    std::printf("  %-52s %6.3f\n", "analysis CPU s per audio-minute (all threads)", minutes > 0 ? cpuTotal / minutes : 0.0);
    std::printf("  %-52s %6.3f%s\n", "analysis wall s per audio-minute, piece by piece",
                minutes > 0 ? wallSeconds / minutes : 0.0, jobs > 1 ? "  (pieces ran side by side: use --jobs 1)" : "");
    std::printf("  %-52s %6.3f  (%u at a time)\n", "analysis wall s per audio-minute, all pieces",
                minutes > 0 ? wallTotal / minutes : 0.0, jobs);
    std::printf("  %-52s %6.3f  (%u at a time, not counted)\n", "rendering the files, wall s per audio-minute",
                minutes > 0 ? renderSeconds / minutes : 0.0, jobs);

    std::printf("\nClick tracks (target within %.2f BPM)\n", kClickTolerance);
    for (const char* name : {"click-90", "click-124", "click-128"}) {
        for (std::size_t i : chosen) {
            if (corpus[i].name != name || !scores[i].analysed) continue;
            const double error = scores[i].result.bpm - corpus[i].countedBpm;
            std::printf("  %-12s reads %8.2f  (%+.2f) %s\n", name, scores[i].result.bpm, error,
                        std::abs(error) <= kClickTolerance + 1e-9 ? "ok" : "MISSED");
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
        std::printf("  %-40s local %.2f beatF %.2f  %s\n", corpus[i].name.c_str(), scores[i].localAccuracy,
                    scores[i].beatF, diagnosis(scores[i].truth, scores[i]).c_str());
    }
    return 0;
}
