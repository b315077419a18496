#include "audio/reading/audio_file_reader.hpp"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <limits>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "analysis/analysis_entry_points.hpp"
#include "audio/preview/preview_output.hpp"
#include "audio/preview/preview_player.hpp"
#include "audio/test_signals.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "common/error.hpp"
#include "support/manual_main_loop.hpp"

namespace corvel::audio {
namespace {

using namespace testkit;

std::vector<float> readFrom(const std::filesystem::path& file, std::int64_t position, bool ffmpegOnly = false) {
    auto reader = ffmpegOnly ? AudioFileReader::openWithFFmpeg(file) : AudioFileReader::open(file);
    reader->setFramePosition(position);
    return readAll(*reader, 3000);
}

TEST(AudioFileReader, ReadsAStereoWavExactlyAndSeeks) {
    TempFolder folder("reader-wav");
    const Signal signal = noise(44100, 2, 70001, 0.9);
    writeWav(folder / "noise.wav", signal);

    auto reader = AudioFileReader::open(folder / "noise.wav");
    EXPECT_STREQ(reader->decoderName(), "libsndfile");
    EXPECT_EQ(reader->sampleRate(), 44100.0);
    EXPECT_EQ(reader->channelCount(), 2u);
    EXPECT_EQ(reader->length(), 70001);
    const auto all = readAll(*reader, 32768);
    ASSERT_EQ(all.size(), signal.interleaved.size());
    for (std::size_t i = 0; i < all.size(); ++i) ASSERT_NEAR(all[i], signal.interleaved[i], 1.0 / 32768) << i;
    EXPECT_EQ(reader->framePosition(), 70001);

    reader->setFramePosition(12345);
    EXPECT_EQ(reader->framePosition(), 12345);
    AudioBuffer buffer(2, 100);
    reader->read(buffer, 100);
    ASSERT_EQ(buffer.frameLength(), 100u);
    for (std::uint32_t i = 0; i < 100; ++i) {
        EXPECT_EQ(buffer.channel(0)[i], all[(12345 + i) * 2]);
        EXPECT_EQ(buffer.channel(1)[i], all[(12345 + i) * 2 + 1]);
    }
    reader->setFramePosition(1'000'000);  // beyond the end: clamped, nothing more to read
    EXPECT_EQ(reader->framePosition(), 70001);
    reader->read(buffer, 100);
    EXPECT_EQ(buffer.frameLength(), 0u);
}

TEST(AudioFileReader, OpensAacInM4aThroughFFmpegAndSeeksLikeASequentialDecode) {
    TempFolder folder("reader-m4a");
    writeWav(folder / "source.wav", clicks(44100, 2, 6.0, 120));
    makeM4a(folder / "source.wav", folder / "song.m4a");

    auto reader = AudioFileReader::open(folder / "song.m4a");
    EXPECT_STREQ(reader->decoderName(), "FFmpeg");
    EXPECT_EQ(reader->sampleRate(), 44100.0);
    EXPECT_EQ(reader->channelCount(), 2u);
    const auto sequential = readAll(*reader);
    EXPECT_EQ(static_cast<std::int64_t>(sequential.size()), reader->length() * 2);
    EXPECT_NEAR(static_cast<double>(reader->length()), 6.0 * 44100, 2048);

    // Near the start (decoded from the beginning), far in (seek and preroll), and backward.
    for (const std::int64_t position : {12345L, 200000L, 3L}) {
        auto seeking = AudioFileReader::open(folder / "song.m4a");
        if (position == 3) (void)readAll(*seeking);
        seeking->setFramePosition(position);
        EXPECT_EQ(seeking->framePosition(), position);
        const auto tail = readAll(*seeking, 3000);
        ASSERT_EQ(tail.size(), sequential.size() - std::size_t(position) * 2) << position;
        for (std::size_t i = 0; i < tail.size(); ++i) {
            ASSERT_NEAR(tail[i], sequential[std::size_t(position) * 2 + i], 1e-6) << position << " at " << i;
        }
    }
}

TEST(AudioFileReader, FFmpegRouteReadsAWavLikeLibsndfile) {
    TempFolder folder("reader-both");
    const Signal signal = sine(48000, 1, 30000, 440);
    writeWav(folder / "sine.wav", signal, WavEncoding::float32);
    auto viaFFmpeg = AudioFileReader::openWithFFmpeg(folder / "sine.wav");
    EXPECT_STREQ(viaFFmpeg->decoderName(), "FFmpeg");
    EXPECT_EQ(viaFFmpeg->sampleRate(), 48000.0);
    EXPECT_EQ(viaFFmpeg->length(), 30000);
    EXPECT_EQ(readAll(*viaFFmpeg), signal.interleaved);
    EXPECT_EQ(readFrom(folder / "sine.wav", 0), signal.interleaved);
}

TEST(AudioFileReader, TwoReadersOnOneFileInTwoThreadsReadTheSame) {
    TempFolder folder("reader-threads");
    writeWav(folder / "source.wav", noise(44100, 2, 44100 * 3));
    makeM4a(folder / "source.wav", folder / "song.m4a");
    for (const char* name : {"source.wav", "song.m4a"}) {
        std::vector<float> first;
        std::vector<float> second;
        std::thread a([&] { first = readFrom(folder / name, 1000); });
        std::thread b([&] { second = readFrom(folder / name, 1000); });
        a.join();
        b.join();
        EXPECT_FALSE(first.empty());
        EXPECT_EQ(first, second) << name;
    }
}

// Waits for work that opens `file` on another thread. When it blocks on a named pipe, the
// pipe gets short-lived writers until the work ends, so that a reader that blocks fails
// the test instead of hanging it.
template <typename T>
T awaitWithoutHanging(std::future<T>& work, const std::filesystem::path& file) {
    if (work.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "opening " << file << " blocks";
        do {
            const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) ::close(writer);
        } while (work.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout);
    }
    return work.get();
}

std::unique_ptr<AudioFileReader> openWithoutHanging(const std::filesystem::path& file) {
    auto opening = std::async(std::launch::async, [file] { return AudioFileReader::open(file); });
    return awaitWithoutHanging(opening, file);
}

TEST(AudioFileReader, UnreadableFilesGiveClearErrors) {
    TempFolder folder("reader-errors");
    std::ofstream(folder / "empty.wav").close();
    std::ofstream(folder / "notes.wav") << "These are not audio samples, just a text file with a .wav name.\n";
    std::filesystem::create_directory(folder / "folder.wav");
    ASSERT_EQ(::mkfifo((folder / "pipe.wav").c_str(), 0600), 0);
    struct Case {
        std::string name;
        std::string domain;
        std::string says;  // besides the file's name
    };
    // What no decoder reads is named and said to be no audio the application reads, in
    // place of a library's words for it.
    const std::string notAudio = "\" is not an audio file that Orvanta VODUVE Corvel can read. Open an audio file "
                                 "such as WAV, AIFF, FLAC, MP3, M4A or Ogg.";
    for (const Case& c : {Case{"missing.wav", "POSIX", ""}, Case{"empty.wav", "FFmpeg", "\"empty.wav" + notAudio},
                          Case{"notes.wav", "FFmpeg", "\"notes.wav" + notAudio},
                          Case{"folder.wav", "POSIX", "Not a regular file (a folder)"},
                          Case{"pipe.wav", "POSIX", "Not a regular file (a named pipe)"}}) {
        try {
            openWithoutHanging(folder / c.name);
            ADD_FAILURE() << c.name << " opened";
        } catch (const ErrorException& failure) {
            EXPECT_NE(failure.error().message.find(c.says), std::string::npos) << failure.error().message;
            EXPECT_EQ(failure.error().message.find("Invalid data"), std::string::npos) << failure.error().message;
            EXPECT_EQ(failure.error().domain, c.domain) << c.name;
            EXPECT_NE(failure.error().code, 0) << c.name;
            EXPECT_NE(failure.error().message.find(c.name), std::string::npos) << failure.error().message;
            EXPECT_GT(failure.error().message.size(), (folder / c.name).string().size() + 5) << failure.error().message;
        }
    }
}

TEST(AudioFileReader, EveryRouteRefusesAFormatNoRecordingHasByName) {
    TempFolder folder("reader-format-range");
    struct Case {
        std::string name;
        double rate;
        std::uint32_t channels;
        std::string says;  // empty: opens
    };
    for (const Case& c : {Case{"most.wav", 768000, 64, ""}, Case{"channels.wav", 48000, 65, "65 channels"},
                          Case{"rate.wav", 1000000, 2, "1000000 samples a second"}}) {
        writeWavStreamed(folder / c.name, c.rate, c.channels, 256, [](std::int64_t, std::vector<float>& mono) {
            std::fill(mono.begin(), mono.end(), 0.25f);
        });
        for (const bool ffmpegOnly : {false, true}) {
            SCOPED_TRACE(c.name + (ffmpegOnly ? " through FFmpeg" : ""));
            try {
                auto reader = ffmpegOnly ? AudioFileReader::openWithFFmpeg(folder / c.name)
                                         : AudioFileReader::open(folder / c.name);
                EXPECT_TRUE(c.says.empty()) << "opened";
                EXPECT_EQ(reader->channelCount(), c.channels);
                EXPECT_EQ(reader->sampleRate(), c.rate);
                EXPECT_EQ(reader->length(), 256);
            } catch (const ErrorException& failure) {
                const std::string& message = failure.error().message;
                EXPECT_FALSE(c.says.empty()) << message;
                EXPECT_NE(message.find("\"" + c.name + "\""), std::string::npos) << message;
                EXPECT_NE(message.find(c.says), std::string::npos) << message;
                EXPECT_NE(failure.error().code, 0);
            }
        }
    }
}

TEST(AudioFileReader, NoDecodePathOpensAPipeOrADevice) {
    TempFolder folder("reader-pipe");
    ASSERT_EQ(::mkfifo((folder / "x.m4a").c_str(), 0600), 0);
    const Error first{"test", 1, "first route failed"};
    for (const std::filesystem::path& file : {folder / "x.m4a", std::filesystem::path("/dev/null")}) {
        auto attempts = std::async(std::launch::async, [&] {
            EXPECT_THROW(AudioFileReader::openWithFFmpeg(file), ErrorException);
            EXPECT_THROW(BeatloomWaveformLoader::computeWithAudioFile(file, 1.0, 65536), ErrorException);
            EXPECT_THROW(BeatloomWaveformLoader::computeWithAssetReader(file, 1.0, 65536, first), ErrorException);
        });
        awaitWithoutHanging(attempts, file);
    }
}

// Streams that change channel count or rate partway, made by joining two encoded files:
// every decode path reads the whole stream in the first part's format, and the waveform
// route gives peaks for both parts.
TEST(AudioFileReader, EveryDecodePathReadsAStreamThatChangesFormatPartway) {
    TempFolder folder("reader-changing");
    struct Part {
        double rate;
        std::uint32_t channels;
    };
    struct Case {
        std::string name;
        Part first;
        Part second;
    };
    const std::vector<Case> cases{
        {"mono-then-eight.aac", {44100, 1}, {48000, 8}},
        {"six-then-mono.aac", {48000, 6}, {22050, 1}},
        {"mono-then-stereo.mp3", {44100, 1}, {44100, 2}},
    };
    constexpr double kPartSeconds = 1.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool mp3 = c.name.ends_with(".mp3");
        std::vector<std::filesystem::path> parts;
        for (const Part& part : {c.first, c.second}) {
            const auto wav = folder / ("part" + std::to_string(parts.size()) + ".wav");
            writeWav(wav, sine(part.rate, part.channels, std::int64_t(part.rate * kPartSeconds), 440, 0.5));
            parts.push_back(folder / ("part" + std::to_string(parts.size()) + (mp3 ? ".mp3" : ".aac")));
            if (mp3 && !makeMp3(wav, parts.back())) GTEST_SKIP() << "no MP3 encoder";
            if (!mp3) makeAdts(wav, parts.back());
        }
        const auto file = folder / c.name;
        concatenateFiles(parts, file);

        for (const bool ffmpegOnly : {false, true}) {
            auto reader = ffmpegOnly ? AudioFileReader::openWithFFmpeg(file) : AudioFileReader::open(file);
            EXPECT_EQ(reader->sampleRate(), c.first.rate);
            const std::uint32_t channels = reader->channelCount();
            EXPECT_EQ(channels, c.first.channels);
            // libsndfile stops where an MP3 changes its channels (after the first part's
            // frame count, read from its header); FFmpeg reads on to the end.
            const bool whole = std::string(reader->decoderName()) == kFFmpegErrorDomain;
            const double seconds = static_cast<double>(reader->length()) / c.first.rate;
            EXPECT_NEAR(seconds, (whole ? 2 : 1) * kPartSeconds, 0.12) << reader->decoderName();
            const auto all = readAll(*reader, 3000);
            ASSERT_GE(all.size(), std::size_t(reader->length() - 64) * channels);
            ASSERT_LE(all.size(), std::size_t(reader->length()) * channels);
            // The sine at half scale plays on through the last quarter.
            const std::size_t quarter = all.size() / 4;
            double square = 0;
            for (std::size_t i = 0; i < all.size(); ++i) {
                ASSERT_TRUE(std::isfinite(all[i])) << i;
                ASSERT_LE(std::abs(all[i]), 4.0f) << i;  // a downmix adds channels up
                if (i >= 3 * quarter) square += double(all[i]) * all[i];
            }
            EXPECT_GT(std::sqrt(square / double(all.size() - 3 * quarter)), 0.1);

            // Seeking back decodes anew and gives what the sequential read gave.
            reader->setFramePosition(5);
            const auto again = readAll(*reader, 3000);
            ASSERT_EQ(again.size(), all.size() - 5 * channels);
            for (std::size_t i = 0; i < again.size(); i += 97) ASSERT_NEAR(again[i], all[i + 5 * channels], 1e-6) << i;
        }

        const auto peaks =
            BeatloomWaveformLoader::computeWithAssetReader(file, 2 * kPartSeconds, 65536, Error{"test", 1, "unused"});
        const std::size_t bins = peaks.maxPeaks.size();
        for (const std::size_t at : {bins / 4, bins * 3 / 4}) {  // 10 ms, four periods of the sine, in each part
            const auto from = std::ptrdiff_t(at), to = std::ptrdiff_t(at + bins / 200);
            const float hi = *std::max_element(peaks.maxPeaks.begin() + from, peaks.maxPeaks.begin() + to);
            const float lo = *std::min_element(peaks.minPeaks.begin() + from, peaks.minPeaks.begin() + to);
            EXPECT_GT(hi - lo, 0.5f) << "bins from " << at << " of " << bins;
        }
    }
}

// The signal in a file of libsndfile's format (a major format and an encoding).
bool writeWithLibsndfile(const std::filesystem::path& file, int format, const Signal& signal) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(signal.sampleRate);
    info.channels = static_cast<int>(signal.channels);
    info.format = format;
    SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
    if (out == nullptr) return false;
    const bool written = sf_writef_float(out, signal.interleaved.data(), signal.frames()) == signal.frames();
    return sf_close(out) == 0 && written;
}

// Sets the frame count of an MP3's Xing or Info header.
void setXingFrameCount(const std::filesystem::path& file, std::uint32_t frames) {
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    std::string head(512, '\0');
    io.read(head.data(), std::streamsize(head.size()));
    std::size_t at = head.find("Xing");
    if (at == std::string::npos) at = head.find("Info");
    ASSERT_NE(at, std::string::npos) << file;
    ASSERT_NE(head[at + 7] & 1, 0) << "no frame count in " << file;
    io.clear();
    io.seekp(std::streamoff(at + 8));
    for (const int shift : {24, 16, 8, 0}) io.put(static_cast<char>((frames >> shift) & 0xFF));
    ASSERT_TRUE(io.good());
}

// Whatever a header claims or leaves out, a file reads at the length of the audio it holds:
// MP3 lengths that libsndfile estimates, totals that a file streamed to a pipe never got,
// files cut short. Each reads to that length, seeks in it and, whole, stays with libsndfile
// where libsndfile knows its length.
TEST(AudioFileReader, EveryFileReadsAtTheLengthOfTheAudioItHolds) {
    TempFolder folder("reader-length");
    constexpr double kRate = 44100;
    constexpr double kSeconds = 5;
    // Loud then quiet, so that a VBR MP3's first frames are its largest.
    writeWav(folder / "varying.wav", concatenated(noise(kRate, 1, std::int64_t(kRate), 0.8),
                                                  sine(kRate, 1, std::int64_t((kSeconds - 1) * kRate), 440, 0.02)));
    writeWav(folder / "steady.wav", noise(kRate, 1, std::int64_t(kSeconds * kRate), 0.3));
    ASSERT_TRUE(runFFmpeg("-f lavfi -i color=c=red:s=320x320 -frames:v 1 " + quoted(folder / "cover.png")));
    const auto steady = quoted(folder / "steady.wav");
    const auto cut = [](const std::filesystem::path& file) {
        truncateFile(file, std::filesystem::file_size(file) * 6 / 10);
        return true;
    };
    const auto mp3WithFrameCount = [&](std::uint32_t frames) {
        return [&, frames](const std::filesystem::path& f) {
            if (!makeMp3(folder / "steady.wav", f)) return false;
            setXingFrameCount(f, frames);
            return true;
        };
    };
    struct Case {
        std::string name;
        std::function<bool(const std::filesystem::path&)> make;  // false: no encoder for it
        double seconds;                                           // about; 0: cut short
        const char* decoder;
        bool ffmpegReadsIt = true;
    };
    const std::vector<Case> cases{
        {"vbr-without-xing.mp3",
         [&](const auto& f) {
             return runFFmpeg("-i " + quoted(folder / "varying.wav") + " -c:a libmp3lame -q:a 2 -write_xing 0 " +
                              quoted(f));
         },
         kSeconds, kFFmpegErrorDomain},
        {"cover-art.mp3",
         [&](const auto& f) {
             return runFFmpeg("-i " + steady + " -i " + quoted(folder / "cover.png") +
                              " -map 0 -map 1 -c:a libmp3lame -b:a 128k -write_xing 0 -c:v png"
                              " -disposition:v attached_pic " + quoted(f));
         },
         kSeconds, kFFmpegErrorDomain},
        {"cut.mp3", [&](const auto& f) { return makeMp3(folder / "steady.wav", f) && cut(f); }, 0, kFFmpegErrorDomain},
        {"huge-frame-count.mp3", mp3WithFrameCount(0x7FFFFFFF), kSeconds, kFFmpegErrorDomain},
        {"tiny-frame-count.mp3", mp3WithFrameCount(10), kSeconds, kFFmpegErrorDomain},
        {"piped.flac", [&](const auto& f) { return runFFmpeg("-i " + steady + " -c:a flac -f flac - > " + quoted(f)); },
         kSeconds, kFFmpegErrorDomain},
        {"cut.flac", [&](const auto& f) { return runFFmpeg("-i " + steady + " -c:a flac " + quoted(f)) && cut(f); }, 0,
         kFFmpegErrorDomain},
        {"cut.ogg", [&](const auto& f) { return runFFmpeg("-i " + steady + " -c:a libvorbis " + quoted(f)) && cut(f); },
         0, kFFmpegErrorDomain},
        {"cut.opus", [&](const auto& f) { return runFFmpeg("-i " + steady + " -c:a libopus " + quoted(f)) && cut(f); },
         0, kFFmpegErrorDomain},
        {"cut.wav", [&](const auto& f) { return runFFmpeg("-i " + steady + " " + quoted(f)) && cut(f); }, 0,
         kSndfileErrorDomain},
        {"whole.flac", [&](const auto& f) { return runFFmpeg("-i " + steady + " -c:a flac " + quoted(f)); }, kSeconds,
         kSndfileErrorDomain},
        {"whole.ogg", [&](const auto& f) { return runFFmpeg("-i " + steady + " -c:a libvorbis " + quoted(f)); },
         kSeconds, kFFmpegErrorDomain},
        // An encoding that only libsndfile reads, counted by reading it through.
        {"dwvw.aiff",
         [&](const auto& f) {
             return writeWithLibsndfile(f, SF_FORMAT_AIFF | SF_FORMAT_DWVW_16, noise(kRate, 1, std::int64_t(kSeconds * kRate), 0.3));
         },
         kSeconds, kSndfileErrorDomain, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = folder / c.name;
        if (!c.make(file)) {
            ADD_FAILURE() << "ffmpeg could not make " << c.name;
            continue;
        }
        auto reader = AudioFileReader::open(file);
        EXPECT_STREQ(reader->decoderName(), c.decoder);
        const std::int64_t length = reader->length();
        const double rate = reader->sampleRate();
        const double seconds = static_cast<double>(length) / rate;
        if (c.seconds > 0) {
            EXPECT_NEAR(seconds, c.seconds, 0.06);
        } else {
            EXPECT_GT(seconds, 0.3 * kSeconds);
            EXPECT_LT(seconds, 0.9 * kSeconds);
        }
        const std::uint32_t channels = reader->channelCount();
        const auto all = readAll(*reader, 3000);
        ASSERT_EQ(std::int64_t(all.size()), length * channels) << "frames delivered";
        if (c.ffmpegReadsIt) {
            EXPECT_EQ(AudioFileReader::openWithFFmpeg(file)->length(), length) << "frames FFmpeg decodes";
        } else {
            EXPECT_THROW(AudioFileReader::openWithFFmpeg(file), ErrorException);
        }

        // The second half again after a seek, the last frames after a seek near the end, and
        // all but the first frames after going back to the start.
        for (const std::int64_t position : {length / 2, length - 100, std::int64_t(3)}) {
            reader->setFramePosition(position);
            ASSERT_EQ(reader->framePosition(), position);
            const auto tail = readAll(*reader, 3000);
            ASSERT_EQ(std::int64_t(tail.size()), (length - position) * channels) << position;
            for (std::size_t i = 0; i < tail.size(); ++i) {
                ASSERT_NEAR(tail[i], all[std::size_t(position) * channels + i], 1e-6) << position << " at " << i;
            }
        }
    }
}

// Files whose length only reading tells (a FLAC streamed to a pipe has no total, an Ogg file
// cut short no last page, an MP3 a frame count far beyond its frames) analyse, draw and play
// to the end of the audio they hold.
TEST(AudioFileReader, FilesOfUnknownLengthAnalyseDrawAndPlayToTheEndOfTheirAudio) {
    TempFolder folder("reader-unknown-length");
    constexpr double kBeat = 0.5;
    writeWav(folder / "song.wav", clicks(44100, 2, 12.0, 60 / kBeat));
    const auto song = quoted(folder / "song.wav");
    struct Case {
        std::string name;
        std::string encoding;  // ffmpeg's options and output, "{}" standing for the output file
        bool cut;
    };
    for (const Case& c : {Case{"piped.flac", "-c:a flac -f flac - > {}", false},
                          Case{"cut.ogg", "-c:a libvorbis {}", true}, Case{"cut.opus", "-c:a libopus {}", true},
                          Case{"huge-frame-count.mp3", "-c:a libmp3lame -b:a 128k {}", false}}) {
        SCOPED_TRACE(c.name);
        const auto file = folder / c.name;
        std::string encoding = c.encoding;
        encoding.replace(encoding.find("{}"), 2, quoted(file));
        ASSERT_TRUE(runFFmpeg("-i " + song + " " + encoding));
        if (c.cut) truncateFile(file, std::filesystem::file_size(file) * 6 / 10);
        if (c.name.ends_with(".mp3")) setXingFrameCount(file, 0x7FFFFFFF);

        const auto reader = AudioFileReader::open(file);
        const double seconds = static_cast<double>(reader->length()) / reader->sampleRate();
        ASSERT_GT(seconds, 3.5);
        ASSERT_LT(seconds, 12.1);

        const BeatloomResult result = analysis::ORVAnalyzerEntryPoints::analyzedFile(file);
        EXPECT_DOUBLE_EQ(result.durationSeconds, seconds);
        ASSERT_FALSE(result.beatPositionsSeconds.empty());
        EXPECT_GT(result.beatPositionsSeconds.back(), seconds - 2 * kBeat);

        // The last click whole in the file shows in the waveform.
        const auto peaks = BeatloomWaveformLoader::computeWithAudioFile(file, seconds, 65536);
        const double lastClick = std::floor((seconds - 0.02) / kBeat) * kBeat;
        const auto bin = [&](double t) { return std::ptrdiff_t(t / seconds * double(peaks.maxPeaks.size())); };
        EXPECT_GT(*std::max_element(peaks.maxPeaks.begin() + bin(lastClick - 0.01), peaks.maxPeaks.begin() + bin(lastClick + 0.02)),
                  0.3f)
            << lastClick;

        // Played from 1 s on with no end given, it stops just after its last frame.
        testing::ManualMainLoop loop;
        BeatloomPreviewPlayer player(loop, OfflinePreviewDevice::make(2, 256)->outputFactory(),
                                     [](const std::filesystem::path& f) { return AudioFileReader::open(f); });
        player.play(file, PreviewClickMap{}, BeatloomTimeRange{1.0, std::numeric_limits<double>::quiet_NaN()});
        EXPECT_EQ(player.transportState().value(), BeatloomPreviewTransportState::playing);
        loop.advanceSeconds(seconds - 1.0 + 0.15 - 0.005);
        EXPECT_EQ(player.transportState().value(), BeatloomPreviewTransportState::playing);
        loop.advanceSeconds(0.01);
        EXPECT_EQ(player.transportState().value(), BeatloomPreviewTransportState::stopped);
    }
}

// A reader keeps the file it opened: replacing the file on disk while it reads, then
// seeking back (which decodes anew from the start), still reads the original.
TEST(AudioFileReader, AFileReplacedWhileReadingIsStillReadAsTheOpenedOne) {
    TempFolder folder("reader-replaced");
    writeWav(folder / "original.wav", noise(44100, 2, 44100 * 4, 0.5, 1));
    writeWav(folder / "other.wav", clicks(44100, 2, 4.0, 100));
    makeM4a(folder / "original.wav", folder / "original.m4a");
    makeM4a(folder / "other.wav", folder / "other.m4a");
    for (const char* extension : {".m4a", ".wav"}) {
        SCOPED_TRACE(extension);
        const auto song = folder / (std::string("song") + extension);
        std::filesystem::copy_file(folder / (std::string("original") + extension), song);
        auto original = AudioFileReader::open(song);
        const auto expected = readAll(*original);

        auto reader = AudioFileReader::open(song);
        AudioBuffer buffer(2, 1000);
        reader->read(buffer, 1000);
        std::filesystem::rename(folder / (std::string("other") + extension), song);
        for (const std::int64_t position : {3L, 20000L}) {
            reader->setFramePosition(position);
            const auto tail = readAll(*reader, 3000);
            ASSERT_EQ(tail.size(), expected.size() - std::size_t(position) * 2) << position;
            for (std::size_t i = 0; i < tail.size(); ++i) {
                ASSERT_NEAR(tail[i], expected[std::size_t(position) * 2 + i], 1e-6) << position << " at " << i;
            }
        }
    }
}

// Opening a file again skips FFmpeg's container probe only for the very bytes probed last:
// a file rewritten in place with other bytes of the same size opens as what it now holds.
TEST(AudioFileReader, AFileRewrittenWithTheSameSizeOpensAsWhatItNowHolds) {
    TempFolder folder("reader-rewritten");
    writeWav(folder / "stereo.wav", sine(44100, 2, 44100, 440, 0.5));
    makeAdts(folder / "stereo.wav", folder / "stereo.aac");
    writeWav(folder / "mono.wav", sine(48000, 1, 1000, 440, 0.5));
    const auto size = std::filesystem::file_size(folder / "stereo.aac");
    ASSERT_LT(std::filesystem::file_size(folder / "mono.wav"), size);
    std::filesystem::resize_file(folder / "mono.wav", size);  // bytes after the data chunk are no audio
    std::ofstream(folder / "zeros", std::ios::binary) << std::string(size, '\0');  // no container at all
    const auto song = folder / "song";
    for (const char* name : {"zeros", "mono.wav", "stereo.aac", "zeros", "mono.wav"}) {
        SCOPED_TRACE(name);
        std::filesystem::copy_file(folder / name, song, std::filesystem::copy_options::overwrite_existing);
        if (std::string(name) == "zeros") {
            EXPECT_THROW(AudioFileReader::openWithFFmpeg(song), ErrorException);
            continue;
        }
        const bool wav = std::string(name).ends_with(".wav");
        auto reader = AudioFileReader::openWithFFmpeg(song);
        EXPECT_EQ(reader->sampleRate(), wav ? 48000.0 : 44100.0);
        EXPECT_EQ(reader->channelCount(), wav ? 1u : 2u);
        if (wav) {
            EXPECT_EQ(reader->length(), 1000);
        }
        const auto peaks = BeatloomWaveformLoader::computeWithAssetReader(song, 0.02, 100, Error{"test", 1, "unused"});
        EXPECT_GT(*std::max_element(peaks.maxPeaks.begin(), peaks.maxPeaks.end()), 0.5f);
    }
}

}  // namespace
}  // namespace corvel::audio
