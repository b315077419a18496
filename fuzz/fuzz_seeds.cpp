// Writes the fuzzers' seed files: short valid inputs of every kind, made fresh for each
// run. Usage: corvel_fuzz_seeds <folder>; it fills <folder>/audio, cache, keymap and
// manifest. tools/fuzz.sh adds the compressed audio seeds with the ffmpeg command.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include <sndfile.h>

#include "audio/waveform/waveform_loader.hpp"
#include "voduvetools/install_manifest.hpp"

namespace {

namespace fs = std::filesystem;

bool writeSound(const fs::path& file, int format, int rate, int channels, int frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
    if (out == nullptr) return false;
    std::vector<float> samples(std::size_t(frames) * std::size_t(channels));
    for (int i = 0; i < frames; ++i) {
        const double beat = (i % (rate / 4)) < rate / 100 ? 0.8 : 0.2;  // a click every quarter second
        for (int ch = 0; ch < channels; ++ch) {
            samples[std::size_t(i) * channels + ch] =
                static_cast<float>(beat * std::sin(2 * std::numbers::pi * 440.0 * (ch + 1) * i / rate));
        }
    }
    const bool ok = sf_writef_float(out, samples.data(), frames) == frames;
    sf_close(out);
    return ok;
}

bool writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seed folder>\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    for (const char* kind : {"audio", "cache", "keymap", "manifest"}) fs::create_directories(root / kind);
    bool ok = true;

    ok = ok && writeSound(root / "audio" / "stereo16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 11025);
    ok = ok && writeSound(root / "audio" / "mono-float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, 1, 2000);
    ok = ok && writeSound(root / "audio" / "stereo.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 2, 5512);
    ok = ok && writeSound(root / "audio" / "mono24.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000, 1, 4800);

    corvel::BeatloomWaveformData record;
    record.durationSeconds = 0.5;
    for (int i = 0; i < 16; ++i) {
        record.minPeaks.push_back(-static_cast<float>(i) / 16.0f);
        record.maxPeaks.push_back(static_cast<float>(i) / 15.0f);
    }
    record.sourceDescription = "song.wav";
    record.algorithmVersion = corvel::audio::kWaveformAlgorithmVersion;
    const auto cache = corvel::audio::BeatloomWaveformLoader::encodeCacheRecord(record);
    ok = ok && cache && writeText(root / "cache" / "record.json", *cache);

    ok = ok && writeText(root / "keymap" / "keymap.ini",
                         "ACT 0 0 \"_Tool\" \"Custom: Another\" _Other\n"
                         "SCR 4 0 RS1234 \"Custom: Tool\" \"Orvanta Corvel/tool.lua\"\n"
                         "KEY 13 82 _RS1234 0\t\t # Main : \xE2\x87\xA7\xE2\x8C\x98R : Custom: Tool\n");
    ok = ok && writeText(root / "keymap" / "crlf.ini",
                         "SCR 4 0 \"_RS 12\" \"Desc\" \"p\"\r\nKEY 9 65 _RS 12 0\r\n");

    corvel::voduvetools::InstallManifest manifest;
    manifest.appVersion = "0.1.0";
    manifest.voduveResourcePath = "/home/user/.config/VODUVE";
    manifest.installedAt = std::chrono::sys_seconds{std::chrono::seconds{1'700'000'000}};
    manifest.files.push_back({"tempo", "tool.lua", "/home/user/.config/VODUVE/Scripts/Orvanta Corvel/tool.lua",
                              std::string(64, 'a'), std::string(64, 'b'), false, true});
    manifest.actions.push_back({"tempo", "_RS1234", "Orvanta Corvel/tool.lua", "Shift+Cmd+R", 13, 82});
    manifest.actions.push_back({"tempo", "_RS99", "Orvanta Corvel/other.lua", std::nullopt, std::nullopt, std::nullopt});
    ok = ok && writeText(root / "manifest" / "manifest.json", manifest.encoded());

    if (!ok) {
        std::fprintf(stderr, "could not write the seeds into %s\n", root.c_str());
        return 1;
    }
    return 0;
}
