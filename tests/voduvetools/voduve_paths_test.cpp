#include "voduvetools/voduve_paths.hpp"

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_folder.hpp"

extern char** environ;

namespace corvel::voduvetools {
namespace {

namespace fs = std::filesystem;

using VoduvePresence = corvel::testing::TempFolderTest;

TEST_F(VoduvePresence, ResourceFolderNeedsScriptsOrTheKeymap) {
    const auto make = [&](const std::string& name, const std::vector<std::string>& files,
                          const std::vector<std::string>& folders) {
        const auto folder = root / name;
        fs::create_directories(folder);
        for (const auto& f : files) std::ofstream(folder / f) << "x";
        for (const auto& d : folders) fs::create_directories(folder / d);
        return folder;
    };
    EXPECT_FALSE(VoduvePaths::isResourceFolder(root / "missing"));
    EXPECT_FALSE(VoduvePaths::isResourceFolder(make("empty", {}, {})));
    EXPECT_FALSE(VoduvePaths::isResourceFolder(make("other", {"settings.ini"}, {"UserPlugins"})));
    EXPECT_TRUE(VoduvePaths::isResourceFolder(make("scriptsFolder", {}, {"Scripts"})));
    EXPECT_TRUE(VoduvePaths::isResourceFolder(make("scriptsFile", {"Scripts"}, {})));
    EXPECT_TRUE(VoduvePaths::isResourceFolder(make("keymapOnly", {"voduve-kb.ini"}, {})));
    EXPECT_FALSE(VoduvePaths::isResourceFolder(root / "keymapOnly" / "voduve-kb.ini"));
}

TEST(VoduvePaths, DefaultResourceFolderFollowsTheConfigFolder) {
    const platform::UserFolders folders([](const std::string& name) -> std::optional<std::string> {
        if (name == "HOME") return "/home/ann";
        return std::nullopt;
    });
    EXPECT_EQ(VoduvePaths::defaultResourceFolder(folders), "/home/ann/.config/VODUVE");
}

TEST(VoduveRunning, MatchingRule) {
    struct Case {
        const char* shortName;
        const char* argv0;
        bool zombie;
        bool expected;
    };
    const Case cases[] = {
        {"voduve", "", false, true},
        {"VODUVE", "", false, true},
        {"VoDuVe", "/x/y", false, true},
        {"voduve", "/opt/voduve/voduve", true, false},  // zombies never count
        {"bash", "/opt/VODUVE/voduve", false, true},    // argv[0] base name
        {"bash", "Voduve", false, true},
        {"bash", "/opt/voduve/bin/launcher", false, false},
        {"voduve-tools", "voduve-tools", false, false},
        {"VODUVE Tools", "", false, false},
        {"voduv", "voduvee", false, false},
        {"", "", false, false},
        {"bash", "/usr/bin/voduve/", false, false},
    };
    for (const auto& c : cases) {
        const platform::ProcessInfo info{1, c.shortName, c.argv0, c.zombie};
        EXPECT_EQ(isVoduveProcess(info), c.expected) << c.shortName << " | " << c.argv0;
        EXPECT_EQ(isVoduveRunning({platform::ProcessInfo{2, "init", "/sbin/init", false}, info}), c.expected);
    }
    EXPECT_FALSE(isVoduveRunning(std::vector<platform::ProcessInfo>{}));
}

std::optional<platform::ProcessInfo> findProcess(pid_t pid) {
    for (const auto& info : platform::runningProcesses()) {
        if (info.pid == pid) return info;
    }
    return std::nullopt;
}

TEST_F(VoduvePresence, LiveCopyOfAProgramNamedVoduveIsSeen) {
    // A link named voduve: the kernel names the process after the path it was started by,
    // and the program itself stays where it is (a temp folder may be mounted noexec).
    const fs::path program = root / "voduve";
    fs::create_symlink("/bin/sleep", program);
    // The zombie check below needs children that are not reaped behind our back.
    struct DefaultChildSignal {
        void (*previous)(int) = std::signal(SIGCHLD, SIG_DFL);
        ~DefaultChildSignal() { std::signal(SIGCHLD, previous); }
    } defaultChildSignal;

    char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    struct ChildGuard {
        pid_t pid;
        bool collected = false;
        ~ChildGuard() {
            if (collected) return;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } guard{pid};

    std::optional<platform::ProcessInfo> info;
    // Up to the child's own 30 s: on a loaded machine the exec can take seconds.
    for (int attempt = 0; attempt < 3000; ++attempt) {
        info = findProcess(pid);
        // The kernel renames the process during exec a moment before its new argument
        // list can be read, so wait for both.
        if (info && info->shortName == "voduve" && !info->argv0.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(info);
    EXPECT_EQ(info->shortName, "voduve");
    EXPECT_EQ(info->argv0, program.string());
    EXPECT_TRUE(isVoduveProcess(*info));
    EXPECT_TRUE(isVoduveRunning());

    // Once it has exited but has not been waited for, it is a zombie and no longer counts.
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    siginfo_t exited{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOWAIT), 0);
    const auto zombie = findProcess(pid);
    ASSERT_TRUE(zombie);
    EXPECT_TRUE(zombie->zombie);
    EXPECT_FALSE(isVoduveProcess(*zombie));
    ::waitpid(pid, nullptr, 0);
    guard.collected = true;
}

}  // namespace
}  // namespace corvel::voduvetools
