// The FFmpeg route of the audio-file reader and the waveform's second route, whatever
// the container.

#include "audio/reading/audio_file_reader.hpp"
#include "audio/waveform/waveform_loader.hpp"
#include "audio_reading.hpp"
#include "common/error.hpp"
#include "fuzz_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static corvel::fuzz::FuzzFile file;
    const auto& path = file.write(data, size);
    try {
        auto reader = corvel::audio::AudioFileReader::openWithFFmpeg(path);
        corvel::fuzz::exercise(*reader, corvel::fuzz::seeksBackToTheStart(size));
    } catch (const corvel::ErrorException&) {
    }
    try {
        (void)corvel::audio::BeatloomWaveformLoader::computeWithAssetReader(
            path, corvel::fuzz::kWaveformSeconds, corvel::fuzz::kWaveformBins, corvel::Error{"fuzz", 1, "first route"});
    } catch (const corvel::ErrorException&) {
    }
    return 0;
}
