// The audio-file reader as the app opens a dropped file: libsndfile first, FFmpeg for
// what libsndfile refuses; then the waveform's first route over the same bytes.

#include "audio/reading/audio_file_reader.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "audio_reading.hpp"
#include "common/error.hpp"
#include "fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static corvel::fuzz::FuzzFile file;
    const auto& path = file.write(data, size);
    try {
        auto reader = corvel::audio::AudioFileReader::open(path);
        corvel::fuzz::exercise(*reader);
    } catch (const corvel::ErrorException&) {
    }
    try {
        (void)corvel::audio::BeatloomWaveformLoader::computeWithAudioFile(path, 2.0, 65536);
    } catch (const corvel::ErrorException&) {
    }
    return 0;
}
