// The waveform cache file: any text either decodes or is a miss; what decodes writes
// back to a text that decodes to the same record.

#include <cstdlib>
#include <string_view>

#include "audio/waveform/waveform_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Loader = corvel::audio::BeatloomWaveformLoader;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto record = Loader::decodeCacheRecord(text);
    if (!record) return 0;
    (void)Loader::isUsableCacheRecord(*record, 1.0, 65536);
    const auto written = Loader::encodeCacheRecord(*record);
    if (!written) return 0;
    const auto again = Loader::decodeCacheRecord(*written);
    if (!again || !(*again == *record)) std::abort();
    return 0;
}
