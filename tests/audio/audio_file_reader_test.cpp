#include "audio/audio_file_reader.hpp"

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "audio/test_signals.hpp"
#include "common/error.hpp"

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

TEST(AudioFileReader, UnreadableFilesGiveClearErrors) {
    TempFolder folder("reader-errors");
    std::ofstream(folder / "empty.wav").close();
    std::ofstream(folder / "notes.wav") << "These are not audio samples, just a text file with a .wav name.\n";
    std::filesystem::create_directory(folder / "folder.wav");
    struct Case {
        std::string name;
        std::string domain;
    };
    for (const Case& c : {Case{"missing.wav", "POSIX"}, Case{"empty.wav", "FFmpeg"}, Case{"notes.wav", "FFmpeg"},
                          Case{"folder.wav", "FFmpeg"}}) {
        try {
            AudioFileReader::open(folder / c.name);
            ADD_FAILURE() << c.name << " opened";
        } catch (const ErrorException& failure) {
            EXPECT_EQ(failure.error().domain, c.domain) << c.name;
            EXPECT_NE(failure.error().code, 0) << c.name;
            EXPECT_NE(failure.error().message.find(c.name), std::string::npos) << failure.error().message;
            EXPECT_GT(failure.error().message.size(), (folder / c.name).string().size() + 5) << failure.error().message;
        }
    }
}

}  // namespace
}  // namespace corvel::audio
