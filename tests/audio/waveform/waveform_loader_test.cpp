#include "audio/waveform/waveform_loader.hpp"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <latch>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "audio/test_signals.hpp"
#include "common/atomic_file.hpp"
#include "common/format.hpp"
#include "common/sha256.hpp"
#include "platform/paths.hpp"

namespace corvel::audio {
namespace {

namespace fs = std::filesystem;
using namespace testkit;
using Loader = BeatloomWaveformLoader;

// Each test gets its own HOME and XDG_CACHE_HOME, and a loader that counts its decodes.
class WaveformLoader : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_CACHE_HOME"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        fs::create_directories(folder / "home");
        ::setenv("HOME", (folder / "home").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (folder / "cache").c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

    fs::path cacheFolder() const { return folder / "cache" / "Orvanta" / "Beatloom" / "Waveforms"; }

    Loader::Routes countingRoutes(bool failFirst = false) {
        const auto defaults = Loader::defaultRoutes();
        return Loader::Routes{
            [this, failFirst, first = defaults.first](const fs::path& file, double d, std::int64_t n) {
                ++firstDecodes;
                if (failFirst) throw ErrorException(Error{"test", 1, "route 1 is off"});
                return first(file, d, n);
            },
            [this, second = defaults.second](const fs::path& file, double d, std::int64_t n, const Error& error) {
                ++secondDecodes;
                return second(file, d, n, error);
            }};
    }

    Loader loader(bool failFirst = false) { return Loader(platform::UserFolders().caches(), countingRoutes(failFirst)); }

    std::vector<fs::path> cacheFiles() const {
        std::vector<fs::path> files;
        if (!fs::exists(cacheFolder())) return files;
        for (const auto& entry : fs::directory_iterator(cacheFolder())) files.push_back(entry.path());
        return files;
    }

    TempFolder folder{"waveform"};
    std::atomic<int> firstDecodes = 0;
    std::atomic<int> secondDecodes = 0;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(WaveformLoader, BinCountFollowsTheDuration) {
    struct Case {
        double duration;
        std::int64_t bins;
    };
    for (const Case& c : {Case{0, 65536}, Case{-3, 65536}, Case{std::nan(""), 65536}, Case{30, 65536},
                          Case{32.768, 65536}, Case{32.7685, 65537}, Case{100, 200000}, Case{524.288, 1048576},
                          Case{600, 1048576}}) {
        EXPECT_EQ(Loader::binCount(Loader::effectiveDuration(c.duration)), c.bins) << c.duration;
    }
    EXPECT_EQ(Loader::effectiveDuration(std::nan("")), 0.001);
    EXPECT_EQ(Loader::effectiveDuration(-1), 0.001);
    EXPECT_EQ(Loader::effectiveDuration(12.5), 12.5);
}

TEST_F(WaveformLoader, ConstantStereoFileGivesNormalisedBinsAndACacheFile) {
    writeWav(folder / "flat.wav", constant(44100, {0.5f, -0.25f}, 88200));
    const auto record = loader().load(folder / "flat.wav", 2.0);
    EXPECT_EQ(record.durationSeconds, 2.0);
    ASSERT_EQ(record.minPeaks.size(), 65536u);
    ASSERT_EQ(record.maxPeaks.size(), 65536u);
    for (std::size_t i = 0; i < record.minPeaks.size(); ++i) {
        ASSERT_EQ(record.minPeaks[i], -0.5f) << i;
        ASSERT_EQ(record.maxPeaks[i], 1.0f) << i;
    }
    EXPECT_EQ(record.sourceDescription, "flat.wav");
    EXPECT_EQ(record.algorithmVersion, "Orvanta-Beatloom-Waveform-2");

    // One compact JSON object with the five fields, under the user's caches folder.
    const auto files = cacheFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto bytes = readFileBytes(files[0], kUnlimitedFileSize);
    const auto json = nlohmann::json::parse(bytes.begin(), bytes.end());
    EXPECT_TRUE(json.at("durationSeconds").is_number());
    EXPECT_EQ(json.at("minPeaks").size(), 65536u);
    EXPECT_EQ(json.at("maxPeaks").at(0).get<float>(), 1.0f);
    EXPECT_EQ(json.at("sourceDescription"), "flat.wav");
    EXPECT_EQ(json.at("algorithmVersion"), "Orvanta-Beatloom-Waveform-2");
}

TEST_F(WaveformLoader, BinningTakesTheExtremesOfEachBinAndSkipsUnusableFrames) {
    const float nan = std::nanf("");
    const float inf = INFINITY;
    // 8 bins over 1 s at 8 frames per second: frame k lies in bin k.
    Signal signal{8, 2,
                  {0.5f, -0.25f,  // bin 0
                   nan, 0.3f,     // bin 1: the NaN takes no part
                   inf, 0.1f,     // bin 2: skipped
                   nan, nan,      // bin 3: skipped
                   0.2f, 0.1f,    // bin 4
                   0, 0, 0, 0,    // bins 5, 6
                   -0.4f, 0.0f,   // bin 7
                   0.25f, 0.25f,  // t = 1.0 exactly: the last bin
                   0.9f, 0.9f}};  // after the duration: not used
    MemorySource source(signal);
    const auto record = Loader::computeWithSource(source, 1.0, 8, "probe.wav");
    EXPECT_EQ(record.minPeaks, (std::vector<float>{-0.5f, 0.6f, 0, 0, 0.2f, 0, 0, -0.8f}));
    EXPECT_EQ(record.maxPeaks, (std::vector<float>{1.0f, 0.6f, 0, 0, 0.4f, 0, 0, 0.5f}));

    // A file shorter than the duration leaves the later bins at 0; silence is not scaled.
    MemorySource quiet(silence(8, 1, 4));
    const auto silent = Loader::computeWithSource(quiet, 1.0, 8, "quiet.wav");
    EXPECT_EQ(silent.minPeaks, std::vector<float>(8, 0.0f));
    EXPECT_EQ(silent.maxPeaks, std::vector<float>(8, 0.0f));
}

TEST_F(WaveformLoader, SecondLoadReadsTheCacheAndATouchedFileMisses) {
    const fs::path file = folder / "song.wav";
    writeWav(file, noise(44100, 2, 44100 * 3));

    // The key is the digest of the six lines.
    const double d = 3.0;
    const std::int64_t n = Loader::binCount(d);
    struct stat attributes {};
    ASSERT_EQ(::stat(file.c_str(), &attributes), 0);
    const double modified = double(attributes.st_mtim.tv_sec) + double(attributes.st_mtim.tv_nsec) / 1e9;
    const std::string lines = "Orvanta-Beatloom-Waveform-2\n" + file.lexically_normal().string() + "\n" +
                              formatInteger(attributes.st_size) + "\n" + formatFixed(modified, 3) + "\n3.000000\n" +
                              formatInteger(n);
    const std::string key = hexString(sha256(lines));
    ASSERT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
    ASSERT_EQ(key.size(), 64u);
    fs::create_directory(folder / "sub");
    EXPECT_EQ(Loader::cacheKey(folder / "." / "sub" / ".." / "song.wav", d, n), key);

    auto cached = loader();
    const auto first = cached.load(file, d);
    EXPECT_TRUE(fs::exists(cacheFolder() / (key + ".json")));
    const auto second = cached.load(file, d);
    EXPECT_EQ(firstDecodes, 1);
    EXPECT_EQ(second, first);

    fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
    EXPECT_EQ(cached.load(file, d), first);
    EXPECT_EQ(firstDecodes, 2);
    cached.load(file, 2.5);  // another duration: another key
    EXPECT_EQ(firstDecodes, 3);
    EXPECT_EQ(cacheFiles().size(), 3u);
    EXPECT_EQ(secondDecodes, 0);
}

TEST_F(WaveformLoader, BrokenCacheFilesAreIgnoredAndReplaced) {
    const fs::path file = folder / "song.wav";
    writeWav(file, sine(44100, 1, 44100 * 2, 220));
    auto cached = loader();
    const auto good = cached.load(file, 2.0);
    const auto cacheFile = cacheFiles().at(0);
    const auto goodBytes = readFileBytes(cacheFile, kUnlimitedFileSize);
    const std::string goodText(goodBytes.begin(), goodBytes.end());
    auto patched = [&](const std::string& from, const std::string& to) {
        std::string text = goodText;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    auto withFirstMaxPeak = [&](const std::string& value) {
        std::string text = goodText;
        const auto start = text.find("\"maxPeaks\":[") + 12;
        return text.replace(start, text.find(',', start) - start, value);
    };
    const std::string broken[] = {
        goodText.substr(0, goodText.size() / 2),                      // truncated
        patched("\"minPeaks\":[", "\"minPeaks\":[0.5,"),              // one bin too many
        patched("\"maxPeaks\":[", "\"maxPeaks\":[7.0,") ,             // a value of 7 (and one too many)
        withFirstMaxPeak("7.0"),                                      // a value of 7 at the right count
        withFirstMaxPeak("NaN"),                                      // not JSON
        patched("\"durationSeconds\":2", "\"durationSeconds\":2.5"),  // another duration
        patched("Waveform-2", "Waveform-1"),                          // another version
        patched("\"sourceDescription\":\"song.wav\"", "\"sourceDescription\":3"),  // wrong type
        "[]",
    };
    int expectedDecodes = 1;
    for (const auto& text : broken) {
        writeFileAtomically(cacheFile, std::string_view(text));
        EXPECT_EQ(cached.load(file, 2.0), good) << text.substr(0, 80);
        EXPECT_EQ(firstDecodes, ++expectedDecodes) << text.substr(0, 80);
        EXPECT_EQ(readFileBytes(cacheFile, kUnlimitedFileSize), goodBytes);
    }

    // Keys in another order and keys of no interest are fine.
    const auto reordered = "{\"algorithmVersion\":\"Orvanta-Beatloom-Waveform-2\",\"extra\":{\"a\":[1,null,true]},"
                           "\"sourceDescription\":\"x\\u00e9.wav\",\"maxPeaks\":[1,-0.5e0],\"minPeaks\":[0,-1],"
                           "\"durationSeconds\":0.001}";
    const auto decoded = Loader::decodeCacheRecord(reordered);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->sourceDescription, "x\xC3\xA9.wav");
    EXPECT_EQ(decoded->maxPeaks, (std::vector<float>{1.0f, -0.5f}));
    EXPECT_EQ(Loader::decodeCacheRecord(Loader::encodeCacheRecord(*decoded).value()), decoded);
}

TEST_F(WaveformLoader, ANamedPipeOrAnOversizedFileInACacheFilesPlaceIsAMiss) {
    const fs::path file = folder / "song.wav";
    writeWav(file, sine(44100, 1, 44100, 220));
    const double d = 1.0;
    const auto cacheFile = loader().cacheFileURL(Loader::cacheKey(file, d, Loader::binCount(d)));
    ASSERT_EQ(::mkfifo(cacheFile.c_str(), 0644), 0);  // no writer: a blocking read would wait for ever
    const auto built = loader().load(file, d);
    EXPECT_EQ(firstDecodes, 1);
    EXPECT_TRUE(fs::is_regular_file(cacheFile));

    // A sparse file far larger than any cache record is not read at all.
    fs::remove(cacheFile);
    { std::ofstream(cacheFile) << "{"; }
    fs::resize_file(cacheFile, 200ull * 1000 * 1000);
    EXPECT_EQ(loader().load(file, d), built);
    EXPECT_EQ(firstDecodes, 2);
    EXPECT_LT(fs::file_size(cacheFile), 10ull * 1000 * 1000);
    EXPECT_EQ(loader().load(file, d), built);
    EXPECT_EQ(firstDecodes, 2);
}

TEST_F(WaveformLoader, TheCacheKeepsToItsSizeLimitDroppingTheLeastRecentlyUsedFirst) {
    const std::vector<std::string> songs = {"a.wav", "b.wav", "c.wav"};
    for (std::size_t i = 0; i < songs.size(); ++i) writeWav(folder / songs[i], sine(44100, 1, 44100, 220.0 * double(i + 1)));
    const auto cacheFileOf = [&](const std::string& song) {
        return cacheFolder() / (Loader::cacheKey(folder / song, 1.0, Loader::binCount(1.0)) + ".json");
    };
    const auto age = [&](const std::string& song, int seconds) {
        fs::last_write_time(cacheFileOf(song), fs::file_time_type::clock::now() - std::chrono::seconds(seconds));
    };
    // Room for two records and a half.
    Loader(platform::UserFolders().caches(), countingRoutes()).load(folder / "a.wav", 1.0);
    Loader(platform::UserFolders().caches(), countingRoutes()).load(folder / "b.wav", 1.0);
    const auto limit = fs::file_size(cacheFileOf("a.wav")) + fs::file_size(cacheFileOf("b.wav")) +
                       fs::file_size(cacheFileOf("a.wav")) / 2;
    const Loader bounded(platform::UserFolders().caches(), countingRoutes(), limit);
    age("a.wav", 300);
    age("b.wav", 200);
    std::ofstream(cacheFolder() / "notes.txt") << std::string(limit, 'x');  // no cache file: neither counted nor removed

    bounded.load(folder / "a.wav", 1.0);  // a hit makes a.wav the most recently used
    EXPECT_EQ(firstDecodes, 2);
    bounded.load(folder / "c.wav", 1.0);  // the third record pushes the oldest out: b.wav

    EXPECT_EQ(firstDecodes, 3);
    EXPECT_TRUE(fs::exists(cacheFileOf("a.wav")));
    EXPECT_FALSE(fs::exists(cacheFileOf("b.wav")));
    EXPECT_TRUE(fs::exists(cacheFileOf("c.wav")));
    EXPECT_TRUE(fs::exists(cacheFolder() / "notes.txt"));
    bounded.load(folder / "a.wav", 1.0);
    EXPECT_EQ(firstDecodes, 3);

    // A record larger than the whole limit still stays: the load that wrote it keeps it.
    const Loader tiny(platform::UserFolders().caches(), countingRoutes(), 1);
    tiny.load(folder / "b.wav", 1.0);
    EXPECT_EQ(cacheFiles().size(), 2u);  // b.wav's record and notes.txt
    EXPECT_TRUE(fs::exists(cacheFileOf("b.wav")));
}

// The second route places each frame where the reader does, also where the decoder gives the
// first frame a later timestamp (the encoder delay of an MP3), so the record cached is the
// same whichever route built it.
TEST_F(WaveformLoader, SecondRouteGivesTheSameRecordAndOpensWhatOnlyFFmpegReads) {
    writeWav(folder / "song.wav", clicks(44100, 2, 3.0, 128));
    makeM4a(folder / "song.wav", folder / "song.m4a");
    ASSERT_TRUE(makeMp3(folder / "song.wav", folder / "song.mp3"));
    for (const char* name : {"song.wav", "song.m4a", "song.mp3"}) {
        const auto viaReader = Loader::computeWithAudioFile(folder / name, 3.0, 65536);
        const auto viaFallback = loader(/*failFirst=*/true).load(folder / name, 3.0);
        EXPECT_EQ(secondDecodes.exchange(0), 1) << name;
        EXPECT_EQ(viaFallback, viaReader) << name;
        EXPECT_EQ(loader().load(folder / name, 3.0), viaReader) << name;  // from the cache
        EXPECT_EQ(firstDecodes.exchange(0), 1) << name;
    }
    EXPECT_EQ(cacheFiles().size(), 3u);
}

TEST_F(WaveformLoader, ADecodeThatReachesNoBinFailsAndCachesNothing) {
    // Every sample infinite: both routes skip every frame.
    Signal broken = constant(44100, {INFINITY, INFINITY}, 44100);
    writeWav(folder / "broken.wav", broken, WavEncoding::float32);
    try {
        loader().load(folder / "broken.wav", 1.0);
        ADD_FAILURE() << "no error";
    } catch (const ErrorException& failure) {
        EXPECT_EQ(failure.error(),
                  (Error{"OrvantaBeatloom.Waveform", 5101, "Invalid audio format for waveform display."}));
    }
    EXPECT_EQ(secondDecodes, 1);
    EXPECT_TRUE(cacheFiles().empty());

    // A source whose first read delivers nothing, and one without a buffer.
    for (const bool deliversNothing : {true, false}) {
        MemorySource source(sine(44100, 1, 44100, 440));
        source.deliversNothing = deliversNothing;
        source.failBuffer = !deliversNothing;
        try {
            Loader::computeWithSource(source, 1.0, 65536, "x.wav");
            ADD_FAILURE() << "no error";
        } catch (const ErrorException& failure) {
            EXPECT_EQ(failure.error(),
                      (Error{"OrvantaBeatloom.Waveform", 5101, "Invalid audio format for waveform display."}));
        }
    }
}

TEST_F(WaveformLoader, MissingAndUnreadableFilesFail) {
    try {
        loader().load(folder / "missing.wav", 10);
        ADD_FAILURE() << "no error";
    } catch (const ErrorException& failure) {
        EXPECT_EQ(failure.error().domain, "POSIX");
        EXPECT_EQ(failure.error().code, ENOENT);
    }
    EXPECT_EQ(firstDecodes, 0);

    // An unreadable file: a privileged run checks it as an unprivileged user.
    writeWav(folder / "locked.wav", sine(44100, 1, 44100, 440));
    ASSERT_EQ(::chmod((folder / "locked.wav").c_str(), 0), 0);
    auto expectNotReadable = [&] {
        try {
            Loader(platform::UserFolders().caches()).load(folder / "locked.wav", 1.0);
        } catch (const ErrorException& failure) {
            return failure.error() ==
                   Error{"OrvantaBeatloom.Waveform", 5100, "The audio file is not readable for waveform display."};
        }
        return false;
    };
    if (::access((folder / "locked.wav").c_str(), R_OK) != 0) {
        EXPECT_TRUE(expectNotReadable());
        return;
    }
    // Root (or a user with its file capabilities) reads every file, so the check runs in a
    // child that has become "nobody"; the folder is opened up for it to reach the file.
    fs::permissions(folder.path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    constexpr int kCannotTest = 77;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct stat info {};
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::stat((folder / "locked.wav").c_str(), &info) != 0) {
            ::_exit(kCannotTest);  // no user switch here, or the temp folder's parents are closed to it
        }
        ::_exit(expectNotReadable() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == kCannotTest) GTEST_SKIP() << "cannot check an unreadable file as an unprivileged user";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(WaveformLoader, TwoLoadsOfOneFileAtOnceLeaveOneWholeCacheFile) {
    writeWav(folder / "song.wav", noise(44100, 2, 44100 * 40));
    // Neither load decodes before both have missed the cache, so both decode and both write.
    std::latch bothMissed(2);
    const auto defaults = Loader::defaultRoutes();
    const Loader::Routes meeting{
        [&, decode = defaults.first](const fs::path& file, double d, std::int64_t n) {
            ++firstDecodes;
            bothMissed.arrive_and_wait();
            return decode(file, d, n);
        },
        defaults.second};
    BeatloomWaveformData a;
    BeatloomWaveformData b;
    const auto load = [&](BeatloomWaveformData& into) {
        into = Loader(platform::UserFolders().caches(), meeting).load(folder / "song.wav", 40.0);
    };
    std::thread first(load, std::ref(a));
    std::thread second(load, std::ref(b));
    first.join();
    second.join();
    EXPECT_EQ(firstDecodes, 2);
    EXPECT_EQ(a, b);
    ASSERT_EQ(cacheFiles().size(), 1u);  // no temp file left behind
    const auto bytes = readFileBytes(cacheFiles()[0], kUnlimitedFileSize);
    const auto decoded = Loader::decodeCacheRecord(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, a);
}

}  // namespace
}  // namespace corvel::audio
