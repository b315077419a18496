#include "voduvetools/resource_installer.hpp"

#include <fstream>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "common/sha256.hpp"

namespace corvel::voduvetools {
namespace {

namespace fs = std::filesystem;

const char* const kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char* const kPluginBytes = "\x7f" "ELF plug-in bytes";

class ResourceFiles : public corvel::testing::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        resources = root / "resources";
        destination = root / "VODUVE" / "UserPlugins" / "voduve_CuewardenStop.so";
        write(resources / "voduve_CuewardenStop.so", kPluginBytes);
    }

    ResourceInstaller installer(ResourceInstaller::MoveFunction move = ResourceInstaller::moveWithoutReplacing) const {
        return ResourceInstaller({resources, std::move(move)});
    }

    static Error errorOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const ErrorException& e) {
            return e.error();
        }
        ADD_FAILURE() << "no error was thrown";
        return {};
    }
    Error installError(const ResourceInstaller& with, const std::string& name = "voduve_CuewardenStop.so") const {
        return errorOf([&] { with.install(name, destination); });
    }

    fs::path resources;
    fs::path destination;
};

TEST_F(ResourceFiles, CopiesIntoMissingFoldersAndProvesTheCopy) {
    const auto result = installer().install("voduve_CuewardenStop.so", destination);

    const auto digest = hexString(sha256(std::string_view(kPluginBytes)));
    EXPECT_EQ(result, (ResourceInstallResult{destination, digest, digest, false, true, false}));
    EXPECT_EQ(read(destination), kPluginBytes);
    EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
}

TEST_F(ResourceFiles, LeavesAnIdenticalFileAlone) {
    write(destination, kPluginBytes);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    fs::last_write_time(destination, old);

    const auto result = installer().install("voduve_CuewardenStop.so", destination);

    EXPECT_TRUE(result.preExisting);
    EXPECT_TRUE(result.alreadyCompatible);
    EXPECT_FALSE(result.ownedByInstaller);
    EXPECT_EQ(result.installedSHA256, result.sourceSHA256);
    EXPECT_EQ(fs::last_write_time(destination), old);
    EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
}

TEST_F(ResourceFiles, NeverOverwritesADifferentFile) {
    write(destination, "the user's own build");

    const auto error = installError(installer());

    EXPECT_EQ(error, (Error{"OrvantaCorvel", 2202,
                            "A different file already exists at " + destination.string() +
                                ". It was not overwritten. To install this tool, move that file to another folder (or "
                                "delete it), then install again."}));
    EXPECT_EQ(read(destination), "the user's own build");
    EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
}

TEST_F(ResourceFiles, AnythingButAFileInTheDestinationsPlaceIsDifferentAndNeverRead) {
    // A pipe nobody writes would block a read for ever, a link to /dev/zero never ends.
    const std::function<void()> lay[] = {
        [&] { ASSERT_EQ(::mkfifo(destination.c_str(), 0644), 0); },
        [&] { fs::create_symlink("/dev/zero", destination); },
        [&] { fs::create_directory(destination); },
    };
    for (const auto& place : lay) {
        fs::remove_all(destination.parent_path());
        fs::create_directories(destination.parent_path());
        place();
        const auto status = fs::symlink_status(destination).type();
        EXPECT_EQ(installError(installer()).code, 2202);
        EXPECT_EQ(errorOf([&] { installer().preview("voduve_CuewardenStop.so", destination); }).code, 2202);
        EXPECT_EQ(fs::symlink_status(destination).type(), status);
        EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
    }
}

TEST_F(ResourceFiles, APreviewTellsWhatAnInstallWouldDoAndWritesNothing) {
    const auto digest = hexString(sha256(std::string_view(kPluginBytes)));
    EXPECT_EQ(installer().preview("voduve_CuewardenStop.so", destination),
              (ResourceInstallResult{destination, digest, digest, false, true, false}));
    EXPECT_FALSE(fs::exists(destination.parent_path()));
    EXPECT_EQ(errorOf([&] { installer().preview("Orvanta_Unknown.lua", destination); }).code, 2201);

    write(destination, kPluginBytes);
    EXPECT_EQ(installer().preview("voduve_CuewardenStop.so", destination),
              installer().install("voduve_CuewardenStop.so", destination));
}

TEST_F(ResourceFiles, RefusesAFileThatAppearsBeforeTheMove) {
    // Another program puts its file in place between the look and the move.
    const auto error = installError(installer([&](const fs::path& from, const fs::path& to) {
        write(to, "arrived meanwhile");
        return ResourceInstaller::moveWithoutReplacing(from, to);
    }));

    EXPECT_EQ(error.code, 2202);
    EXPECT_EQ(read(destination), "arrived meanwhile");
    EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
}

TEST_F(ResourceFiles, RefusesToReplaceADanglingLink) {
    fs::create_directories(destination.parent_path());
    fs::create_symlink(root / "nowhere.so", destination);

    EXPECT_EQ(installError(installer()).code, 2202);
    EXPECT_TRUE(fs::is_symlink(destination));
    EXPECT_FALSE(fs::exists(root / "nowhere.so"));
    EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
}

TEST_F(ResourceFiles, ReplacesAStaleTemporaryFile) {
    const auto temporary = ResourceInstaller::temporaryFileFor(destination);
    EXPECT_EQ(temporary.filename(), ".voduve_CuewardenStop.so.orvanta-corvel.tmp");
    write(temporary, "half of an earlier copy");
    // Left by interrupted copies of other files, and by earlier versions; and the user's own.
    const auto folder = destination.parent_path();
    write(folder / ".other.so.orvanta-corvel.tmp", "half");
    write(folder / ".voduve_CuewardenStop.so.orvanta-corvel.tmp.tmp-Ab3xYz90Qr", "half");
    write(folder / ".mine.so.tmp-Ab3xYz90Qr", "not ours");
    write(folder / "notes.orvanta-corvel.tmp", "not hidden, not ours");

    EXPECT_TRUE(installer().install("voduve_CuewardenStop.so", destination).ownedByInstaller);
    EXPECT_EQ(read(destination), kPluginBytes);
    EXPECT_EQ(names(folder), (std::set<std::string>{"voduve_CuewardenStop.so", ".mine.so.tmp-Ab3xYz90Qr",
                                                    "notes.orvanta-corvel.tmp"}));
}

TEST_F(ResourceFiles, InstallsAnEmptyFile) {
    write(resources / "empty.lua", "");
    const auto target = root / "Scripts" / "empty.lua";

    const auto result = installer().install("empty.lua", target);

    EXPECT_EQ(result.sourceSHA256, kEmptyDigest);
    EXPECT_EQ(result.installedSHA256, kEmptyDigest);
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST_F(ResourceFiles, NamesOutsideTheResourcesAreMissing) {
    write(root / "outside.lua", "not a resource");
    fs::create_directories(resources / "folder.lua");
    for (const std::string name : {"Orvanta_Unknown.lua", "../outside.lua", "folder.lua", "", ".."}) {
        EXPECT_EQ(installError(installer(), name),
                  (Error{"OrvantaCorvel", 2201, "Missing bundled resource: " + name}))
            << name;
    }
    EXPECT_FALSE(fs::exists(destination.parent_path()));
}

TEST_F(ResourceFiles, RemovesACopyWhoseBytesDifferAfterTheMove) {
    const auto error = installError(installer([](const fs::path& from, const fs::path& to) {
        const bool moved = ResourceInstaller::moveWithoutReplacing(from, to);
        std::ofstream(to, std::ios::binary | std::ios::app) << "damaged";
        return moved;
    }));

    EXPECT_EQ(error, (Error{"OrvantaCorvel", 2203, "Installed file verification failed for voduve_CuewardenStop.so."}));
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ResourceFiles, PassesAFailedMoveOnAndLeavesTheDestinationUntouched) {
    const auto error = installError(installer([](const fs::path&, const fs::path&) -> bool {
        throw ErrorException(Error::fromErrno(EXDEV, "rename"));
    }));

    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(error.code, EXDEV);
    EXPECT_FALSE(fs::exists(destination));
    // The next call clears what the failed one left.
    EXPECT_TRUE(installer().install("voduve_CuewardenStop.so", destination).ownedByInstaller);
    EXPECT_EQ(names(destination.parent_path()), std::set<std::string>{"voduve_CuewardenStop.so"});
}

TEST_F(ResourceFiles, AnUnreadableSourceIsAFileSystemError) {
    const auto error = errorOf([&] { installer().copyVerified(root / "gone.lua", destination); });
    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(fs::exists(destination.parent_path()));
}

}  // namespace
}  // namespace corvel::voduvetools
