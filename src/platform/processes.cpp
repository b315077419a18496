#include "platform/processes.hpp"

#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

namespace corvel::platform {
namespace {

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return content;
}

}  // namespace

std::vector<ProcessInfo> runningProcesses(const std::filesystem::path& procRoot) {
    std::vector<ProcessInfo> processes;
    std::error_code error;
    std::filesystem::directory_iterator entries(procRoot, error);
    if (error) return processes;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        pid_t pid = 0;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (ec != std::errc{} || end != name.data() + name.size() || pid <= 0) continue;

        // stat is "pid (comm) state ..."; comm may hold blanks and parentheses, so the
        // state follows the last ')'.
        const auto stat = readSmallFile(entry.path() / "stat");
        if (!stat) continue;
        const auto open = stat->find('(');
        const auto close = stat->rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= stat->size()) {
            continue;
        }
        ProcessInfo info;
        info.pid = pid;
        info.shortName = stat->substr(open + 1, close - open - 1);
        const char state = (*stat)[close + 2];
        info.zombie = state == 'Z' || state == 'X' || state == 'x';
        if (const auto cmdline = readSmallFile(entry.path() / "cmdline")) {
            info.argv0 = cmdline->substr(0, cmdline->find('\0'));
        }
        processes.push_back(std::move(info));
    }
    return processes;
}

}  // namespace corvel::platform
