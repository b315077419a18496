// The libsndfile route of the audio-file reader.

#include <algorithm>
#include <memory>
#include <vector>

#include <sndfile.h>

#include "audio/reading/audio_file_backend.hpp"
#include "audio/reading/regular_file.hpp"
#include "common/format.hpp"

namespace corvel::audio {
namespace {

// libsndfile reads the opened file through these callbacks, at its own offset.
// libsndfile parses headers and chunks a few bytes at a time; those small reads are served
// from one block read ahead, so that opening a file costs a few system calls, not hundreds.
// Reads as large as the block go to the file directly.
struct VirtualFile {
    static constexpr std::size_t kReadAheadBytes = 32 * 1024;

    std::shared_ptr<const RegularFile> file;
    sf_count_t offset = 0;
    // Left unwritten until a read fills it: only the bytes read from the file are used.
    std::unique_ptr<unsigned char[]> ahead = std::make_unique_for_overwrite<unsigned char[]>(kReadAheadBytes);
    sf_count_t aheadStart = 0;
    sf_count_t aheadLength = 0;
};

sf_count_t virtualLength(void* data) { return static_cast<VirtualFile*>(data)->file->size(); }

sf_count_t virtualSeek(sf_count_t offset, int whence, void* data) {
    auto* v = static_cast<VirtualFile*>(data);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = v->offset;
    if (whence == SEEK_END) base = v->file->size();
    if (base < 0 || (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)) return -1;
    if (offset < -base) return -1;
    v->offset = base + offset;
    return v->offset;
}

sf_count_t virtualRead(void* into, sf_count_t count, void* data) {
    auto* v = static_cast<VirtualFile*>(data);
    if (count <= 0) return 0;
    if (count >= static_cast<sf_count_t>(VirtualFile::kReadAheadBytes)) {
        const std::int64_t got = v->file->readAt(into, static_cast<std::size_t>(count), v->offset);
        if (got <= 0) return 0;
        v->offset += got;
        return got;
    }
    // A read reaching past the block read ahead reads a new block from where it starts; one
    // that ended short at the end of the file is read again, in case the file has grown.
    if (v->offset < v->aheadStart || v->offset + count > v->aheadStart + v->aheadLength) {
        const std::int64_t got = v->file->readAt(v->ahead.get(), VirtualFile::kReadAheadBytes, v->offset);
        v->aheadStart = v->offset;
        v->aheadLength = std::max<std::int64_t>(got, 0);
    }
    const sf_count_t got = std::min(count, v->aheadStart + v->aheadLength - v->offset);
    if (got <= 0) return 0;
    std::copy_n(v->ahead.get() + (v->offset - v->aheadStart), got, static_cast<unsigned char*>(into));
    v->offset += got;
    return got;
}

sf_count_t virtualWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t virtualTell(void* data) { return static_cast<VirtualFile*>(data)->offset; }

SF_VIRTUAL_IO virtualIo{virtualLength, virtualSeek, virtualRead, virtualWrite, virtualTell};

// Whether libsndfile's frame count comes from the size of uncompressed sample data, and
// so is exact, a file cut short included.
bool countsSampleData(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_FLAC || major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG) return false;
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW: return true;
    default: return false;
    }
}

class SndfileBackend final : public AudioFileReader::Backend {
public:
    SndfileBackend(std::unique_ptr<VirtualFile> source, SNDFILE* file, const SF_INFO& info)
        : source_(std::move(source)), file_(file), info_(info), path_(source_->file->path()) {}
    ~SndfileBackend() override { sf_close(file_); }

    double sampleRate() const override { return static_cast<double>(info_.samplerate); }
    std::uint32_t channelCount() const override { return static_cast<std::uint32_t>(std::max(info_.channels, 0)); }
    std::int64_t length() const override { return length_; }
    std::int64_t framePosition() const override { return position_; }
    const char* name() const override { return kSndfileErrorDomain; }
    const std::filesystem::path& path() const { return path_; }

    // The frame count libsndfile reports, when it is known to be the audio present: counted
    // from uncompressed sample data, or a FLAC file's declared total whose last frames read
    // back whole. Other compressed files are left to FFmpeg: MP3 totals are estimates, and
    // libsndfile's seeks in Ogg Vorbis miss their frame.
    bool takeDeclaredLength() {
        const sf_count_t declared = info_.frames;
        if (declared < 0 || declared == SF_COUNT_MAX || channelCount() == 0) return false;
        if (countsSampleData(info_.format)) {
            length_ = declared;
            return true;
        }
        if ((info_.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC || declared == 0) return false;
        constexpr sf_count_t kTailFrames = 8192;
        const sf_count_t from = std::max<sf_count_t>(declared - kTailFrames, 0);
        if (sf_seek(file_, from, SEEK_SET) != from) return false;
        const sf_count_t tail = framesUntilTheEnd(declared - from + 1);
        if (!rewind() || from + tail != declared) return false;
        length_ = declared;
        return true;
    }

    // Reads the file through and takes the frames it delivered as its length; false when it
    // can't then go back to the start.
    bool countLength() {
        if (!rewind()) return false;
        length_ = framesUntilTheEnd(SF_COUNT_MAX);
        return rewind();
    }

    // Where libsndfile can't seek in an encoding, the frames up to the target are read from
    // the start (a failed seek may have left the file anywhere).
    void setFramePosition(std::int64_t frame) override {
        const std::int64_t target = std::clamp<std::int64_t>(frame, 0, length());
        if (target == position_) return;
        if (sf_seek(file_, target, SEEK_SET) == target) {
            position_ = target;
            return;
        }
        if (!rewind() || framesUntilTheEnd(target) != target) {
            throw ErrorException(Error{kSndfileErrorDomain, sf_error(file_),
                                       "seek " + path_.string() + " to frame " + formatInteger(target) + ": " +
                                           sf_strerror(file_)});
        }
        position_ = target;
    }

    void read(AudioBuffer& buffer, std::uint32_t frameCount) override {
        buffer.setFrameLength(0);
        const std::uint32_t channels = channelCount();
        const std::int64_t wanted =
            std::min<std::int64_t>({frameCount, buffer.frameCapacity(), length() - position_});
        if (wanted <= 0 || channels == 0 || buffer.channelCount() < channels) return;
        const std::size_t needed = static_cast<std::size_t>(wanted) * channels;
        if (interleaved_.size() < needed) interleaved_.resize(needed);
        const sf_count_t got = sf_readf_float(file_, interleaved_.data(), wanted);
        if (got < 0 || (got < wanted && sf_error(file_) != SF_ERR_NO_ERROR)) {
            throw ErrorException(Error{kSndfileErrorDomain, sf_error(file_),
                                       "read " + path_.string() + ": " + sf_strerror(file_)});
        }
        const auto frames = static_cast<std::uint32_t>(got);
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
            float* out = buffer.channel(ch);
            const float* in = interleaved_.data() + ch;
            for (std::uint32_t i = 0; i < frames; ++i) out[i] = in[std::size_t(i) * channels];
        }
        buffer.setFrameLength(frames);
        position_ += got;
    }

private:
    // Frames read from the current position until the audio ends or fails, `most` at the
    // most; the position is left wherever that was.
    sf_count_t framesUntilTheEnd(sf_count_t most) {
        constexpr sf_count_t kBlockFrames = 4096;
        interleaved_.resize(static_cast<std::size_t>(kBlockFrames) * channelCount());
        sf_count_t total = 0;
        while (total < most) {
            const sf_count_t wanted = std::min(kBlockFrames, most - total);
            const sf_count_t got = sf_readf_float(file_, interleaved_.data(), wanted);
            if (got <= 0) break;
            total += got;
            if (got < wanted && sf_error(file_) != SF_ERR_NO_ERROR) break;
        }
        return total;
    }

    bool rewind() {
        position_ = 0;
        return sf_seek(file_, 0, SEEK_SET) == 0;
    }

    std::unique_ptr<VirtualFile> source_;
    SNDFILE* file_;
    SF_INFO info_;
    std::filesystem::path path_;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
    std::vector<float> interleaved_;
};

std::unique_ptr<SndfileBackend> openSndfile(std::shared_ptr<const RegularFile> file, Error* error) {
    auto source = std::make_unique<VirtualFile>();
    source->file = std::move(file);
    SF_INFO info{};
    SNDFILE* handle = sf_open_virtual(&virtualIo, SFM_READ, &info, source.get());
    if (handle == nullptr) {
        if (error != nullptr) {
            *error = Error{kSndfileErrorDomain, sf_error(nullptr),
                           "open " + source->file->path().string() + ": " + sf_strerror(nullptr)};
        }
        return nullptr;
    }
    // Integer files read as floats in -1...1; float files come through unchanged.
    sf_command(handle, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    return std::make_unique<SndfileBackend>(std::move(source), handle, info);
}

}  // namespace

std::unique_ptr<AudioFileReader::Backend> openSndfileBackend(std::shared_ptr<const RegularFile> file,
                                                             SndfileLength length, Error* error, bool* readable) {
    auto backend = openSndfile(std::move(file), error);
    if (readable != nullptr) *readable = backend != nullptr;
    if (!backend) return nullptr;
    if (backend->takeDeclaredLength() || (length == SndfileLength::counted && backend->countLength())) return backend;
    if (error != nullptr) {
        *error = Error{kSndfileErrorDomain, SF_ERR_MALFORMED_FILE,
                       "open " + backend->path().string() + ": the length of its audio is not known"};
    }
    return nullptr;
}

}  // namespace corvel::audio
