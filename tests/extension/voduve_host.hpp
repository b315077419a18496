#pragma once

// A stand-in for VODUVE that loads the marker extension and plays its host: it serves the
// information record and the VODUVE functions by name, fakes the transport and the
// project's markers, ticks the registered timer and records every call it receives.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "extension/voduve_api.h"

namespace corvel::extension_test {

// The test copy's log (the shipped library logs to /tmp/cws_debug.log).
inline constexpr const char* kLogPath = CORVEL_EXTENSION_LOG;

// The eight functions the extension looks up, in the order it looks them up.
inline const std::vector<std::string> kVoduveFunctions = {
    "plugin_register",     "GetPlayState", "GetPlayPosition", "CountProjectMarkers",
    "EnumProjectMarkers3", "EnumProjects", "Main_OnCommand",  "SetEditCurPos2"};

struct FakeMarker {
    std::optional<std::string> name;  // nullopt: enumerated with a null name
    double position = 0.0;
    bool isRegion = false;
};

// The newest living instance answers the extension's calls.
class FakeVoduve {
public:
    FakeVoduve();
    ~FakeVoduve();
    FakeVoduve(const FakeVoduve&) = delete;
    FakeVoduve& operator=(const FakeVoduve&) = delete;

    // The record VODUVE passes on load.
    VoduveHostInfo record(std::int32_t version = VODUVE_PLUGIN_VERSION) const;

    // Calls the timer the extension registered (a test failure when there is none).
    void tick();

    // What the host serves.
    std::set<std::string> missing;  // names the lookup answers with null
    int registerResult = 1;
    int playState = 0;
    double position = 0.0;
    bool hasProject = true;
    std::vector<FakeMarker> markers;
    std::optional<std::pair<int, int>> countOverride;  // (markers, regions) in place of the real counts

    // What the host saw.
    std::vector<std::string> lookups;
    std::vector<std::string> calls;   // every call, e.g. "EnumProjectMarkers3(2)"
    std::vector<std::string> faults;  // wrong arguments, out-values that did not arrive zeroed
    std::vector<double> seeks;        // the times of the SetEditCurPos2 calls, in order
    VoduveTimerProc timer = nullptr;

    // Only the calls that act on VODUVE: registration, stop command and seeks.
    std::vector<std::string> actions() const;

    VoduveProject* project() const;

private:
    FakeVoduve* previous_;  // the host that answers again once this one is gone
};

// A private copy of the built library, loaded under a unique name so that every scenario
// starts from fresh module state; unloaded and removed on destruction.
class LoadedExtension {
public:
    LoadedExtension();
    ~LoadedExtension();
    LoadedExtension(const LoadedExtension&) = delete;
    LoadedExtension& operator=(const LoadedExtension&) = delete;

    std::int32_t load(const VoduveHostInfo& record) { return entry_(nullptr, &record); }
    std::int32_t unload() { return entry_(nullptr, nullptr); }

private:
    std::string path_;
    void* handle_ = nullptr;
    VoduvePluginEntryFn entry_ = nullptr;
};

// The log's lines (without their newlines); empty when the file does not exist.
std::vector<std::string> readLog();
// The log's raw bytes, or nullopt when it does not exist.
std::optional<std::string> readLogBytes();
// Removes the log; a test failure when it exists and cannot be removed.
void removeLog();
// Removes the log; false when it exists and cannot be removed (e.g. another user's file
// in the sticky /tmp, which the extension could not open either).
bool tryRemoveLog();
void writeLog(const std::string& bytes);

// Runs a shell command and returns what it wrote to its standard output; a test failure
// when it cannot start or exits with anything but 0.
std::string runCommand(const std::string& command);

// Returns the lines added to the log since the previous call.
class LogCursor {
public:
    std::vector<std::string> next();
    void reset() { seen_ = 0; }

private:
    std::size_t seen_ = 0;
};

}  // namespace corvel::extension_test
