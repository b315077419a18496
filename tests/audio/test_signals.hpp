#pragma once

// Test signals for the audio tests and benchmarks: generated in memory, written as WAV
// files (or M4A through the ffmpeg command) into a temp folder.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/reading/audio_source.hpp"

namespace corvel::audio::testkit {

struct Signal {
    double sampleRate = 44100;
    std::uint32_t channels = 1;
    std::vector<float> interleaved;  // frame by frame

    std::int64_t frames() const { return channels == 0 ? 0 : std::int64_t(interleaved.size() / channels); }
    float at(std::int64_t frame, std::uint32_t channel) const { return interleaved[std::size_t(frame) * channels + channel]; }
};

Signal silence(double sampleRate, std::uint32_t channels, std::int64_t frames);
// The same sine on every channel.
Signal sine(double sampleRate, std::uint32_t channels, std::int64_t frames, double frequency, double amplitude = 0.5);
// Short decaying noise bursts (about 10 ms) on every beat at the tempo, the first at offsetSeconds.
Signal clicks(double sampleRate, std::uint32_t channels, double seconds, double bpm, double amplitude = 0.8,
              double offsetSeconds = 0.0);
// The same bursts at the given times (seconds, ascending).
Signal clicksAt(double sampleRate, std::uint32_t channels, double seconds, const std::vector<double>& beatTimes,
                double amplitude = 0.8);
// A drum kit played on a grid of steps, stepsPerBeat to each beat (beat times ascending, in
// seconds): each part is a pattern of 'x' (hit) and '.' (rest) read one letter per step and
// repeated; an empty pattern is silent. Kick: a falling sine thump; snare: a bright noise
// burst over a 190 Hz tone; closed and open hats: short and long high noise.
struct DrumPattern {
    std::string kick;
    std::string snare;
    std::string hat;
    std::string openHat;
    int stepsPerBeat = 4;
};
Signal drums(double sampleRate, double seconds, const std::vector<double>& beatTimes, const DrumPattern& pattern);
// Beats from offsetSeconds up to (not including) seconds, at the tempo of each beat's time.
std::vector<double> beatTimes(double seconds, double offsetSeconds, double (*bpmAt)(double));
// A drum-and-bass groove in 4/4 on the given beats (seconds, ascending): kick on beats 1 and 3,
// snare on 2 and 4, a closed hi-hat on every eighth and a bass note on every beat, the same on
// every channel. renderGroove fills `mono` with the frames firstFrame ... firstFrame + size - 1
// of the groove, so a long one can be made block by block; its noise depends only on the frame.
void renderGroove(const std::vector<double>& beatTimes, double sampleRate, std::int64_t firstFrame,
                  std::vector<float>& mono);
Signal groove(double sampleRate, std::uint32_t channels, double seconds, const std::vector<double>& beatTimes);
// Beats at a steady tempo from offsetSeconds up to (not including) the end.
std::vector<double> steadyBeats(double bpm, double seconds, double offsetSeconds = 0.0);
// Uniform white noise from a fixed seed, independent per channel.
Signal noise(double sampleRate, std::uint32_t channels, std::int64_t frames, double amplitude = 0.5,
             std::uint32_t seed = 1);
// One channel's values per channel (a constant per channel, say).
Signal constant(double sampleRate, const std::vector<float>& perChannel, std::int64_t frames);
// a followed by b (same rate and channels).
Signal concatenated(const Signal& a, const Signal& b);
// A signal of `channels` channels, each a copy of channel 0.
Signal duplicatedChannels(const Signal& mono, std::uint32_t channels);

enum class WavEncoding { pcm16, float32 };
void writeWav(const std::filesystem::path& file, const Signal& signal, WavEncoding encoding = WavEncoding::pcm16);
// A 16-bit WAV of `frames` frames written block by block: render(firstFrame, mono) fills the
// block's frames of one channel, which every channel repeats. For files too long to hold.
void writeWavStreamed(const std::filesystem::path& file, double sampleRate, std::uint32_t channels, std::int64_t frames,
                      const std::function<void(std::int64_t, std::vector<float>&)>& render);
// The ffmpeg command, quiet and overwriting, with these arguments (inputs, options and
// output, paths written with quoted()); false when it fails, as when it lacks an encoder.
bool runFFmpeg(const std::string& arguments);
// A path as one shell word.
std::string quoted(const std::filesystem::path& path);
// AAC in an M4A container, made from a WAV by the ffmpeg command's own AAC encoder.
void makeM4a(const std::filesystem::path& wav, const std::filesystem::path& m4a);
// MP3 through the ffmpeg command (when it has an MP3 encoder).
bool makeMp3(const std::filesystem::path& wav, const std::filesystem::path& mp3);
// Bare AAC frames with ADTS headers (no container), through the ffmpeg command.
void makeAdts(const std::filesystem::path& wav, const std::filesystem::path& aac);
// Keeps the first `bytes` bytes of the file, as a download cut short does.
void truncateFile(const std::filesystem::path& file, std::uintmax_t bytes);
// The files' bytes one after the other: two encoded streams of different channel counts or
// rates give one stream that changes its format partway.
void concatenateFiles(const std::vector<std::filesystem::path>& parts, const std::filesystem::path& into);

// A fresh folder under the temp directory, removed with everything in it at destruction.
class TempFolder {
public:
    explicit TempFolder(const std::string& label);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// An in-memory source; its rate, channel count and buffer can be made to misbehave.
class MemorySource final : public AudioSource {
public:
    explicit MemorySource(Signal signal) : signal_(std::move(signal)) {}

    std::optional<double> reportedSampleRate;
    std::optional<std::uint32_t> reportedChannels;
    std::optional<std::int64_t> reportedLength;  // reads still end with the signal
    bool failBuffer = false;
    bool deliversNothing = false;  // every read returns 0 frames
    int readCalls = 0;

    double sampleRate() const override { return reportedSampleRate.value_or(signal_.sampleRate); }
    std::uint32_t channelCount() const override { return reportedChannels.value_or(signal_.channels); }
    std::int64_t length() const override { return reportedLength.value_or(signal_.frames()); }
    std::int64_t framePosition() const override { return position_; }
    void setFramePosition(std::int64_t frame) override;
    void read(AudioBuffer& buffer, std::uint32_t frameCount) override;
    std::optional<AudioBuffer> makeBuffer(std::uint32_t frameCapacity) const override;

private:
    Signal signal_;
    std::int64_t position_ = 0;
};

// Every frame of a source from its current position on, interleaved.
std::vector<float> readAll(AudioSource& source, std::uint32_t blockFrames = 4096);

}  // namespace corvel::audio::testkit
