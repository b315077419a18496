// FFmpeg's memory in the audio fuzz targets: what one block may take, and a cache of the
// large blocks the decoders make and free again for every input.
//
// AddressSanitizer maps every block over 128 KB afresh and unmaps it when it leaves the
// quarantine, so each one costs a page fault per page, and a TLB flush on every core when
// it goes: on a busy machine some milliseconds for an AAC decoder's half megabyte per channel
// element, of which an input makes a dozen and more (every decoder opened makes its own).
// The targets thus keep the large blocks the libraries free and hand them out again for a
// block of the same size, zeroed where asked, filled like a fresh block otherwise. Only
// blocks over 128 KB that FFmpeg's own code frees through av_free or av_freep are kept; our
// code allocates none of that size, so every fault of ours stays as visible as before.
//
// av_malloc and friends called from FFmpeg's other libraries (and from ours) resolve to the
// definitions below, which the executable exports; calls within libavutil stay its own.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
}

namespace {

// Larger than any input of a few kilobytes needs of one block (an AAC channel element's
// state is half a megabyte, a frame of 65,535 samples on 8 channels 2 MB), smaller than
// the tables a damaged header may claim (a 3 KB MP4 has asked for 242 MB twice).
constexpr std::size_t kMostBytesInOneBlock = std::size_t(16) << 20;
// Blocks below this come from the sanitizer's own size classes and are cheap to make.
constexpr std::size_t kSmallestKeptBlock = (std::size_t(128) << 10) + 1;
constexpr std::size_t kMostBytesKept = std::size_t(64) << 20;
// What the sanitizer writes into the start of a fresh block (malloc_fill_byte and
// max_malloc_fill_size): a reused block looks the same to code that reads it unwritten.
constexpr unsigned char kFreshFill = 0xbe;
constexpr std::size_t kFreshFillBytes = 4096;

using Malloc = void* (*)(std::size_t);
using Free = void (*)(void*);

struct Library {
    Malloc malloc = nullptr;
    Free free = nullptr;
};

const Library& library() {
    static const Library functions = [] {
        Library found;
        found.malloc = reinterpret_cast<Malloc>(dlsym(RTLD_NEXT, "av_malloc"));
        found.free = reinterpret_cast<Free>(dlsym(RTLD_NEXT, "av_free"));
        if (found.malloc == nullptr || found.free == nullptr) std::abort();
        return found;
    }();
    return functions;
}

class BlockCache {
public:
    void* take(std::size_t size) {
        std::lock_guard lock(mutex_);
        for (std::size_t i = blocks_.size(); i-- > 0;) {
            if (blocks_[i].size != size) continue;
            void* block = blocks_[i].block;
            blocks_[i] = blocks_.back();
            blocks_.pop_back();
            kept_ -= size;
            return block;
        }
        return nullptr;
    }

    bool keep(void* block, std::size_t size) {
        std::lock_guard lock(mutex_);
        if (kept_ + size > kMostBytesKept) return false;
        blocks_.push_back({block, size});
        kept_ += size;
        return true;
    }

private:
    struct Kept {
        void* block;
        std::size_t size;
    };
    std::mutex mutex_;
    std::vector<Kept> blocks_;
    std::size_t kept_ = 0;
};

BlockCache& cache() {
    static BlockCache* blocks = new BlockCache;  // outlives every static destructor
    return *blocks;
}

[[maybe_unused]] const bool kCapped = [] {
    av_max_alloc(kMostBytesInOneBlock);
    return true;
}();

}  // namespace

extern "C" {

void* av_malloc(std::size_t size) {
    if (size >= kSmallestKeptBlock) {
        if (void* block = cache().take(size)) {
            std::memset(block, kFreshFill, std::min(size, kFreshFillBytes));
            return block;
        }
    }
    return library().malloc(size);
}

void* av_mallocz(std::size_t size) {
    void* block = av_malloc(size);
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

void av_free(void* block) {
    if (block == nullptr) return;
    const std::size_t size = malloc_usable_size(block);
    if (size >= kSmallestKeptBlock && size <= kMostBytesInOneBlock && cache().keep(block, size)) return;
    library().free(block);
}

void av_freep(void* pointer) {
    void* block = nullptr;
    std::memcpy(&block, pointer, sizeof block);
    std::memset(pointer, 0, sizeof block);
    av_free(block);
}

}  // extern "C"
