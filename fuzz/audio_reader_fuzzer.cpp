// The audio-file reader as the app opens a dropped file: libsndfile first, FFmpeg for
// what libsndfile refuses; then the waveform's first route and the reads and seeks of the
// analyser and the preview, all on the one reader.

#include "audio/reading/audio_file_reader.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "audio_reading.hpp"
#include "common/error.hpp"
#include "fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static corvel::fuzz::FuzzFile file;
    const auto& path = file.write(data, size);
    std::unique_ptr<corvel::audio::AudioFileReader> reader;
    try {
        reader = corvel::audio::AudioFileReader::open(path);
    } catch (const corvel::ErrorException&) {
        return 0;
    }
    try {
        (void)corvel::audio::BeatloomWaveformLoader::computeWithSource(*reader, corvel::fuzz::kWaveformSeconds,
                                                                       corvel::fuzz::kWaveformBins, "fuzz");
    } catch (const corvel::ErrorException&) {
    }
    try {
        corvel::fuzz::exercise(*reader, corvel::fuzz::seeksBackToTheStart(size));
    } catch (const corvel::ErrorException&) {
    }
    return 0;
}
