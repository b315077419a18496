#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvel::platform {

// One entry of the process list, as much as the checks above need of it.
struct ProcessInfo {
    pid_t pid = 0;
    std::string shortName;  // the kernel's short command name (at most 15 bytes)
    std::string argv0;      // the first command-line argument; empty when unreadable
    bool zombie = false;    // exited but not yet reaped (or dead)
};

// The processes under procRoot ("/proc" on a running system), in directory order.
// Processes that vanish during the scan, or whose entries can't be read, are left out.
std::vector<ProcessInfo> runningProcesses(const std::filesystem::path& procRoot = "/proc");

}  // namespace corvel::platform
