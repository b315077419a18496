#include "common/atomic_file.hpp"

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

#include "common/error.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public corvel::testing::TempFolderTest {
protected:
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(root), fs::directory_iterator()));
    }
};

TEST_F(AtomicFile, WritesAndReplacesLeavingNoTempFile) {
    const auto target = root / "out.mid";
    writeFileAtomically(target, std::string_view("first"));
    writeFileAtomically(target, std::string_view("second"));
    const auto bytes = readFileBytes(target);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "second");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFile, FailedRenameKeepsTargetAndRemovesTemp) {
    // A folder in place of the target makes the rename fail.
    const auto target = root / "busy";
    fs::create_directories(target / "child");
    EXPECT_THROW(writeFileAtomically(target, std::string_view("data")), ErrorException);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFile, CommitWithoutReplacingNeverOverwrites) {
    const auto taken = root / "backup-1";
    writeFileAtomically(taken, std::string_view("original"));
    {
        TempFileBeside temp(taken);
        const std::string data = "newer";
        temp.writeAndSync(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
        EXPECT_FALSE(temp.commitWithoutReplacing(taken));
        EXPECT_TRUE(fs::exists(temp.path()));
        EXPECT_TRUE(temp.commitWithoutReplacing(root / "backup-2"));
    }
    const auto original = readFileBytes(taken);
    const auto newer = readFileBytes(root / "backup-2");
    EXPECT_EQ(std::string(original.begin(), original.end()), "original");
    EXPECT_EQ(std::string(newer.begin(), newer.end()), "newer");
    EXPECT_EQ(entries(), 2u);
    EXPECT_THROW(renameWithoutReplacing(root / "missing", root / "x"), ErrorException);
}

TEST_F(AtomicFile, MissingFolderAndMissingFileReportPosixErrors) {
    try {
        writeFileAtomically(root / "missing" / "x", std::string_view("data"));
        FAIL();
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.error().domain, "POSIX");
        EXPECT_EQ(e.error().code, ENOENT);
    }
    EXPECT_THROW(readFileBytes(root / "none"), ErrorException);
}

}  // namespace
}  // namespace corvel
