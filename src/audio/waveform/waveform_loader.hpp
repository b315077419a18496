#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "audio/reading/audio_source.hpp"
#include "common/error.hpp"
#include "core/waveform_data.hpp"

namespace corvel::audio {

inline constexpr const char* kWaveformAlgorithmVersion = "Orvanta-Beatloom-Waveform-2";
inline constexpr const char* kWaveformErrorDomain = "OrvantaBeatloom.Waveform";
inline constexpr int kWaveformNotReadableCode = 5100;
inline constexpr int kWaveformInvalidFormatCode = 5101;
inline constexpr int kWaveformNotFloatCode = 5102;
inline constexpr const char* kWaveformNotReadableMessage = "The audio file is not readable for waveform display.";
inline constexpr const char* kWaveformInvalidFormatMessage = "Invalid audio format for waveform display.";
inline constexpr const char* kWaveformNotFloatMessage = "Decoded waveform audio is not Float32 PCM.";
// The cache files together stay below this size; the least recently used go first.
inline constexpr std::uint64_t kWaveformCacheSizeLimit = 500ull * 1000 * 1000;

// Builds the waveform peaks of an audio file (minimum and maximum per equal time bin,
// normalised so that the loudest bin reaches 1) and keeps them as one JSON cache file per
// audio file, duration and resolution under <caches>/Orvanta/Beatloom/Waveforms. A cache hit
// marks its file as just used; each new file written evicts the least recently used ones
// until the files together fit the cache's size limit.
//
// Nothing is shared between loads: two loads of one file may run at once on any threads,
// and at worst both replace the same cache file whole.
class BeatloomWaveformLoader {
public:
    // The first route reads through the audio-file reader; the second decodes the first
    // audio stream with FFmpeg and gets the first route's error to rethrow where it has
    // none of its own. Tests replace them to count decodes or to force the fallback.
    using FirstRoute = std::function<BeatloomWaveformData(const std::filesystem::path&, double, std::int64_t)>;
    using SecondRoute =
        std::function<BeatloomWaveformData(const std::filesystem::path&, double, std::int64_t, const Error&)>;
    struct Routes {
        FirstRoute first;
        SecondRoute second;
    };
    static Routes defaultRoutes();

    // cachesFolder is the user's caches folder (platform::UserFolders::caches()).
    explicit BeatloomWaveformLoader(std::filesystem::path cachesFolder, Routes routes = defaultRoutes(),
                                    std::uint64_t cacheSizeLimit = kWaveformCacheSizeLimit);

    // The record of the file for the song duration the analysis reported: from the cache
    // when a valid file is there, else decoded and cached. Blocking; run it off the main
    // thread. Throws ErrorException.
    BeatloomWaveformData load(const std::filesystem::path& file, double durationSeconds) const;

    // <caches>/Orvanta/Beatloom/Waveforms/<key>.json, creating the folders; throws ErrorException.
    std::filesystem::path cacheFileURL(const std::string& key) const;

    // The duration the bins divide: at least 0.001 s (NaN gives 0.001).
    static double effectiveDuration(double durationSeconds);
    // ceil(2000 x duration) clamped to 65536...1048576.
    static std::int64_t binCount(double effectiveDurationSeconds);
    // SHA-256 (lowercase hex) of the version tag, the normalised absolute path, the file's
    // size and modification time, the duration and the bin count. Throws ErrorException
    // (domain "POSIX") when the file's attributes can't be read.
    static std::string cacheKey(const std::filesystem::path& file, double effectiveDurationSeconds,
                                std::int64_t binCount);

    // The first route: blocks of 32768 frames through the audio-file reader.
    static BeatloomWaveformData computeWithAudioFile(const std::filesystem::path& file, double effectiveDurationSeconds,
                                                     std::int64_t binCount);
    // The same binning over any source (the reader route's core).
    static BeatloomWaveformData computeWithSource(AudioSource& source, double effectiveDurationSeconds,
                                                  std::int64_t binCount, std::string sourceDescription);
    // The second route: FFmpeg, first audio stream, as float, each frame timed by
    // the frames decoded before it as the reader does.
    static BeatloomWaveformData computeWithAssetReader(const std::filesystem::path& file,
                                                       double effectiveDurationSeconds, std::int64_t binCount,
                                                       const Error& firstError);

    // The cache file's JSON text; none when a value can't be written (a non-finite number).
    static std::optional<std::string> encodeCacheRecord(const BeatloomWaveformData& record);
    // The record of a cache file's text; none when it is not a JSON object with all five
    // keys of the right types (other keys are ignored).
    static std::optional<BeatloomWaveformData> decodeCacheRecord(std::string_view text);
    // Whether a decoded cache record can stand for a fresh build at this duration and bin count.
    static bool isUsableCacheRecord(const BeatloomWaveformData& record, double effectiveDurationSeconds,
                                    std::int64_t binCount);

    // Removes cache files of the folder, least recently used first, until the rest together
    // hold at most `limit` bytes; `keep` is never removed. Other files are left alone.
    static void evictLeastRecentlyUsed(const std::filesystem::path& folder, std::uint64_t limit,
                                       const std::filesystem::path& keep);

private:
    std::filesystem::path cachesFolder_;
    Routes routes_;
    std::uint64_t cacheSizeLimit_;
};

}  // namespace corvel::audio
