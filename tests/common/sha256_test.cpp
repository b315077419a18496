#include "common/sha256.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/error.hpp"

namespace corvel {
namespace {

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(hexString(sha256(std::string_view(""))),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexString(sha256(std::string_view("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, HexByteStringsAreTwoLowercaseDigitsPerByte) {
    Sha256Digest digest{};
    digest[0] = 0x0a;
    digest[1] = 0xFF;
    const auto strings = hexByteStrings(digest);
    ASSERT_EQ(strings.size(), 32u);
    EXPECT_EQ(strings[0], "0a");
    EXPECT_EQ(strings[1], "ff");
    EXPECT_EQ(strings[31], "00");
}

TEST(Sha256, FileDigestMatchesBytesDigestAcrossBlocks) {
    const auto path = std::filesystem::temp_directory_path() / ("corvel-sha-" + std::to_string(::getpid()));
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    { std::ofstream(path, std::ios::binary) << content; }
    EXPECT_EQ(sha256OfFile(path), sha256(std::string_view(content)));
    EXPECT_EQ(sha256HexOfFile(path), hexString(sha256(std::string_view(content))));
    std::filesystem::remove(path);
    EXPECT_THROW(sha256OfFile(path), ErrorException);
    EXPECT_THROW(sha256HexOfFile(path), ErrorException);
}

}  // namespace
}  // namespace corvel
