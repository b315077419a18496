#include "common/sha256.hpp"

#include <openssl/evp.h>

#include <memory>

#include "common/atomic_file.hpp"
#include "common/error.hpp"

namespace corvel {
namespace {

struct DigestContext {
    DigestContext() {
        ctx.reset(EVP_MD_CTX_new());
        if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
            throw ErrorException(Error{"OpenSSL", 1, "SHA-256 is not available."});
        }
    }
    void update(const void* data, std::size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
    Sha256Digest finish() {
        Sha256Digest digest{};
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), digest.data(), &length);
        return digest;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{nullptr, &EVP_MD_CTX_free};
};

}  // namespace

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
    DigestContext context;
    context.update(bytes.data(), bytes.size());
    return context.finish();
}

Sha256Digest sha256(std::string_view text) {
    DigestContext context;
    context.update(text.data(), text.size());
    return context.finish();
}

Sha256Digest sha256OfFile(const std::filesystem::path& path) {
    DigestContext context;
    readFileBlocks(path, [&](std::span<const std::uint8_t> block) { context.update(block.data(), block.size()); });
    return context.finish();
}

std::string sha256HexOfFile(const std::filesystem::path& path) { return hexString(sha256OfFile(path)); }

std::vector<std::string> hexByteStrings(const Sha256Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::vector<std::string> strings;
    strings.reserve(digest.size());
    for (auto byte : digest) {
        strings.push_back(std::string{digits[byte >> 4], digits[byte & 0x0F]});
    }
    return strings;
}

std::string hexString(const Sha256Digest& digest) {
    std::string text;
    for (const auto& s : hexByteStrings(digest)) text += s;
    return text;
}

}  // namespace corvel
