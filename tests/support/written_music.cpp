#include "support/written_music.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "support/gm_synth.hpp"

namespace corvel::bench {

namespace {

constexpr const char* kMmaProgram = "/usr/bin/mma";
constexpr const char* kMmaStyles = "/usr/share/mma/lib/stdlib";
constexpr const char* kOpenMsx = "/usr/share/games/openttd/baseset/openmsx";
constexpr const char* kBlupi = "/usr/share/planetblupi/music";
constexpr double kRate = 44100;
constexpr double kTailSeconds = 2;
// A song lasts about this long; the soundtracks' long pieces are cut here.
constexpr double kSongSeconds = 32;
constexpr double kBlupiExcerptSeconds = 150;

// A style file of the MMA library, as this corpus plays it: its kind of music, the family it
// belongs to (itself, or the style it was made from), the tempo of its songs in the file's
// quarter notes, and the felt beat where the file is written at another level of it.
struct Style {
    const char* stem;
    const char* genre;
    const char* family;
    double tempo;
    double beatQuarters = 0;
    double alsoFactor = 0;  // another honest reading, as a multiple of the counted tempo
    const char* note = "";
};

// Tempi are typical of the style (the file's own notes where it gives them); the beats marked
// follow what each file says of how it is written.
const std::vector<Style>& styles() {
    static const std::vector<Style> table = {
        {"50srock", "rock", "50srock", 140},
        {"8beat", "rock", "50srock", 120, 0, 0, "shares 50srock's patterns"},
        {"60srock", "rock", "60srock", 126},
        {"basicrock", "rock", "basicrock", 120},
        {"strut", "rock", "basicrock", 100, 0, 0, "made from basicrock"},
        {"bubblerock", "rock", "bubblerock", 120},
        {"folkrock", "rock", "folkrock", 108},
        {"softrock", "rock", "softrock", 130},
        {"twist", "rock", "twist", 156},
        {"jive", "rock", "jive", 172},
        {"rock-128", "rock", "rock-128", 66, 0, 0, "12/8 doo-wop written in 4/4: the quarter is the felt dotted quarter"},
        {"trance", "rock", "trance", 136},
        {"boneym", "rock", "boneym", 124},
        {"dsoul", "rock", "dsoul", 108},
        {"bvfunk", "rock", "bvfunk", 120},
        {"jazzrock", "rock", "jazzrock", 132},
        {"rb", "rock", "rb", 120},
        {"rb-ballad", "rock", "rb", 72, 0, 0, "made from rb"},
        {"ska", "rock", "ska", 226, 2, 2, "written in 4 at twice its tempo: counted the half note"},
        {"ballad", "ballad", "ballad", 72},
        {"ballad128", "ballad", "ballad128", 60, 0, 0, "12/8 written in 4/4: the quarter is the felt dotted quarter"},
        {"ballad68", "ballad", "ballad128", 140, 2, 2, "6/8 written four quarters to the bar: two quarters a dotted quarter"},
        {"rockballad", "ballad", "rockballad", 72},
        {"popballad", "ballad", "popballad", 76},
        {"pianoballad", "ballad", "pianoballad", 80},
        {"guitarballad", "ballad", "pianoballad", 96, 0, 0, "made from pianoballad"},
        {"stringballad", "ballad", "stringballad", 60},
        {"popspiritual", "ballad", "popspiritual", 72},
        {"slowspiritual", "ballad", "popspiritual", 64, 0, 0, "made from popspiritual"},
        {"jazzguitar", "ballad", "jazzguitar", 90},
        {"blues", "blues", "blues", 100},
        {"slowblues", "blues", "blues", 70, 0, 0, "made from blues"},
        {"fastblues", "blues", "fastblues", 160},
        {"blues128", "blues", "blues128", 66, 0, 0, "12/8 blues written in 4/4: the quarter is the felt dotted quarter"},
        {"blues68", "blues", "blues68", 192, 3, 0, "6/8 written six quarters to the bar: counted three of them"},
        {"boggiewoggie", "blues", "boggiewoggie", 150},
        {"shuffleboggie", "blues", "shuffleboggie", 130},
        {"countryblues", "country", "countryblues", 110},
        {"countryswing", "country", "countryswing", 150},
        {"westernswing", "country", "countryswing", 150, 0, 0, "made from countryswing"},
        {"hillcountry", "country", "hillcountry", 170},
        {"bluegrass", "country", "bluegrass", 180},
        {"slowcountry", "country", "slowcountry", 72},
        {"zydeco", "country", "zydeco", 140},
        {"countrywaltz", "country", "countrywaltz", 150, 0, 1.0 / 3, "3/4: the bar is also tapped"},
        {"folk", "folk", "folk", 110},
        {"folkballad", "folk", "folkballad", 80},
        {"bluefolk", "folk", "bluefolk", 76},
        {"lullaby", "folk", "lullaby", 80},
        {"arpeggio44", "folk", "arpeggio", 90},
        {"arpeggio68", "folk", "arpeggio", 180, 3, 0, "6/8 written six quarters to the bar: counted three of them"},
        {"arpeggiowaltz", "folk", "arpeggio", 100},
        {"hymn", "folk", "hymn", 84},
        {"spiritual", "folk", "spiritual", 150},
        {"swing", "jazz", "swing", 140},
        {"easyswing", "jazz", "easyswing", 120},
        {"fastswing", "jazz", "fastswing", 220, 2, 2, "a 2/4 swing written in 4 at twice its tempo: counted the half note"},
        {"68swing", "jazz", "68swing", 240, 3, 0, "6/8 written six quarters to the bar: counted three of them"},
        {"bigband", "jazz", "bigband", 150},
        {"bebop", "jazz", "bebop", 140},
        {"jazzcombo", "jazz", "jazzcombo", 180},
        {"slowjazz", "jazz", "slowjazz", 80},
        {"modernjazz", "jazz", "modernjazz", 130},
        {"modernjazzwaltz", "jazz", "modernjazz", 130, 0, 0, "made from modernjazz, in 3/4"},
        {"evansish", "jazz", "pushjazz", 110},
        {"mellowjazz", "jazz", "pushjazz", 100, 0, 0, "shares evansish's swing push"},
        {"nitejazz", "jazz", "pushjazz", 90, 0, 0, "shares evansish's swing push"},
        {"descendingjazz", "jazz", "descendingjazz", 120},
        {"folkyjazz", "jazz", "folkyjazz", 100},
        {"gypsyjazz", "jazz", "gypsyjazz", 190},
        {"jazzwaltz", "jazz", "jazzwaltz", 150, 0, 1.0 / 3, "3/4: the bar is also tapped"},
        {"fastjazzwaltz", "jazz", "jazzwaltz", 220, 0, 1.0 / 3, "fast 3/4: the bar is also tapped"},
        {"jazz-54", "jazz", "jazz-54", 170},
        {"dixie", "jazz", "dixie", 200, 0, 0.5, "two-beat feel: the half note is also tapped"},
        {"dixiemarch", "jazz", "dixie", 200, 0, 0.5, "two-beat march: the half note is also tapped"},
        {"charleston", "jazz", "charleston", 230, 0, 0.5, "fast: the half note is also tapped"},
        {"softshoe", "jazz", "softshoe", 110},
        {"ragtime", "jazz", "ragtime", 200, 2, 2, "a 2/4 rag written in 4 at twice its tempo: counted the half note"},
        {"foxtrot", "show", "foxtrot", 120},
        {"quickstep", "show", "quickstep", 200, 0, 0.5, "fast: the half note is also tapped"},
        {"broadway", "show", "broadway", 260, 2, 2, "a 2/4 pattern written in 4 at twice its tempo: counted the half note"},
        {"slowbroadway", "show", "broadway", 100, 0, 0, "made from broadway"},
        {"broadwaywaltz", "show", "broadway", 160, 0, 1.0 / 3, "made from broadway, in 3/4: the bar is also tapped"},
        {"bwmarch", "show", "broadway", 240, 2, 2, "a 2/4 march written in 4 at twice its tempo: counted the half note"},
        {"showtune", "show", "showtune", 100},
        {"march", "show", "march", 232, 2, 2, "a 2/4 march written in 4 at twice its tempo: counted the half note"},
        {"68march", "show", "68march", 116, 1, 0, "6/8 march written two quarters to the bar: the quarter is the dotted quarter"},
        {"polka", "show", "polka", 240, 2, 2, "a 2/4 polka written in 4 at twice its tempo: counted the half note"},
        {"waltz", "waltz", "waltz", 120},
        {"rockwaltz", "waltz", "waltz", 120, 0, 0, "made from waltz"},
        {"latinwaltz", "waltz", "waltz", 150, 0, 1.0 / 3, "made from waltz; the bar is also tapped"},
        {"frenchwaltz", "waltz", "frenchwaltz", 160, 0, 1.0 / 3, "the bar is also tapped"},
        {"vienesewaltz", "waltz", "vienesewaltz", 174, 0, 1.0 / 3, "the bar is also tapped"},
        {"fastwaltz", "waltz", "fastwaltz", 180, 3, 3, "a waltz in 1: counted the bar (the quarter is also tapped)"},
        {"bossanova", "latin", "bossanova", 130},
        {"samba", "latin", "samba", 200, 2, 2, "2/2 written with four quarters a bar at twice its tempo: counted the half note"},
        {"merengue", "latin", "merengue", 240, 2, 2, "written in 4 at twice its tempo: counted the half note"},
        {"rhumba", "latin", "rhumba", 110},
        {"beguine", "latin", "rhumba", 120, 0, 0, "made from rhumba"},
        {"jazzrhumba", "latin", "rhumba", 120, 0, 0, "made from rhumba"},
        {"bolero", "latin", "bolero", 100},
        {"slowbolero", "latin", "slowbolero", 80},
        {"chacha", "latin", "chacha", 120},
        {"mambo", "latin", "mambo", 140},
        {"salsa", "latin", "salsa", 180, 0, 0.5, "the half note is also tapped"},
        {"son", "latin", "son", 110},
        {"calypso", "latin", "calypso", 120},
        {"tango", "latin", "tango", 120},
        {"lighttango", "latin", "tango", 120, 0, 0, "made from tango"},
        {"afro-cuban", "latin", "afro-cuban", 150, 0, 0, "6/8 written in 3/4: counted the dotted quarter"},
        {"lfusion", "latin", "lfusion", 110},
        {"desert", "latin", "desert", 160},
        {"cubanguitar", "latin", "cubanguitar", 90},
    };
    return table;
}

const std::map<std::string, std::string>& skippedStyles() {
    static const std::map<std::string, std::string> skipped = {
        {"metronome", "count-in clicks, not music"},
        {"metronome3", "count-in clicks, not music"},
        {"metronome6", "count-in clicks, not music"},
        {"metronome68", "count-in clicks, not music"},
        {"none", "silence"},
    };
    return skipped;
}

// Real progressions, one chord a bar, for each kind of music.
const std::vector<std::string>& progressions(const std::string& genre) {
    static const std::map<std::string, std::vector<std::string>> table = {
        {"rock", {"C G Am F", "C F G F", "Am F C G", "E A B A", "C Am F G"}},
        {"ballad", {"C Am F G", "C Em F G", "F G Em Am", "C Am Dm7 G7"}},
        {"blues",
         {"C7 F7 C7 C7 F7 F7 C7 C7 G7 F7 C7 G7", "Cm7 Cm7 Cm7 Cm7 Fm7 Fm7 Cm7 Cm7 Ab7 G7 Cm7 G7",
          "C7 C7 C7 C7 F7 F7 C7 C7 G7 G7 C7 C7"}},
        {"country", {"C C F C C C G7 G7 C C F F C G7 C C", "G C D G", "C F G7 C"}},
        {"folk", {"C F C G C F G C", "Am C G Am", "D G A D"}},
        {"jazz", {"Cmaj7 Am7 Dm7 G7", "Em7 A7 Dm7 G7 Cmaj7 C6 Dm7 G7", "Am7 D7 Gmaj7 Cmaj7 F#m7b5 B7 Em Em"}},
        {"show", {"C A7 Dm G7", "C C G7 G7 G7 G7 C C", "F D7 G7 C7"}},
        {"waltz", {"C C G7 G7 G7 G7 C C", "C F C G7", "Am Dm E7 Am"}},
        {"latin", {"Am Dm E7 Am", "Cmaj7 D7 Dm7 G7", "Am7 D7 Gmaj7 Cmaj7 F#m7b5 B7 Em Em", "Dm A7 A7 Dm"}},
    };
    return table.at(genre);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The grooves a style file defines, in file order, and its quarter notes a bar.
struct StyleFile {
    std::vector<std::string> grooves;
    int quarters = 4;
};

StyleFile readStyleFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    StyleFile style;
    bool timeSeen = false;
    const std::regex defGroove(R"(^\s*defgroove\s+(\S+))", std::regex::icase);
    const std::regex time(R"(^\s*time\s+(\d+))", std::regex::icase);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, defGroove)) {
            style.grooves.push_back(m[1]);
        } else if (!timeSeen && std::regex_search(line, m, time)) {
            style.quarters = std::stoi(m[1]);
            timeSeen = true;
        }
    }
    return style;
}

// Grooves that are not a groove to play a song on, or that only add a voice over one listed.
std::string grooveLeftOut(const std::string& groove) {
    const std::string name = lower(groove);
    for (const char* part : {"intro", "end", "fill", "break", "metronome", "-44", "hit", "duh"}) {
        if (name.find(part) != std::string::npos) return "intro, ending, fill or break";
    }
    for (const char* part : {"sus", "plus", "walk", "triple", "arp"}) {
        if (name.find(part) != std::string::npos) return "adds a voice over a groove listed";
    }
    return {};
}

std::string slug(const std::string& path) {
    std::string stem = std::filesystem::path(path).stem().string();
    return lower(stem);
}

bool isFile(const char* path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

std::vector<std::filesystem::path> midiFilesIn(const char* folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".mid") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The soundtracks' pieces whose notation is plainly at another level of the felt pulse.
struct SoundtrackNote {
    double beatQuarters = 0;
    double alsoFactor = 0;
    const char* note = "";
};

const std::map<std::string, SoundtrackNote>& soundtrackNotes() {
    static const std::map<std::string, SoundtrackNote> notes = {
        {"flying_scotsman", {2, 2, "written at 200 with one snare a bar on its third quarter: a half-time "
                                   "backbeat, counted the half note (100)"}},
        {"coconut_run2", {0, 0.5, "fast backbeat on 2 and 4: the half note is also tapped"}},
        {"run_for_your_life", {0, 0.5, "fast backbeat on 2 and 4: the half note is also tapped"}},
        {"chuggachugga", {0, 0.5, "fast train rhythm: the half note is also tapped"}},
        {"careless_perc_redfarn", {0, 2, "slow, swung eighths: the eighth is also tapped"}},
        {"boogi_marabi_redfarn", {0, 1.0 / 3, "swung 3/4: the bar is also tapped"}},
    };
    return notes;
}

}  // namespace

const char* sourceName(WrittenSource source) {
    switch (source) {
    case WrittenSource::openmsx: return "openmsx";
    case WrittenSource::blupi: return "blupi";
    case WrittenSource::mma: break;
    }
    return "mma";
}

const char* halfName(Half half) { return half == Half::holdout ? "holdout" : "tuning"; }

const std::vector<WrittenSoundfont>& writtenSoundfonts() {
    static const std::vector<WrittenSoundfont> fonts = {
        {"fluidr3", "/usr/share/sounds/sf2/FluidR3_GM.sf2", "fluid-soundfont-gm"},
        {"musescore", "/usr/share/sounds/sf3/MuseScore_General_Full.sf3", "musescore-general-soundfont"},
        {"timgm6mb", "/usr/share/sounds/sf2/TimGM6mb.sf2", "timgm6mb-soundfont"},
    };
    return fonts;
}

WrittenCorpus writtenCorpus() {
    WrittenCorpus corpus;
    for (const auto& font : writtenSoundfonts()) {
        if (!isFile(font.path.c_str())) corpus.missingPackages.push_back(font.package);
    }
    const bool haveMma = isFile(kMmaProgram) && std::filesystem::is_directory(kMmaStyles);
    if (!haveMma) corpus.missingPackages.push_back("mma");
    const auto openMsx = midiFilesIn(kOpenMsx);
    if (openMsx.empty()) corpus.missingPackages.push_back("openttd-openmsx");
    const auto blupi = midiFilesIn(kBlupi);
    if (blupi.empty()) corpus.missingPackages.push_back("planetblupi-music-midi");
    // Without all three soundfonts the pieces would play on other instruments than their truth
    // was judged on: no piece at all.
    if (corpus.missingPackages.size() > 0 &&
        std::any_of(corpus.missingPackages.begin(), corpus.missingPackages.end(),
                    [](const std::string& p) { return p.find("soundfont") != std::string::npos; })) {
        return corpus;
    }
    const auto& fonts = writtenSoundfonts();

    // The halves: within each kind of music, the families in name order take turns.
    std::map<std::string, Half> halfOf;
    auto assign = [&](std::vector<std::pair<std::string, std::string>> genreFamilies) {
        std::sort(genreFamilies.begin(), genreFamilies.end());
        genreFamilies.erase(std::unique(genreFamilies.begin(), genreFamilies.end()), genreFamilies.end());
        std::map<std::string, int> taken;
        for (const auto& [genre, family] : genreFamilies) {
            halfOf[family] = taken[genre]++ % 2 == 0 ? Half::tuning : Half::holdout;
        }
    };

    if (haveMma) {
        std::vector<std::pair<std::string, std::string>> families;
        for (const Style& s : styles()) families.emplace_back(s.genre, std::string("mma-") + s.family);
        assign(families);
        std::set<std::string> known;
        for (const Style& s : styles()) known.insert(s.stem);
        std::error_code error;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(kMmaStyles, error)) {
            if (entry.path().extension() == ".mma") files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            const std::string stem = file.stem().string();
            if (const auto skip = skippedStyles().find(stem); skip != skippedStyles().end()) {
                corpus.skipped.push_back({"mma style " + stem, skip->second});
            } else if (!known.count(stem)) {
                corpus.skipped.push_back({"mma style " + stem, "not in the corpus's table of styles"});
            }
        }
        std::size_t index = 0;
        std::map<std::string, int> leftOut;
        for (const Style& s : styles()) {
            const std::filesystem::path file = std::filesystem::path(kMmaStyles) / (std::string(s.stem) + ".mma");
            if (!std::filesystem::is_regular_file(file, error)) {
                corpus.skipped.push_back({std::string("mma style ") + s.stem, "not installed"});
                continue;
            }
            const StyleFile style = readStyleFile(file);
            const double barSeconds = style.quarters * 60.0 / s.tempo;
            for (const std::string& groove : style.grooves) {
                if (const std::string why = grooveLeftOut(groove); !why.empty()) {
                    ++leftOut[why];
                    continue;
                }
                WrittenPiece p;
                p.source = WrittenSource::mma;
                p.genre = s.genre;
                p.family = std::string("mma-") + s.family;
                p.half = halfOf[p.family];
                p.groove = groove;
                static constexpr double kTempoSteps[] = {1.0, 0.92, 1.08};
                p.songTempo = std::round(s.tempo * kTempoSteps[index % 3]);
                const auto& progs = progressions(s.genre);
                const auto chords = words(progs[index % progs.size()]);
                int bars = int(std::ceil(kSongSeconds * s.tempo / p.songTempo / barSeconds / 4)) * 4;
                bars = std::clamp(bars, 8, 48);
                for (int b = 0; b < bars; ++b) p.chords.push_back(chords[std::size_t(b) % chords.size()]);
                p.transpose = int(index * 5 % 12) - 5;
                p.seed = int(index * 7919 % 100000) + 1;
                p.soundfont = fonts[index % fonts.size()];
                p.beatQuarters = s.beatQuarters;
                if (s.alsoFactor > 0) p.alsoCountedFactors = {s.alsoFactor};
                p.annotation = std::string(s.genre) + ", style " + s.stem + (*s.note ? std::string("; ") + s.note : "");
                char tempo[16];
                std::snprintf(tempo, sizeof tempo, "%g", p.songTempo);
                p.name = "mma-" + std::string(s.stem) + "-" + groove + "-" + tempo + "-" + p.soundfont.name;
                corpus.pieces.push_back(std::move(p));
                ++index;
            }
        }
        for (const auto& [why, count] : leftOut) {
            corpus.skipped.push_back({std::to_string(count) + " mma grooves", why});
        }
    }

    auto addSoundtrack = [&](WrittenSource source, const std::vector<std::filesystem::path>& files, double excerpt) {
        std::vector<std::pair<std::string, std::string>> families;
        for (const auto& f : files) families.emplace_back(sourceName(source), std::string(sourceName(source)) + "-" + slug(f));
        assign(families);
        std::size_t index = 0;
        for (const auto& f : files) {
            WrittenPiece p;
            p.source = source;
            p.genre = "game";
            p.family = std::string(sourceName(source)) + "-" + slug(f);
            p.half = halfOf[p.family];
            p.midiFile = f;
            p.soundfont = fonts[index++ % fonts.size()];
            p.excerptSeconds = excerpt;
            p.annotation = std::string(sourceName(source)) + " soundtrack";
            if (excerpt > 0) p.annotation += ", its first " + std::to_string(int(excerpt)) + " s";
            if (const auto note = soundtrackNotes().find(slug(f)); note != soundtrackNotes().end()) {
                p.beatQuarters = note->second.beatQuarters;
                if (note->second.alsoFactor > 0) p.alsoCountedFactors = {note->second.alsoFactor};
                p.annotation += std::string("; ") + note->second.note;
            }
            p.name = p.family + "-" + p.soundfont.name;
            corpus.pieces.push_back(std::move(p));
        }
    };
    addSoundtrack(WrittenSource::openmsx, openMsx, 0);
    addSoundtrack(WrittenSource::blupi, blupi, kBlupiExcerptSeconds);
    return corpus;
}

std::string missingPackagesText(const WrittenCorpus& corpus) {
    if (corpus.missingPackages.empty()) return {};
    std::string text = "the written music needs packages that are not installed (tools/deps.sh installs them):";
    for (const auto& p : corpus.missingPackages) text += " " + p;
    return text;
}

std::string pieceFileStem(const std::string& name) {
    std::string stem;
    for (char c : name) stem += (std::isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
    return stem;
}

std::string mmaSong(const WrittenPiece& piece) {
    std::ostringstream song;
    song << "// " << piece.name << "\n";
    // MMA varies timing and velocity at random: from a fixed seed, the same song every time.
    song << "RndSeed " << piece.seed << "\n";
    song << "Tempo " << piece.songTempo << "\n";
    song << "Groove " << piece.groove << "\n";
    song << "Transpose " << piece.transpose << "\n";
    for (std::size_t b = 0; b < piece.chords.size(); ++b) song << (b + 1) << " " << piece.chords[b] << "\n";
    return song.str();
}

PieceTruth midiTruth(const MidiSummary& midi, double beatQuarters, double endSeconds, double& counted) {
    PieceTruth truth;
    counted = 0;
    const auto& notes = midi.noteOnTicks;
    if (notes.empty()) throw std::runtime_error("the MIDI file plays no note");
    const double tpq = midi.ticksPerQuarter;

    // The players' offset from the written grid, for a file whose every note sits a few ticks off
    // it: when most notes lie off the grid of sixteenths and eighth-note triplets, the distance
    // from the nearest sixteenth that most notes share (within two ticks).
    const double sixteenth = tpq / 4, triplet = tpq / 3;
    auto offGrid = [](double tick, double step) { return tick - std::round(tick / step) * step; };
    std::size_t onGrid = 0;
    std::map<long long, std::size_t> offsets;
    for (std::int64_t t : notes) {
        const double tick = double(t);
        if (std::min(std::abs(offGrid(tick, sixteenth)), std::abs(offGrid(tick, triplet))) <= 1) ++onGrid;
        offsets[std::llround(offGrid(tick, sixteenth))]++;
    }
    double shift = 0;
    if (onGrid * 2 < notes.size()) {
        std::size_t best = 0;
        for (const auto& [offset, count] : offsets) {
            std::size_t near = 0;
            double sum = 0;
            for (auto it = offsets.lower_bound(offset - 2); it != offsets.end() && it->first <= offset + 2; ++it) {
                near += it->second;
                sum += double(it->first) * double(it->second);
            }
            if (near > best) {
                best = near;
                shift = sum / double(near);
            }
        }
        if (best * 5 < notes.size() * 2) shift = 0;
    }

    double lastNote = double(notes.back());
    if (endSeconds > 0) {
        // The excerpt's music ends a second before the cut.
        const auto inside = std::find_if(notes.rbegin(), notes.rend(),
                                         [&](std::int64_t t) { return midi.secondsAt(double(t)) < endSeconds - 1; });
        if (inside == notes.rend()) throw std::runtime_error("the excerpt plays no note");
        lastNote = double(*inside);
    }
    const double firstNote = double(notes.front());

    std::vector<double> beatTicks;
    for (std::size_t m = 0; m < midi.meters.size(); ++m) {
        const auto& meter = midi.meters[m];
        const double from = double(meter.tick);
        const double to = m + 1 < midi.meters.size() ? double(midi.meters[m + 1].tick) : lastNote + 4 * tpq;
        const bool compound = meter.denominator == 8 && meter.numerator % 3 == 0 && meter.numerator > 3;
        const double quarters = beatQuarters > 0 ? beatQuarters : (compound ? 1.5 : 1.0);
        const double step = quarters * tpq;
        const double bar = meter.numerator * 4.0 / meter.denominator * tpq;
        truth.meters.push_back({midi.secondsAt(from + shift), meter.numerator, meter.denominator});
        for (double t = from; t < to - 1e-9; t += step) {
            const double tick = t + shift;
            if (tick < firstNote - step / 4 || tick > lastNote + step / 4) continue;
            beatTicks.push_back(tick);
            // Bar lines are known where the beat is counted as the meter is written.
            const double inBar = std::fmod(t - from, bar);
            if (beatQuarters <= 0 && (inBar < 1e-6 || bar - inBar < 1e-6)) truth.downbeats.push_back(midi.secondsAt(tick));
        }
    }
    if (beatTicks.size() < 2) throw std::runtime_error("the MIDI file has fewer than two beats of music");
    for (double tick : beatTicks) truth.beats.push_back(midi.secondsAt(tick));
    // The counted tempo between each beat and the next.
    for (std::size_t i = 0; i < truth.beats.size(); ++i) {
        const std::size_t a = i + 1 < truth.beats.size() ? i : i - 1;
        truth.stepTimes.push_back(truth.beats[i]);
        truth.stepBpm.push_back(60 / (truth.beats[a + 1] - truth.beats[a]));
    }
    truth.musicStart = truth.beats.front();
    truth.musicEnd = truth.beats.back() + 60 / truth.stepBpm.back();
    // The tempo as written, in counted beats: every change inside the music.
    for (const auto& t : midi.tempos) {
        const double tick = std::max(double(t.tick), beatTicks.front());
        if (tick > beatTicks.back()) break;
        const double local = truth.localBpm(midi.secondsAt(tick));
        if (truth.map.empty() || std::abs(truth.map.back().bpm - local) > 1e-6) {
            if (!truth.map.empty() && std::abs(truth.map.back().timeSeconds - midi.secondsAt(tick)) < 1e-9) {
                truth.map.back().bpm = local;
            } else {
                truth.map.push_back({midi.secondsAt(tick), local, false});
            }
        }
    }
    // Steady: every beat within 1 % of the median tempo (a ritardando or a change makes a map).
    std::vector<double> sorted = truth.stepBpm;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(sorted.size() / 2), sorted.end());
    const double median = sorted[sorted.size() / 2];
    truth.steady = std::all_of(truth.stepBpm.begin(), truth.stepBpm.end(),
                               [&](double bpm) { return std::abs(bpm - median) <= 0.01 * median; });
    if (truth.steady) counted = truth.map.empty() ? median : truth.map.front().bpm;
    return truth;
}

RenderedWritten renderWrittenPiece(const WrittenPiece& piece, const std::filesystem::path& folder) {
    std::filesystem::path midi = piece.midiFile;
    if (piece.source == WrittenSource::mma) {
        const std::string stem = pieceFileStem(piece.name);
        const std::filesystem::path song = folder / (stem + ".mma");
        midi = folder / (stem + ".mid");
        const std::filesystem::path log = folder / (stem + ".log");
        {
            std::ofstream out(song);
            out << mmaSong(piece);
            if (!out) throw std::runtime_error("cannot write " + song.string());
        }
        const std::string command = std::string("PYTHONHASHSEED=0 ") + kMmaProgram + " -f '" + midi.string() + "' '" + song.string() +
                                    "' > '" + log.string() + "' 2>&1";
        const int status = std::system(command.c_str());
        std::error_code error;
        if (status != 0 || !std::filesystem::is_regular_file(midi, error)) {
            std::ifstream in(log);
            std::stringstream text;
            text << in.rdbuf();
            throw std::runtime_error("mma failed on " + song.string() + ": " + text.str());
        }
        std::filesystem::remove(song, error);
        std::filesystem::remove(log, error);
    }
    RenderedWritten rendered;
    const MidiSummary summary = readMidiSummary(midi);
    rendered.truth = midiTruth(summary, piece.beatQuarters, piece.excerptSeconds, rendered.countedBpm);
    if (rendered.countedBpm > 0) {
        for (double f : piece.alsoCountedFactors) rendered.alsoCounted.push_back(rendered.countedBpm * f);
    }
    std::vector<float> left, right;
    playMidiFile(midi, piece.soundfont.path, kRate, kTailSeconds, piece.excerptSeconds, left, right);
    if (piece.source == WrittenSource::mma) {
        std::error_code error;
        std::filesystem::remove(midi, error);
    }
    rendered.signal.sampleRate = kRate;
    rendered.signal.channels = 2;
    rendered.signal.interleaved.resize(left.size() * 2);
    for (std::size_t i = 0; i < left.size(); ++i) {
        rendered.signal.interleaved[2 * i] = left[i];
        rendered.signal.interleaved[2 * i + 1] = right[i];
    }
    rendered.truth.durationSeconds = double(left.size()) / kRate;
    return rendered;
}

WrittenFile writeWrittenPiece(const WrittenPiece& piece, const std::filesystem::path& folder) {
    RenderedWritten rendered = renderWrittenPiece(piece, folder);
    WrittenFile written;
    written.file = folder / (pieceFileStem(piece.name) + ".wav");
    audio::testkit::writeWav(written.file, rendered.signal);
    written.truth = std::move(rendered.truth);
    written.countedBpm = rendered.countedBpm;
    written.alsoCounted = std::move(rendered.alsoCounted);
    written.audioSeconds = double(rendered.signal.frames()) / rendered.signal.sampleRate;
    return written;
}

}  // namespace corvel::bench
