// The Cuewarden script and the marker extension together: the script, run under Lua
// against a fake VODUVE, marks a project's songs; the extension then plays that project.

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/format.hpp"
#include "extension/extension_fixture.hpp"

namespace corvel::extension_test {
namespace {

// VODUVE calls the timer about 30 times a second; an uneven period keeps the ticks off
// the marker times.
constexpr double kTickSeconds = 0.0331;
constexpr double kLead = 0.06;  // how far ahead of playback a "!stop" acts
constexpr double kProjectLength = 250.0;

struct Song {
    double start = 0.0;
    const char* name = "";
};
// Starts and lengths that fall anywhere between ticks; the last song runs to the end.
const Song kSongs[] = {{5.0, "Intro"}, {65.0, "Ballad"}, {125.5, ""}, {190.2371, "Encore"}};

// Every marker and region of the project once the script has run.
std::vector<FakeMarker> markedProject() {
    std::string command = std::string("'") + CORVEL_LUA_EXECUTABLE + "' '" + CORVEL_SCRIPT_TESTS_DIR +
                          "/cuewarden_markers.lua' '" + CORVEL_CUEWARDEN_SCRIPT + "' " +
                          formatFixed(kProjectLength, 4);
    for (const Song& song : kSongs) command += " '" + formatFixed(song.start, 4) + "=" + song.name + "'";
    std::vector<FakeMarker> markers;
    std::istringstream lines(runCommand(command));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string kind, position, regionEnd, name;
        std::getline(fields, kind, '\t');
        std::getline(fields, position, '\t');
        std::getline(fields, regionEnd, '\t');
        std::getline(fields, name);
        markers.push_back(FakeMarker{name, std::strtod(position.c_str(), nullptr), kind == "region"});
    }
    return markers;
}

double markerNamed(const std::vector<FakeMarker>& markers, const std::string& name) {
    const auto found = std::find_if(markers.begin(), markers.end(),
                                    [&](const FakeMarker& m) { return !m.isRegion && m.name == name; });
    EXPECT_NE(found, markers.end()) << "no marker " << name;
    return found != markers.end() ? found->position : -1.0;
}

// The first "!stop" after a song's start: where that song ends.
double stopAfter(const std::vector<FakeMarker>& markers, double start) {
    double stop = -1.0;
    for (const FakeMarker& m : markers) {
        if (!m.isRegion && m.name == "!stop" && m.position > start && (stop < 0.0 || m.position < stop)) {
            stop = m.position;
        }
    }
    EXPECT_GE(stop, 0.0) << "no !stop after " << start;
    return stop;
}

class CuewardenPlayback : public ExtensionTest {
protected:
    struct Run {
        double stoppedAt = -1.0;  // play position of the tick that stopped playback
        std::vector<double> seeks;
        Lines log;
    };

    // Starts playback at `from` and lets it run, following the extension's seeks, until
    // it stops playback or the project ends; then the transport is stopped.
    Run playFrom(double from) {
        Run run;
        host.seeks.clear();
        double pos = from;
        // Bounded, so that a jump that loops forever fails instead of hanging.
        for (int ticks = 0; pos <= kProjectLength + 1.0 && ticks < 2 * kProjectLength / kTickSeconds; ++ticks) {
            for (std::string& line : playingTick(pos)) run.log.push_back(std::move(line));
            if (std::count(host.calls.begin(), host.calls.end(), "Main_OnCommand(1016,0)") > 0) {
                run.stoppedAt = pos;
                break;
            }
            const std::size_t seeksBefore = run.seeks.size();
            run.seeks = host.seeks;
            pos = (run.seeks.size() > seeksBefore ? run.seeks.back() : pos) + kTickSeconds;
        }
        stoppedTick();
        return run;
    }

    // The run stopped at the song's own "!stop": within the extension's lead before it,
    // never past it, and it logged that stop.
    static void expectStoppedAt(const Run& run, double stop) {
        EXPECT_LE(run.stoppedAt, stop);
        EXPECT_GE(run.stoppedAt, stop - kLead - kTickSeconds);
        EXPECT_NE(std::find_if(run.log.begin(), run.log.end(),
                               [&](const std::string& line) {
                                   return line.rfind("[CWS] !stop hit at " + formatFixed(stop, 3) + " ", 0) == 0;
                               }),
                  run.log.end());
    }
};

TEST_F(CuewardenPlayback, EverySongPlaysFromItsStartToItsOwnStop) {
    host.markers = markedProject();
    ASSERT_FALSE(host.markers.empty());
    loadExtension();
    for (std::size_t n = 1; n <= std::size(kSongs); ++n) {
        const double start = markerNamed(host.markers, "@" + formatInteger(static_cast<int>(n)));
        SCOPED_TRACE("song " + formatInteger(static_cast<int>(n)) + " from " + formatFixed(start, 4));
        EXPECT_DOUBLE_EQ(start, kSongs[n - 1].start);
        const Run run = playFrom(start);
        EXPECT_TRUE(run.seeks.empty());
        expectStoppedAt(run, stopAfter(host.markers, start));
    }
    // The last song's stop is the project's end.
    EXPECT_DOUBLE_EQ(stopAfter(host.markers, kSongs[std::size(kSongs) - 1].start), kProjectLength);
}

TEST_F(CuewardenPlayback, EverySongPlaysToItsOwnStopAfterAJumpToIt) {
    const std::vector<FakeMarker> marked = markedProject();
    ASSERT_FALSE(marked.empty());
    loadExtension();
    // A jump from before the first song, and one from inside the last song.
    const double jumpFrom[] = {2.0, kSongs[std::size(kSongs) - 1].start + 20.0};
    for (const double at : jumpFrom) {
        for (std::size_t n = 1; n <= std::size(kSongs); ++n) {
            const std::string number = formatInteger(static_cast<int>(n));
            SCOPED_TRACE("!jumpto" + number + " at " + formatFixed(at, 4));
            host.markers = marked;
            host.markers.push_back(FakeMarker{"!jumpto" + number, at, false});
            const double target = markerNamed(marked, "@" + number);
            if (at > target && at < stopAfter(marked, target)) continue;  // a jump back within the song loops
            const Run run = playFrom(at - 0.5);
            EXPECT_EQ(run.seeks, std::vector<double>{target});
            expectStoppedAt(run, stopAfter(marked, target));
        }
    }
}

}  // namespace
}  // namespace corvel::extension_test
