#include "common/atomic_file.hpp"

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/error.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

class AtomicFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("corvel-atomic-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }
    fs::path folder;
};

TEST_F(AtomicFile, WritesAndReplacesLeavingNoTempFile) {
    const auto target = folder / "out.mid";
    writeFileAtomically(target, std::string_view("first"));
    writeFileAtomically(target, std::string_view("second"));
    const auto bytes = readFileBytes(target);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "second");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFile, FailedRenameKeepsTargetAndRemovesTemp) {
    // A folder in place of the target makes the rename fail.
    const auto target = folder / "busy";
    fs::create_directories(target / "child");
    EXPECT_THROW(writeFileAtomically(target, std::string_view("data")), ErrorException);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFile, MissingFolderAndMissingFileReportPosixErrors) {
    try {
        writeFileAtomically(folder / "missing" / "x", std::string_view("data"));
        FAIL();
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.error().domain, "POSIX");
        EXPECT_EQ(e.error().code, ENOENT);
    }
    EXPECT_THROW(readFileBytes(folder / "none"), ErrorException);
}

}  // namespace
}  // namespace corvel
