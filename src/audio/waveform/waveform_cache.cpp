// Waveform loading: the cache key, the cache file and its JSON form.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "audio/waveform/waveform_loader.hpp"
#include "common/atomic_file.hpp"
#include "common/format.hpp"
#include "common/numeric.hpp"
#include "common/sha256.hpp"

namespace corvel::audio {
namespace {

constexpr double kMinimumDuration = 0.001;
constexpr std::int64_t kMinimumBins = 65536;
constexpr std::int64_t kMaximumBins = 1048576;
// A cache file of the largest bin count takes about 34 MB (two arrays of 1048576 numbers of
// at most 15 characters and a comma); anything larger is no cache file of ours.
constexpr std::uint64_t kCacheFileSizeLimit = 64ull * 1000 * 1000;
constexpr std::string_view kCacheFileExtension = ".json";
constexpr std::size_t kCacheKeyLength = 64;

constexpr const char* kDurationKey = "durationSeconds";
constexpr const char* kMinPeaksKey = "minPeaks";
constexpr const char* kMaxPeaksKey = "maxPeaks";
constexpr const char* kSourceKey = "sourceDescription";
constexpr const char* kVersionKey = "algorithmVersion";

// ---- writing ----

template <typename Number>
bool appendNumber(std::string& out, Number value) {
    if (!std::isfinite(value)) return false;
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);  // shortest text that reads back exactly
    out.append(text, result.ptr);
    return true;
}

void appendString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

bool appendPeaks(std::string& out, const std::vector<float>& peaks) {
    out += '[';
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        if (i > 0) out += ',';
        if (!appendNumber(out, peaks[i])) return false;
    }
    out += ']';
    return true;
}

// ---- reading: a small pull parser, so that a million peaks need no tree of nodes ----

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    void skipWhitespace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool atEnd() const { return p_ == end_; }
    bool consume(char c) {
        skipWhitespace();
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    bool peekIs(char c) {
        skipWhitespace();
        return p_ < end_ && *p_ == c;
    }

    bool readString(std::string& out) {
        out.clear();
        if (!consume('"')) return false;
        while (p_ < end_) {
            const char c = *p_++;
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (p_ >= end_) return false;
            switch (*p_++) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t code = 0;
                    if (!readHex4(code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        std::uint32_t low = 0;
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
                        p_ += 2;
                        if (!readHex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return false;
                    }
                    appendUtf8(out, code);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    // A number in JSON's grammar, converted with from_chars; false for anything else or
    // for a value the type can't hold.
    template <typename Number>
    bool readNumber(Number& value) {
        skipWhitespace();
        const char* start = p_;
        const char* q = p_;
        if (q < end_ && *q == '-') ++q;
        if (q < end_ && *q == '0') {
            ++q;
        } else if (q < end_ && *q >= '1' && *q <= '9') {
            while (q < end_ && isDigit(*q)) ++q;
        } else {
            return false;
        }
        if (q < end_ && *q == '.') {
            ++q;
            if (q >= end_ || !isDigit(*q)) return false;
            while (q < end_ && isDigit(*q)) ++q;
        }
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            ++q;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            if (q >= end_ || !isDigit(*q)) return false;
            while (q < end_ && isDigit(*q)) ++q;
        }
        const auto result = std::from_chars(start, q, value);
        if (result.ec != std::errc() || result.ptr != q) return false;
        p_ = q;
        return true;
    }

    bool readFloatArray(std::vector<float>& out) {
        out.clear();
        if (!consume('[')) return false;
        if (consume(']')) return true;
        for (;;) {
            float value = 0;
            if (!readNumber(value)) return false;
            out.push_back(value);
            if (consume(',')) continue;
            return consume(']');
        }
    }

    bool skipValue(int depth = 0) {
        if (depth > 256) return false;
        skipWhitespace();
        if (p_ >= end_) return false;
        switch (*p_) {
            case '"': {
                std::string ignored;
                return readString(ignored);
            }
            case '{': {
                ++p_;
                if (consume('}')) return true;
                for (;;) {
                    std::string key;
                    if (!readString(key) || !consume(':') || !skipValue(depth + 1)) return false;
                    if (consume(',')) continue;
                    return consume('}');
                }
            }
            case '[': {
                ++p_;
                if (consume(']')) return true;
                for (;;) {
                    if (!skipValue(depth + 1)) return false;
                    if (consume(',')) continue;
                    return consume(']');
                }
            }
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: {
                double ignored = 0;
                return readNumber(ignored);
            }
        }
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    bool readHex4(std::uint32_t& code) {
        if (end_ - p_ < 4) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *p_++;
            code <<= 4;
            if (c >= '0' && c <= '9') code |= std::uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f') code |= std::uint32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') code |= std::uint32_t(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    static void appendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    const char* p_;
    const char* end_;
};

// "<64 lowercase hexadecimal digits>.json", the name of a cache file.
bool isCacheFileName(std::string_view name) {
    if (name.size() != kCacheKeyLength + kCacheFileExtension.size() || !name.ends_with(kCacheFileExtension)) return false;
    for (const char c : name.substr(0, kCacheKeyLength)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

BeatloomWaveformLoader::Routes BeatloomWaveformLoader::defaultRoutes() {
    return Routes{&BeatloomWaveformLoader::computeWithAudioFile, &BeatloomWaveformLoader::computeWithAssetReader};
}

BeatloomWaveformLoader::BeatloomWaveformLoader(std::filesystem::path cachesFolder, Routes routes,
                                               std::uint64_t cacheSizeLimit)
    : cachesFolder_(std::move(cachesFolder)), routes_(std::move(routes)), cacheSizeLimit_(cacheSizeLimit) {
    const Routes defaults = defaultRoutes();
    if (!routes_.first) routes_.first = defaults.first;
    if (!routes_.second) routes_.second = defaults.second;
}

double BeatloomWaveformLoader::effectiveDuration(double durationSeconds) {
    return durationSeconds >= kMinimumDuration ? durationSeconds : kMinimumDuration;  // NaN fails the test too
}

std::int64_t BeatloomWaveformLoader::binCount(double effectiveDurationSeconds) {
    const std::int64_t bins = saturatingInt64(std::ceil(effectiveDurationSeconds * 2000.0), kMinimumBins);
    return std::clamp(bins, kMinimumBins, kMaximumBins);
}

std::string BeatloomWaveformLoader::cacheKey(const std::filesystem::path& file, double effectiveDurationSeconds,
                                             std::int64_t binCount) {
    struct stat attributes {};
    if (::stat(file.c_str(), &attributes) != 0) {
        throw ErrorException(Error::fromErrno(errno, "read the attributes of " + file.string()));
    }
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(file, ignored);
    if (absolute.empty()) absolute = file;
    const double modified =
        static_cast<double>(attributes.st_mtim.tv_sec) + static_cast<double>(attributes.st_mtim.tv_nsec) / 1e9;
    std::string lines;
    lines += kWaveformAlgorithmVersion;
    lines += '\n';
    lines += absolute.lexically_normal().string();
    lines += '\n';
    lines += formatInteger(static_cast<std::int64_t>(attributes.st_size));
    lines += '\n';
    lines += formatFixed(modified, 3);
    lines += '\n';
    lines += formatFixed(effectiveDurationSeconds, 6);
    lines += '\n';
    lines += formatInteger(binCount);
    std::string key;
    for (const auto& byte : hexByteStrings(sha256(lines))) key += byte;
    return key;
}

std::filesystem::path BeatloomWaveformLoader::cacheFileURL(const std::string& key) const {
    const auto folder = cachesFolder_ / "Orvanta" / "Beatloom" / "Waveforms";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw ErrorException(Error::fromErrno(error.value(), "create " + folder.string()));
    return folder / (key + ".json");
}

std::optional<std::string> BeatloomWaveformLoader::encodeCacheRecord(const BeatloomWaveformData& record) {
    std::string out;
    out.reserve(64 + (record.minPeaks.size() + record.maxPeaks.size()) * 12 + record.sourceDescription.size());
    out += "{\"";
    out += kDurationKey;
    out += "\":";
    if (!appendNumber(out, record.durationSeconds)) return std::nullopt;
    out += ",\"";
    out += kMinPeaksKey;
    out += "\":";
    if (!appendPeaks(out, record.minPeaks)) return std::nullopt;
    out += ",\"";
    out += kMaxPeaksKey;
    out += "\":";
    if (!appendPeaks(out, record.maxPeaks)) return std::nullopt;
    out += ",\"";
    out += kSourceKey;
    out += "\":";
    appendString(out, record.sourceDescription);
    out += ",\"";
    out += kVersionKey;
    out += "\":";
    appendString(out, record.algorithmVersion);
    out += '}';
    return out;
}

std::optional<BeatloomWaveformData> BeatloomWaveformLoader::decodeCacheRecord(std::string_view text) {
    JsonReader reader(text);
    BeatloomWaveformData record;
    bool duration = false, minPeaks = false, maxPeaks = false, source = false, version = false;
    if (!reader.consume('{')) return std::nullopt;
    if (!reader.consume('}')) {
        std::string key;
        for (;;) {
            if (!reader.readString(key) || !reader.consume(':')) return std::nullopt;
            bool ok = true;
            if (key == kDurationKey) {
                ok = duration = reader.readNumber(record.durationSeconds);
            } else if (key == kMinPeaksKey) {
                ok = minPeaks = reader.readFloatArray(record.minPeaks);
            } else if (key == kMaxPeaksKey) {
                ok = maxPeaks = reader.readFloatArray(record.maxPeaks);
            } else if (key == kSourceKey) {
                ok = source = reader.peekIs('"') && reader.readString(record.sourceDescription);
            } else if (key == kVersionKey) {
                ok = version = reader.peekIs('"') && reader.readString(record.algorithmVersion);
            } else {
                ok = reader.skipValue();
            }
            if (!ok) return std::nullopt;
            if (reader.consume(',')) continue;
            if (reader.consume('}')) break;
            return std::nullopt;
        }
    }
    reader.skipWhitespace();
    if (!reader.atEnd() || !(duration && minPeaks && maxPeaks && source && version)) return std::nullopt;
    return record;
}

bool BeatloomWaveformLoader::isUsableCacheRecord(const BeatloomWaveformData& record, double effectiveDurationSeconds,
                                                 std::int64_t binCount) {
    if (record.algorithmVersion != kWaveformAlgorithmVersion || record.durationSeconds != effectiveDurationSeconds) {
        return false;
    }
    const auto expected = static_cast<std::size_t>(binCount);
    if (record.minPeaks.size() != expected || record.maxPeaks.size() != expected) return false;
    const auto inRange = [](float v) { return v >= -1.0f && v <= 1.0f; };  // false for NaN
    return std::all_of(record.minPeaks.begin(), record.minPeaks.end(), inRange) &&
           std::all_of(record.maxPeaks.begin(), record.maxPeaks.end(), inRange);
}

void BeatloomWaveformLoader::evictLeastRecentlyUsed(const std::filesystem::path& folder, std::uint64_t limit,
                                                    const std::filesystem::path& keep) {
    struct CacheFile {
        struct timespec used;
        std::string name;
        std::uint64_t size;
    };
    std::vector<CacheFile> files;
    std::uint64_t total = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(folder, error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!isCacheFileName(name)) continue;
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        const auto size = static_cast<std::uint64_t>(info.st_size);
        total += size;
        files.push_back(CacheFile{info.st_mtim, name, size});
    }
    if (total <= limit) return;
    std::sort(files.begin(), files.end(), [](const CacheFile& a, const CacheFile& b) {
        return std::tie(a.used.tv_sec, a.used.tv_nsec, a.name) < std::tie(b.used.tv_sec, b.used.tv_nsec, b.name);
    });
    const std::string kept = keep.filename().string();
    for (const auto& file : files) {
        if (total <= limit) break;
        if (file.name == kept) continue;
        if (::unlink((folder / file.name).c_str()) == 0 || errno == ENOENT) total -= file.size;
    }
}

BeatloomWaveformData BeatloomWaveformLoader::load(const std::filesystem::path& file, double durationSeconds) const {
    const double d = effectiveDuration(durationSeconds);
    const std::int64_t n = binCount(d);
    const std::string key = cacheKey(file, d, n);

    std::optional<std::filesystem::path> cachePath;
    try {
        cachePath = cacheFileURL(key);
    } catch (const std::exception&) {
        // No cache folder: this load neither reads nor writes the cache.
    }
    if (cachePath) {
        try {
            const auto bytes = readFileBytes(*cachePath, kCacheFileSizeLimit);
            const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (auto cached = decodeCacheRecord(text); cached && isUsableCacheRecord(*cached, d, n)) {
                // Just used: the last in line for eviction. A failure only ages it early.
                ::utimensat(AT_FDCWD, cachePath->c_str(), nullptr, 0);
                return std::move(*cached);
            }
        } catch (const std::exception&) {
            // A missing or unreadable cache file is a miss.
        }
    }

    BeatloomWaveformData record;
    try {
        record = routes_.first(file, d, n);
    } catch (const ErrorException& firstFailure) {
        record = routes_.second(file, d, n, firstFailure.error());
    }

    if (cachePath) {
        if (const auto text = encodeCacheRecord(record)) {
            try {
                writeFileAtomically(*cachePath, std::string_view(*text));
                evictLeastRecentlyUsed(cachePath->parent_path(), cacheSizeLimit_, *cachePath);
            } catch (const std::exception&) {
                // The waveform is there; only the next load will have to build it again.
            }
        }
    }
    return record;
}

}  // namespace corvel::audio
