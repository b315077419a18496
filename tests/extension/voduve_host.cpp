#include "extension/voduve_host.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "common/format.hpp"

namespace corvel::extension_test {
namespace {

FakeVoduve* current = nullptr;

// Any non-null address serves as the project handle; the extension only passes it back.
int projectTag = 0;

FakeVoduve& host() {
    if (current == nullptr) {
        std::abort();  // a call after the fake host went away
    }
    return *current;
}

void fault(const std::string& text) { host().faults.push_back(text); }

int fakePluginRegister(const char* name, void* info) {
    FakeVoduve& h = host();
    const std::string what = name != nullptr ? name : "(null)";
    h.calls.push_back("plugin_register(" + what + ")");
    auto* proc = reinterpret_cast<VoduveTimerProc>(info);
    if (what == "timer") {
        if (proc == nullptr) {
            fault("plugin_register(timer) without a callback");
        }
        if (h.registerResult != 0) {
            h.timer = proc;
        }
        return h.registerResult;
    }
    if (what == "-timer") {
        if (proc != h.timer) {
            fault("plugin_register(-timer) with a callback other than the registered one");
        }
        h.timer = nullptr;
        return 1;
    }
    fault("plugin_register with unexpected name " + what);
    return 0;
}

int fakeGetPlayState() {
    host().calls.push_back("GetPlayState()");
    return host().playState;
}

double fakeGetPlayPosition() {
    host().calls.push_back("GetPlayPosition()");
    return host().position;
}

VoduveProject* fakeEnumProjects(int index, char* fileNameOut, int fileNameOutSize) {
    host().calls.push_back("EnumProjects()");
    if (index != -1 || fileNameOut != nullptr || fileNameOutSize != 0) {
        fault("EnumProjects called with arguments other than (-1, null, 0)");
    }
    return host().project();
}

void checkProject(VoduveProject* project, const char* function) {
    if (project != host().project() || project == nullptr) {
        fault(std::string(function) + " called with a project other than the active one");
    }
}

int fakeCountProjectMarkers(VoduveProject* project, int* markerCount, int* regionCount) {
    FakeVoduve& h = host();
    h.calls.push_back("CountProjectMarkers()");
    checkProject(project, "CountProjectMarkers");
    if (markerCount == nullptr || regionCount == nullptr) {
        fault("CountProjectMarkers without out-values");
        return 0;
    }
    if (*markerCount != 0 || *regionCount != 0) {
        fault("CountProjectMarkers out-values not zeroed");
    }
    int markers = 0;
    int regions = 0;
    for (const FakeMarker& m : h.markers) {
        ++(m.isRegion ? regions : markers);
    }
    if (h.countOverride) {
        markers = h.countOverride->first;
        regions = h.countOverride->second;
    }
    *markerCount = markers;
    *regionCount = regions;
    return markers + regions;
}

int fakeEnumProjectMarkers3(VoduveProject* project, int index, bool* isRegion, double* position, double* regionEnd,
                            const char** name, int* markerNumber, int* colour) {
    FakeVoduve& h = host();
    h.calls.push_back("EnumProjectMarkers3(" + formatInteger(index) + ")");
    checkProject(project, "EnumProjectMarkers3");
    if (isRegion == nullptr || position == nullptr || regionEnd == nullptr || name == nullptr ||
        markerNumber == nullptr || colour == nullptr) {
        fault("EnumProjectMarkers3 without all six out-values");
        return 0;
    }
    if (*isRegion || *position != 0.0 || *regionEnd != 0.0 || *name != nullptr || *markerNumber != 0 ||
        *colour != 0) {
        fault("EnumProjectMarkers3(" + formatInteger(index) + ") out-values not zeroed");
    }
    if (index < 0 || static_cast<std::size_t>(index) >= h.markers.size()) {
        return 0;
    }
    const FakeMarker& m = h.markers[static_cast<std::size_t>(index)];
    *isRegion = m.isRegion;
    *position = m.position;
    *regionEnd = m.isRegion ? m.position + 1.0 : 0.0;
    *name = m.name ? m.name->c_str() : nullptr;
    *markerNumber = index + 1;
    *colour = 0x1000000 | index;
    return 1;
}

void fakeMainOnCommand(int command, int flag) {
    host().calls.push_back("Main_OnCommand(" + formatInteger(command) + "," + formatInteger(flag) + ")");
}

void fakeSetEditCurPos2(VoduveProject* project, double time, bool moveView, bool seekPlay) {
    host().calls.push_back("SetEditCurPos2(" + formatFixed(time, 6) + "," + (moveView ? "true" : "false") + "," +
                           (seekPlay ? "true" : "false") + ")");
    host().seeks.push_back(time);
    checkProject(project, "SetEditCurPos2");
}

void* fakeLookup(const char* name) {
    FakeVoduve& h = host();
    const std::string what = name != nullptr ? name : "(null)";
    h.lookups.push_back(what);
    if (h.missing.count(what) != 0) {
        return nullptr;
    }
    if (what == "plugin_register") return reinterpret_cast<void*>(&fakePluginRegister);
    if (what == "GetPlayState") return reinterpret_cast<void*>(&fakeGetPlayState);
    if (what == "GetPlayPosition") return reinterpret_cast<void*>(&fakeGetPlayPosition);
    if (what == "CountProjectMarkers") return reinterpret_cast<void*>(&fakeCountProjectMarkers);
    if (what == "EnumProjectMarkers3") return reinterpret_cast<void*>(&fakeEnumProjectMarkers3);
    if (what == "EnumProjects") return reinterpret_cast<void*>(&fakeEnumProjects);
    if (what == "Main_OnCommand") return reinterpret_cast<void*>(&fakeMainOnCommand);
    if (what == "SetEditCurPos2") return reinterpret_cast<void*>(&fakeSetEditCurPos2);
    fault("lookup of unknown function " + what);
    return nullptr;
}

int recordRegister(const char*, void*) {
    fault("the record's own registration function was called");
    return 0;
}

}  // namespace

FakeVoduve::FakeVoduve() : previous_(current) { current = this; }

FakeVoduve::~FakeVoduve() { current = previous_; }

VoduveHostInfo FakeVoduve::record(std::int32_t version) const {
    VoduveHostInfo info{};
    info.version = version;
    info.mainWindow = reinterpret_cast<void*>(0x1234);
    info.registerFunction = &recordRegister;
    info.lookupFunction = &fakeLookup;
    return info;
}

void FakeVoduve::tick() {
    ASSERT_NE(timer, nullptr) << "no timer registered";
    timer();
}

std::vector<std::string> FakeVoduve::actions() const {
    std::vector<std::string> out;
    for (const std::string& call : calls) {
        if (call.rfind("plugin_register", 0) == 0 || call.rfind("Main_OnCommand", 0) == 0 ||
            call.rfind("SetEditCurPos2", 0) == 0) {
            out.push_back(call);
        }
    }
    return out;
}

VoduveProject* FakeVoduve::project() const {
    return hasProject ? reinterpret_cast<VoduveProject*>(&projectTag) : nullptr;
}

LoadedExtension::LoadedExtension() {
    std::string pattern = ::testing::TempDir() + "cws-extension-XXXXXX.so";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemps(buffer.data(), 3);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemps: " << std::strerror(errno);
        return;
    }
    ::close(fd);
    path_ = buffer.data();
    {
        std::ifstream in(CORVEL_EXTENSION_TEST_LIBRARY, std::ios::binary);
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        if (!in || !out) {
            ADD_FAILURE() << "could not copy " << CORVEL_EXTENSION_TEST_LIBRARY;
            return;
        }
    }
    handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        ADD_FAILURE() << "dlopen: " << ::dlerror();
        return;
    }
    entry_ = reinterpret_cast<VoduvePluginEntryFn>(::dlsym(handle_, "VoduvePluginEntry"));
    if (entry_ == nullptr) {
        ADD_FAILURE() << "VoduvePluginEntry not exported";
    }
}

LoadedExtension::~LoadedExtension() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

std::optional<std::string> readLogBytes() {
    std::ifstream in(kLogPath, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> readLog() {
    std::vector<std::string> lines;
    const auto bytes = readLogBytes();
    if (!bytes) {
        return lines;
    }
    if (!bytes->empty() && bytes->back() != '\n') {
        ADD_FAILURE() << "the log does not end with a newline";
    }
    std::istringstream in(*bytes);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool tryRemoveLog() { return ::unlink(kLogPath) == 0 || errno == ENOENT; }

void removeLog() {
    if (!tryRemoveLog()) {
        ADD_FAILURE() << "cannot remove " << kLogPath << ": " << std::strerror(errno);
    }
}

void writeLog(const std::string& bytes) {
    removeLog();
    std::ofstream out(kLogPath, std::ios::binary);
    out << bytes;
}

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return output;
}

std::vector<std::string> LogCursor::next() {
    const auto lines = readLog();
    std::vector<std::string> fresh;
    for (std::size_t i = seen_; i < lines.size(); ++i) {
        fresh.push_back(lines[i]);
    }
    seen_ = lines.size();
    return fresh;
}

}  // namespace corvel::extension_test
