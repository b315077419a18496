#include "common/atomic_file.hpp"

#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    const auto bytes = readFileBytes(target, kUnlimitedFileSize);
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
    const auto original = readFileBytes(taken, kUnlimitedFileSize);
    const auto newer = readFileBytes(root / "backup-2", kUnlimitedFileSize);
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
    EXPECT_THROW(readFileBytes(root / "none", kUnlimitedFileSize), ErrorException);
}

// A process id that no process has any more: a child that has ended and been waited for.
pid_t endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST_F(AtomicFile, ReadsOnlyRegularFilesAndNoMoreThanTheLimit) {
    write(root / "kb.ini", "0123456789");
    EXPECT_EQ(readFileBytes(root / "kb.ini", 10).size(), 10u);
    ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0644), 0);  // nobody writes: a blocking open would wait for ever
    fs::create_symlink("/dev/zero", root / "zeros");          // endless: a read without a limit never ends
    fs::create_directory(root / "folder");

    struct Case {
        const char* name;
        std::uint64_t limit;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {"kb.ini", 9, EFBIG, "read " + (root / "kb.ini").string() + " (more than 9 bytes): File too large"},
        {"pipe", kUnlimitedFileSize, EINVAL, "open " + (root / "pipe").string() + ": Not a regular file (a named pipe)"},
        {"zeros", kUnlimitedFileSize, EINVAL,
         "open " + (root / "zeros").string() + ": Not a regular file (a character device)"},
        {"folder", kUnlimitedFileSize, EISDIR, "open " + (root / "folder").string() + ": Not a regular file (a folder)"},
    };
    for (const auto& c : cases) {
        try {
            readFileBytes(root / c.name, c.limit);
            ADD_FAILURE() << c.name << " was read";
        } catch (const ErrorException& e) {
            EXPECT_EQ(e.error(), (Error{"POSIX", c.code, c.message})) << c.name;
        }
    }
    EXPECT_EQ(readFileBytes(root / "kb.ini", 16'000'000).size(), 10u);
    EXPECT_THROW(readFileBlocks(root / "zeros", [](std::span<const std::uint8_t>) {}), ErrorException);
}

TEST_F(AtomicFile, TempFileNamesSayWhoseTheyAre) {
    const std::string name = temporaryFileName(root / "song_TempoMap.mid", 4321, "Ab3xYz90");
    EXPECT_EQ(name, ".song_TempoMap.mid.orvanta-corvel-4321-Ab3xYz90.tmp");
    EXPECT_EQ(temporaryFileWriter(name), 4321);

    // A name at the file system's limit is shortened, never cut inside a character.
    const std::string longName = std::string(240, 'a') + "Ã©Ã©Ã©.mid";
    const std::string shortened = temporaryFileName(root / longName, 4321, "Ab3xYz90");
    EXPECT_LE(shortened.size(), 255u);
    EXPECT_EQ(temporaryFileWriter(shortened), 4321);
    EXPECT_NE(static_cast<unsigned char>(shortened[shortened.find(".orvanta-corvel-") - 1]), 0xC3);

    for (const std::string other : {".song.mid.tmp-Ab3xYz90xx", "song.mid.orvanta-corvel-12-ab.tmp",
                                    ".song.mid.orvanta-corvel-12-a!b.tmp", ".song.mid.orvanta-corvel-x1-ab.tmp",
                                    ".song.mid.orvanta-corvel-12-.tmp", ".Orvanta_Cuewarden.lua.orvanta-corvel.tmp",
                                    ".song.mid.orvanta-corvel-0-ab.tmp"}) {
        EXPECT_EQ(temporaryFileWriter(other), std::nullopt) << other;
    }
}

TEST_F(AtomicFile, AWriteRemovesTheStaleTempFilesOfOursInItsFolder) {
    const pid_t gone = endedProcess();
    const auto ofProcess = [](pid_t pid, const char* target) {
        return temporaryFileName(target, pid, "Ab3xYz90");
    };
    const std::string stale = ofProcess(gone, "other.mid");
    const std::string live = ofProcess(::getpid(), "busy.mid");  // a write of this process still under way
    const std::string foreign = ".song.mid.tmp-Ab3xYz90xx";
    const std::string staleFolder = ofProcess(gone, "folder.mid");
    const std::string staleLink = ofProcess(gone, "link.mid");
    for (const auto& name : {stale, live, foreign}) write(root / name, "half");
    fs::create_directory(root / staleFolder);
    fs::create_symlink(root / "elsewhere", root / staleLink);
    write(root / "sub" / ofProcess(gone, "deeper.mid"), "half");

    writeFileAtomically(root / "song.mid", std::string_view("MThd"));

    EXPECT_EQ(names(root), (std::set<std::string>{"song.mid", live, foreign, staleFolder, staleLink, "sub"}));
    EXPECT_EQ(names(root / "sub").size(), 1u);  // only the folder written into is swept
}

TEST_F(AtomicFile, ReplacingKeepsTheModeAndWritesThroughALink) {
    write(root / "real" / "map.mid", "old");
    ASSERT_EQ(::chmod((root / "real" / "map.mid").c_str(), 0600), 0);
    fs::create_symlink("real/map.mid", root / "link.mid");
    const std::string bytes = "new";
    const auto data = std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());

    replaceFileAtomically(root / "link.mid", data);

    EXPECT_TRUE(fs::is_symlink(root / "link.mid"));
    EXPECT_EQ(read(root / "real" / "map.mid"), "new");
    struct stat info {};
    ASSERT_EQ(::stat((root / "real" / "map.mid").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(names(root / "real"), std::set<std::string>{"map.mid"});

    // A new file gets the usual mode under the umask.
    const mode_t mask = ::umask(022);
    replaceFileAtomically(root / "fresh.mid", data);
    ::umask(mask);
    ASSERT_EQ(::stat((root / "fresh.mid").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

}  // namespace
}  // namespace corvel
