#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::span<const std::uint8_t> bytes);
Sha256Digest sha256(std::string_view text);

// Digest of a file's bytes, read in blocks. Throws ErrorException (domain "POSIX")
// when the file can't be read.
Sha256Digest sha256OfFile(const std::filesystem::path& path);

// The 64-character lowercase hex text of a file's digest; throws as sha256OfFile.
std::string sha256HexOfFile(const std::filesystem::path& path);

// One string per digest byte, in byte order, each two lowercase hex digits ("0a").
std::vector<std::string> hexByteStrings(const Sha256Digest& digest);

// The 64-character lowercase hex text of a digest.
std::string hexString(const Sha256Digest& digest);

}  // namespace corvel
