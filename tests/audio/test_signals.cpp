#include "audio/test_signals.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <tuple>
#include <unistd.h>

namespace corvel::audio::testkit {
namespace {

constexpr double kPi = 3.14159265358979323846;

void putLE(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Uniform in -1 ... 1, a function of the frame alone (splitmix64).
double frameNoise(std::int64_t frame, std::uint64_t salt) {
    std::uint64_t z = static_cast<std::uint64_t>(frame) * 0x9E3779B97F4A7C15ull + salt;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

// Adds one sound starting at startFrame, lengthFrames long, to the block; shape(t, frame)
// gives its value t seconds after its start.
template <typename Shape>
void addSound(std::vector<float>& block, std::int64_t firstFrame, std::int64_t startFrame, std::int64_t lengthFrames,
              double sampleRate, Shape shape) {
    const std::int64_t from = std::max(startFrame, firstFrame);
    const std::int64_t to = std::min(startFrame + lengthFrames, firstFrame + static_cast<std::int64_t>(block.size()));
    for (std::int64_t f = from; f < to; ++f) {
        block[std::size_t(f - firstFrame)] += static_cast<float>(shape(double(f - startFrame) / sampleRate, f));
    }
}

void putWavHeader(std::ofstream& out, double sampleRate, std::uint32_t channels, std::uint32_t bytesPerSample,
                  std::uint32_t format, std::uint32_t dataBytes) {
    const auto rate = static_cast<std::uint32_t>(std::llround(sampleRate));
    out.write("RIFF", 4);
    putLE(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    putLE(out, 16, 4);
    putLE(out, format, 2);
    putLE(out, channels, 2);
    putLE(out, rate, 4);
    putLE(out, rate * channels * bytesPerSample, 4);
    putLE(out, channels * bytesPerSample, 2);
    putLE(out, bytesPerSample * 8, 2);
    out.write("data", 4);
    putLE(out, dataBytes, 4);
}

std::uint16_t pcm16(float v) {
    const long q = std::clamp(std::lround(double(v) * 32768.0), -32768L, 32767L);
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(q));
}

}  // namespace

void renderGroove(const std::vector<double>& beatTimes, double sampleRate, std::int64_t firstFrame,
                  std::vector<float>& mono) {
    std::fill(mono.begin(), mono.end(), 0.0f);
    constexpr double kLongestSound = 0.6;  // seconds: no sound rings longer
    const double blockStart = double(firstFrame) / sampleRate;
    const double blockEnd = double(firstFrame + std::int64_t(mono.size())) / sampleRate;
    const auto first = std::lower_bound(beatTimes.begin(), beatTimes.end(), blockStart - 2 * kLongestSound);
    const auto frameAt = [sampleRate](double t) { return std::int64_t(std::llround(t * sampleRate)); };
    const double bassNotes[] = {55.0, 55.0, 73.42, 65.41};
    for (auto beat = first; beat != beatTimes.end() && *beat < blockEnd; ++beat) {
        const auto index = std::size_t(beat - beatTimes.begin());
        const double period = index + 1 < beatTimes.size() ? beatTimes[index + 1] - *beat
                              : index > 0                  ? *beat - beatTimes[index - 1]
                                                           : 0.5;
        const std::int64_t start = frameAt(*beat);
        if (index % 2 == 0) {
            addSound(mono, firstFrame, start, frameAt(0.3), sampleRate, [](double t, std::int64_t) {
                const double sweep = 60.0 * (1 - std::exp(-30.0 * t)) / 30.0;  // falls from 110 to 50 Hz
                return 0.8 * std::exp(-12.0 * t) * std::sin(2 * kPi * (50.0 * t + sweep));
            });
        } else {
            addSound(mono, firstFrame, start, frameAt(0.2), sampleRate, [](double t, std::int64_t f) {
                return 0.45 * std::exp(-22.0 * t) * (0.75 * frameNoise(f, 1) + 0.25 * std::sin(2 * kPi * 190.0 * t));
            });
        }
        for (const double eighth : {0.0, 0.5}) {
            addSound(mono, firstFrame, frameAt(*beat + eighth * period), frameAt(0.05), sampleRate,
                     [](double t, std::int64_t f) {
                         return 0.12 * std::exp(-70.0 * t) * (frameNoise(f, 2) - frameNoise(f - 1, 2));
                     });
        }
        const double note = bassNotes[(index / 4) % 4];
        const double length = std::min(0.9 * period, kLongestSound);
        addSound(mono, firstFrame, start, frameAt(length), sampleRate, [note, length](double t, std::int64_t) {
            const double release = std::min(1.0, (length - t) / 0.01);
            return 0.3 * release * std::exp(-3.0 * t) * std::sin(2 * kPi * note * t);
        });
    }
}

Signal groove(double sampleRate, std::uint32_t channels, double seconds, const std::vector<double>& beatTimes) {
    std::vector<float> mono(std::size_t(std::llround(seconds * sampleRate)));
    renderGroove(beatTimes, sampleRate, 0, mono);
    Signal s{sampleRate, 1, std::move(mono)};
    return channels == 1 ? s : duplicatedChannels(s, channels);
}

std::vector<double> steadyBeats(double bpm, double seconds, double offsetSeconds) {
    std::vector<double> beats;
    for (int beat = 0;; ++beat) {
        const double time = offsetSeconds + beat * 60.0 / bpm;
        if (time >= seconds) break;
        beats.push_back(time);
    }
    return beats;
}

Signal silence(double sampleRate, std::uint32_t channels, std::int64_t frames) {
    return Signal{sampleRate, channels, std::vector<float>(std::size_t(frames) * channels, 0.0f)};
}

Signal sine(double sampleRate, std::uint32_t channels, std::int64_t frames, double frequency, double amplitude) {
    Signal s = silence(sampleRate, channels, frames);
    for (std::int64_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(amplitude * std::sin(2 * kPi * frequency * double(i) / sampleRate));
        for (std::uint32_t ch = 0; ch < channels; ++ch) s.interleaved[std::size_t(i) * channels + ch] = v;
    }
    return s;
}

Signal clicks(double sampleRate, std::uint32_t channels, double seconds, double bpm, double amplitude,
              double offsetSeconds) {
    std::vector<double> beatTimes;
    for (int beat = 0;; ++beat) {
        const double time = offsetSeconds + beat * 60.0 / bpm;
        if (std::llround(time * sampleRate) >= std::llround(seconds * sampleRate)) break;
        beatTimes.push_back(time);
    }
    return clicksAt(sampleRate, channels, seconds, beatTimes, amplitude);
}

Signal clicksAt(double sampleRate, std::uint32_t channels, double seconds, const std::vector<double>& beatTimes,
                double amplitude) {
    const auto frames = static_cast<std::int64_t>(std::llround(seconds * sampleRate));
    Signal s = silence(sampleRate, channels, frames);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const auto clickFrames = static_cast<std::int64_t>(0.01 * sampleRate);
    for (const double time : beatTimes) {
        const auto start = static_cast<std::int64_t>(std::llround(time * sampleRate));
        if (start >= frames) break;
        for (std::int64_t k = 0; k < clickFrames && start + k < frames; ++k) {
            const double decay = std::exp(-5.0 * double(k) / double(clickFrames));
            const auto v = static_cast<float>(amplitude * decay * uniform(random));
            for (std::uint32_t ch = 0; ch < channels; ++ch) s.interleaved[std::size_t(start + k) * channels + ch] = v;
        }
    }
    return s;
}

namespace {

// Adds voice(seconds since the hit) to the mono signal for `length` seconds from `time` on.
template <typename Voice>
void addHit(Signal& s, double time, double length, Voice voice) {
    const auto start = static_cast<std::int64_t>(std::llround(time * s.sampleRate));
    const auto count = static_cast<std::int64_t>(length * s.sampleRate);
    for (std::int64_t k = 0; k < count && start + k < s.frames(); ++k) {
        if (start + k < 0) continue;
        s.interleaved[std::size_t(start + k)] += static_cast<float>(voice(double(k) / s.sampleRate));
    }
}

bool hitAt(const std::string& pattern, std::size_t step) {
    return !pattern.empty() && pattern[step % pattern.size()] == 'x';
}

}  // namespace

Signal drums(double sampleRate, double seconds, const std::vector<double>& beatTimes, const DrumPattern& pattern) {
    Signal s = silence(sampleRate, 1, static_cast<std::int64_t>(std::llround(seconds * sampleRate)));
    std::mt19937 random(5);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const auto steps = static_cast<std::size_t>(std::max(pattern.stepsPerBeat, 1));
    for (std::size_t beat = 0; beat < beatTimes.size(); ++beat) {
        const double time = beatTimes[beat];
        const double length = beat + 1 < beatTimes.size() ? beatTimes[beat + 1] - time
                                                          : (beat > 0 ? time - beatTimes[beat - 1] : 0.5);
        for (std::size_t step = 0; step < steps; ++step) {
            const std::size_t index = beat * steps + step;
            const double t = time + length * double(step) / double(steps);
            if (hitAt(pattern.kick, index)) {
                double phase = 0;
                addHit(s, t, 0.4, [&phase, sampleRate](double u) {
                    phase += 2 * kPi * (50 + 90 * std::exp(-u / 0.03)) / sampleRate;
                    return 0.8 * std::sin(phase) * std::exp(-u / 0.15);
                });
            }
            if (hitAt(pattern.snare, index)) {
                double previous = 0;
                addHit(s, t, 0.3, [&](double u) {
                    const double white = uniform(random);
                    const double bright = white - 0.5 * previous;
                    previous = white;
                    return 0.35 * bright * std::exp(-u / 0.07) + 0.25 * std::sin(2 * kPi * 190 * u) * std::exp(-u / 0.04);
                });
            }
            for (const auto& [hats, decay, level] :
                 {std::tuple{&pattern.hat, 0.02, 0.075}, std::tuple{&pattern.openHat, 0.1, 0.15}}) {
                if (!hitAt(*hats, index)) continue;
                double p1 = 0, p2 = 0;
                addHit(s, t, decay * 6, [&, decay, level](double u) {
                    const double white = uniform(random);
                    const double high = white - 2 * p1 + p2;
                    p2 = p1;
                    p1 = white;
                    return level * high * std::exp(-u / decay);
                });
            }
        }
    }
    return s;
}

std::vector<double> beatTimes(double seconds, double offsetSeconds, double (*bpmAt)(double)) {
    std::vector<double> beats;
    for (double t = offsetSeconds; t < seconds; t += 60.0 / bpmAt(t)) beats.push_back(t);
    return beats;
}

Signal noise(double sampleRate, std::uint32_t channels, std::int64_t frames, double amplitude, std::uint32_t seed) {
    Signal s = silence(sampleRate, channels, frames);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(-amplitude, amplitude);
    for (auto& v : s.interleaved) v = static_cast<float>(uniform(random));
    return s;
}

Signal constant(double sampleRate, const std::vector<float>& perChannel, std::int64_t frames) {
    const auto channels = static_cast<std::uint32_t>(perChannel.size());
    Signal s = silence(sampleRate, channels, frames);
    for (std::int64_t i = 0; i < frames; ++i) {
        std::copy(perChannel.begin(), perChannel.end(), s.interleaved.begin() + std::ptrdiff_t(i) * channels);
    }
    return s;
}

Signal concatenated(const Signal& a, const Signal& b) {
    Signal s = a;
    s.interleaved.insert(s.interleaved.end(), b.interleaved.begin(), b.interleaved.end());
    return s;
}

Signal duplicatedChannels(const Signal& mono, std::uint32_t channels) {
    Signal s = silence(mono.sampleRate, channels, mono.frames());
    for (std::int64_t i = 0; i < mono.frames(); ++i) {
        for (std::uint32_t ch = 0; ch < channels; ++ch) s.interleaved[std::size_t(i) * channels + ch] = mono.at(i, 0);
    }
    return s;
}

void writeWav(const std::filesystem::path& file, const Signal& signal, WavEncoding encoding) {
    const std::uint32_t bytesPerSample = encoding == WavEncoding::pcm16 ? 2 : 4;
    const auto dataBytes = static_cast<std::uint32_t>(signal.interleaved.size() * bytesPerSample);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + file.string());
    putWavHeader(out, signal.sampleRate, signal.channels, bytesPerSample, encoding == WavEncoding::pcm16 ? 1 : 3,
                 dataBytes);
    std::vector<char> bytes(dataBytes);
    std::size_t at = 0;
    for (float v : signal.interleaved) {
        std::uint32_t word = 0;
        if (encoding == WavEncoding::pcm16) {
            word = pcm16(v);
        } else {
            static_assert(sizeof(float) == 4);
            std::memcpy(&word, &v, 4);
        }
        for (std::uint32_t b = 0; b < bytesPerSample; ++b) bytes[at++] = static_cast<char>((word >> (8 * b)) & 0xFF);
    }
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

void writeWavStreamed(const std::filesystem::path& file, double sampleRate, std::uint32_t channels, std::int64_t frames,
                      const std::function<void(std::int64_t, std::vector<float>&)>& render) {
    const std::uint64_t dataBytes = std::uint64_t(frames) * channels * 2;
    if (dataBytes > 0xFFFFFFFFull - 36) throw std::runtime_error("too long for a WAV file: " + file.string());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + file.string());
    putWavHeader(out, sampleRate, channels, 2, 1, static_cast<std::uint32_t>(dataBytes));
    constexpr std::int64_t kBlockFrames = 1 << 16;
    std::vector<float> mono;
    std::vector<char> bytes;
    for (std::int64_t first = 0; first < frames; first += kBlockFrames) {
        mono.assign(std::size_t(std::min(kBlockFrames, frames - first)), 0.0f);
        render(first, mono);
        bytes.resize(mono.size() * channels * 2);
        std::size_t at = 0;
        for (const float v : mono) {
            const std::uint16_t word = pcm16(v);
            for (std::uint32_t ch = 0; ch < channels; ++ch) {
                bytes[at++] = static_cast<char>(word & 0xFF);
                bytes[at++] = static_cast<char>(word >> 8);
            }
        }
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string quoted(const std::filesystem::path& path) {
    std::string text = "'";
    for (char c : path.string()) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

bool runFFmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments;
    return std::system(command.c_str()) == 0;
}

void makeM4a(const std::filesystem::path& wav, const std::filesystem::path& m4a) {
    if (!runFFmpeg("-i " + quoted(wav) + " -c:a aac -b:a 160k " + quoted(m4a))) {
        throw std::runtime_error("ffmpeg could not make " + m4a.string());
    }
}

bool makeMp3(const std::filesystem::path& wav, const std::filesystem::path& mp3) {
    return runFFmpeg("-i " + quoted(wav) + " -c:a libmp3lame -b:a 192k " + quoted(mp3));
}

void makeAdts(const std::filesystem::path& wav, const std::filesystem::path& aac) {
    if (!runFFmpeg("-i " + quoted(wav) + " -c:a aac -b:a 128k -f adts " + quoted(aac))) {
        throw std::runtime_error("ffmpeg could not make " + aac.string());
    }
}

void truncateFile(const std::filesystem::path& file, std::uintmax_t bytes) {
    std::filesystem::resize_file(file, std::min(bytes, std::filesystem::file_size(file)));
}

void concatenateFiles(const std::vector<std::filesystem::path>& parts, const std::filesystem::path& into) {
    std::ofstream out(into, std::ios::binary | std::ios::trunc);
    for (const auto& part : parts) {
        std::ifstream in(part, std::ios::binary);
        out << in.rdbuf();
    }
    if (!out) throw std::runtime_error("cannot write " + into.string());
}

TempFolder::TempFolder(const std::string& label) {
    std::random_device device;
    path_ = std::filesystem::temp_directory_path() /
            ("corvel-" + label + "-" + std::to_string(::getpid()) + "-" + std::to_string(device()));
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void MemorySource::setFramePosition(std::int64_t frame) { position_ = std::clamp<std::int64_t>(frame, 0, length()); }

void MemorySource::read(AudioBuffer& buffer, std::uint32_t frameCount) {
    ++readCalls;
    if (deliversNothing) {
        buffer.setFrameLength(0);
        return;
    }
    const std::int64_t n =
        std::min<std::int64_t>({frameCount, buffer.frameCapacity(), length() - position_, signal_.frames() - position_});
    const std::uint32_t channels = std::min(buffer.channelCount(), signal_.channels);
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::uint32_t ch = 0; ch < channels; ++ch) buffer.channel(ch)[i] = signal_.at(position_ + i, ch);
    }
    buffer.setFrameLength(static_cast<std::uint32_t>(std::max<std::int64_t>(n, 0)));
    position_ += std::max<std::int64_t>(n, 0);
}

std::optional<AudioBuffer> MemorySource::makeBuffer(std::uint32_t frameCapacity) const {
    if (failBuffer) return std::nullopt;
    return AudioSource::makeBuffer(frameCapacity);
}

std::vector<float> readAll(AudioSource& source, std::uint32_t blockFrames) {
    std::vector<float> all;
    AudioBuffer buffer(source.channelCount(), blockFrames);
    for (;;) {
        source.read(buffer, blockFrames);
        if (buffer.frameLength() == 0) break;
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            for (std::uint32_t ch = 0; ch < source.channelCount(); ++ch) all.push_back(buffer.channel(ch)[i]);
        }
    }
    return all;
}

}  // namespace corvel::audio::testkit
