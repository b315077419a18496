#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/format.hpp"

#include "extension/extension_fixture.hpp"

namespace corvel::extension_test {
namespace {

namespace fs = std::filesystem;

Lines fullLoadLines() {
    Lines lines = {"[CWS] init", "[CWS] entrypoint reached"};
    for (const std::string& name : kVoduveFunctions) {
        lines.push_back("[CWS] " + name + " = OK");
    }
    lines.push_back("[CWS] plugin loaded successfully");
    return lines;
}

TEST_F(ExtensionTest, FullLoadRegistersTheTimerAndUnloadRemovesIt) {
    writeLog("[CWS] from an earlier run\n");
    ASSERT_EQ(extension.load(host.record()), 1);
    EXPECT_EQ(log.next(), fullLoadLines());
    EXPECT_EQ(host.lookups, kVoduveFunctions);
    EXPECT_EQ(host.calls, Lines{"plugin_register(timer)"});
    const VoduveTimerProc timer = host.timer;
    ASSERT_NE(timer, nullptr);

    host.calls.clear();
    host.lookups.clear();
    EXPECT_EQ(extension.unload(), 0);
    EXPECT_EQ(log.next(), Lines{"[CWS] unloading plugin"});
    EXPECT_EQ(host.calls, Lines{"plugin_register(-timer)"});  // the fake checks it is the same callback
    EXPECT_EQ(host.timer, nullptr);

    // A second unload finds nothing registered.
    host.calls.clear();
    EXPECT_EQ(extension.unload(), 0);
    EXPECT_TRUE(log.next().empty());
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(host.lookups.empty());
}

TEST_F(ExtensionTest, UnloadWithoutLoadWritesNothing) {
    EXPECT_EQ(extension.unload(), 0);
    EXPECT_FALSE(readLogBytes().has_value());
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(ExtensionTest, WrongVersionReturnsZeroAndLeavesTheLogAlone) {
    const std::string earlier = "[CWS] from an earlier run\n";
    for (const std::int32_t version : {0, 0x20D, 0x20F, 0x10E, -1}) {
        SCOPED_TRACE(version);
        writeLog(earlier);
        EXPECT_EQ(extension.load(host.record(version)), 0);
        EXPECT_EQ(readLogBytes(), earlier);
        EXPECT_TRUE(host.lookups.empty());
        EXPECT_TRUE(host.calls.empty());
    }
    // Still inert: nothing to unload.
    EXPECT_EQ(extension.unload(), 0);
    EXPECT_EQ(readLogBytes(), earlier);
}

TEST_F(ExtensionTest, MissingFunctionRefusesTheLoad) {
    for (const std::string& absent : kVoduveFunctions) {
        SCOPED_TRACE(absent);
        FakeVoduve scenario;  // the newest fake host answers the calls
        scenario.missing = {absent};
        LoadedExtension copy;
        removeLog();
        EXPECT_EQ(copy.load(scenario.record()), 0);
        Lines expected = fullLoadLines();
        expected.pop_back();
        for (std::string& line : expected) {
            if (line == "[CWS] " + absent + " = OK") {
                line = "[CWS] " + absent + " = NULL";
            }
        }
        expected.push_back("[CWS] missing required API function(s)");
        EXPECT_EQ(readLog(), expected);
        EXPECT_EQ(scenario.lookups, kVoduveFunctions);
        EXPECT_TRUE(scenario.calls.empty());
        EXPECT_EQ(copy.unload(), 0);
        EXPECT_EQ(readLog(), expected);
        EXPECT_TRUE(scenario.faults.empty());
    }
}

TEST_F(ExtensionTest, RecordWithoutLookupFunctionFindsNothing) {
    VoduveHostInfo record = host.record();
    record.lookupFunction = nullptr;
    EXPECT_EQ(extension.load(record), 0);
    const Lines lines = readLog();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[2], "[CWS] plugin_register = NULL");
    EXPECT_EQ(lines[9], "[CWS] SetEditCurPos2 = NULL");
    EXPECT_EQ(lines[10], "[CWS] missing required API function(s)");
}

TEST_F(ExtensionTest, RefusedTimerRegistrationRefusesTheLoad) {
    host.registerResult = 0;
    EXPECT_EQ(extension.load(host.record()), 0);
    Lines expected = fullLoadLines();
    expected.back() = "[CWS] plugin_register(timer) failed";
    EXPECT_EQ(log.next(), expected);
    EXPECT_EQ(host.calls, Lines{"plugin_register(timer)"});

    host.calls.clear();
    EXPECT_EQ(extension.unload(), 0);
    EXPECT_TRUE(log.next().empty());
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(ExtensionTest, TimerWithAFunctionLostOnReloadDoesNothing) {
    loadExtension();
    // VODUVE loads the extension a second time without GetPlayState; the first
    // registration stays in place, so the timer keeps running with the gap.
    host.missing = {"GetPlayState"};
    EXPECT_EQ(extension.load(host.record()), 0);
    log.reset();
    log.next();
    host.playState = 1;
    EXPECT_EQ(tick(), (Lines{"[CWS] timer active", "[CWS] timer missing required function pointer(s)"}));
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(tick(), Lines{"[CWS] timer missing required function pointer(s)"});
}

TEST_F(ExtensionTest, ReloadKeepsTheTickCountAndTheTimerActiveLine) {
    loadExtension();
    EXPECT_EQ(stoppedTick(), Lines{"[CWS] timer active"});
    for (int i = 2; i <= 50; ++i) {
        ASSERT_TRUE(stoppedTick().empty());
    }
    ASSERT_EQ(extension.unload(), 0);
    ASSERT_EQ(extension.load(host.record()), 1);
    log.reset();
    EXPECT_EQ(log.next(), fullLoadLines());

    EXPECT_EQ(playingTick(1.0), Lines{"[CWS] start tracking at 1.000"});  // tick 51
    double pos = 1.0;
    for (int i = 52; i < 100; ++i) {
        pos += 0.03;
        ASSERT_TRUE(playingTick(pos).empty()) << i;
    }
    EXPECT_EQ(playingTick(2.5), Lines{"[CWS] heartbeat pos=2.500 last=2.440 step=0.060"});  // tick 100
}

// The log lives in a folder everyone can write to; a file planted under its name must
// never be truncated or written through, and the extension works on without its log.
TEST_F(ExtensionTest, PlantedLogLinkIsNeitherTruncatedNorWritten) {
    // Beside the log, so that a hard link to the victim can always be made.
    const fs::path folder = fs::path(kLogPath).parent_path() / ("cws-victim-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    struct RemovedAtEnd {
        fs::path path;
        ~RemovedAtEnd() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{folder};
    const fs::path victim = folder / "precious.txt";
    const std::string content = "do not touch\n";
    const std::string plants[] = {"symlink", "hardlink", "fifo"};
    for (const std::string& plant : plants) {
        SCOPED_TRACE(plant);
        { std::ofstream(victim, std::ios::binary | std::ios::trunc) << content; }
        removeLog();
        if (plant == "symlink") {
            fs::create_symlink(victim, kLogPath);
        } else if (plant == "hardlink") {
            std::error_code error;
            fs::create_hard_link(victim, kLogPath, error);
            if (error) {
                continue;  // a file system without hard links
            }
        } else {
            ASSERT_EQ(::mkfifo(kLogPath, 0600), 0);
        }
        FakeVoduve scenario;
        LoadedExtension copy;
        scenario.playState = 1;
        scenario.position = 3.0;
        EXPECT_EQ(copy.load(scenario.record()), 1);
        scenario.tick();
        EXPECT_EQ(copy.unload(), 0);
        std::ifstream in(victim, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), content);
        EXPECT_EQ(scenario.calls.front(), "plugin_register(timer)");
        EXPECT_EQ(scenario.calls.back(), "plugin_register(-timer)");
        EXPECT_TRUE(scenario.faults.empty());
    }
    removeLog();
}

TEST_F(ExtensionTest, NewLogIsPrivateToItsOwner) {
    ASSERT_EQ(extension.load(host.record()), 1);
    struct stat info {};
    ASSERT_EQ(::lstat(kLogPath, &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(ExtensionTest, LongestNumbersFitTheLine) {
    trackFrom(DBL_MAX);
    const std::string huge = formatFixed(DBL_MAX, 3);
    EXPECT_EQ(readLog().back(), "[CWS] start tracking at " + huge);
    EXPECT_EQ(playingTick(1.0), Lines{"[CWS] large step ignored: last=" + huge + " pos=1.000 step=-" + huge});
}

// Hosts commonly adopt the user's locale; the log keeps its full stops regardless. The
// test compiles a locale of its own whose only setting is a decimal comma: localedef
// comes with libc, while the definitions of real locales may not be installed.
class CommaLocale {
public:
    explicit CommaLocale(const fs::path& folder) : folder_(folder) {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        std::ofstream(folder_ / "charmap") << "<code_set_name> COMMA\n<mb_cur_max> 1\n<mb_cur_min> 1\n"
                                              "CHARMAP\n<U002C> \\x2c COMMA\nEND CHARMAP\n";
        std::ofstream(folder_ / "definition") << "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\n"
                                                 "grouping -1\nEND LC_NUMERIC\n";
        const fs::path compiled = folder_ / "comma";
        // The other categories are missing, so localedef complains; -c writes the locale anyway.
        const std::string command = "localedef -c -i '" + (folder_ / "definition").string() + "' -f '" +
                                    (folder_ / "charmap").string() + "' '" + compiled.string() + "' >/dev/null 2>&1";
        [[maybe_unused]] const int status = std::system(command.c_str());
        if (!fs::exists(compiled / "LC_NUMERIC")) {
            return;
        }
        ::setenv("LOCPATH", folder_.c_str(), 1);
        active_ = std::setlocale(LC_NUMERIC, "comma") != nullptr;
    }
    ~CommaLocale() {
        std::setlocale(LC_NUMERIC, "C");
        ::unsetenv("LOCPATH");
        fs::remove_all(folder_);
    }
    bool active() const { return active_; }

private:
    fs::path folder_;
    bool active_ = false;
};

TEST_F(ExtensionTest, NumbersKeepTheirFullStopUnderADecimalCommaLocale) {
    CommaLocale comma(fs::path(::testing::TempDir()) / ("cws-locale-" + std::to_string(::getpid())));
    if (!comma.active()) {
        GTEST_SKIP() << "localedef could not compile a locale here";
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.3f", 1.5);
    ASSERT_STREQ(probe, "1,500");

    host.markers = {{"!stop", 10.01}, {"!jumpto2", 12.5}, {"@2", 20.25}};
    trackFrom(10.0);
    EXPECT_EQ(readLog().back(), "[CWS] start tracking at 10.000");
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !stop hit at 10.010 (window 10.000 -> 10.030)"});
    EXPECT_EQ(playingTick(12.48), Lines{"[CWS] start tracking at 12.480"});
    EXPECT_EQ(playingTick(12.51), Lines{"[CWS] !jumpto2 hit at 12.500 -> target 20.250"});
}

}  // namespace
}  // namespace corvel::extension_test
