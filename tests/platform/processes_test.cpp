#include "platform/processes.hpp"

#include <fstream>
#include <map>
#include <unistd.h>

#include <gtest/gtest.h>

namespace corvel::platform {
namespace {

class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("corvel-proc-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void write(const std::string& relative, const std::string& content) {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    std::filesystem::path root_;
};

TEST_F(FakeProc, ReadsNameArgumentAndStateOfEveryProcessFolder) {
    write("12/stat", "12 (voduve) S 1 12 12 0 -1");
    write("12/cmdline", std::string("/opt/v/voduve\0--flag\0", 21));
    write("13/stat", "13 (odd) (name) Z 1 13");  // a name with a blank and parentheses
    write("13/cmdline", "");
    write("14/stat", "garbage");  // unreadable lines are skipped
    write("self/stat", "99 (self) R 1");  // not a process number
    write("cpuinfo", "processor: 0");

    std::map<pid_t, ProcessInfo> byPid;
    for (auto& info : runningProcesses(root_)) byPid[info.pid] = info;
    ASSERT_EQ(byPid.size(), 2u);
    EXPECT_EQ(byPid[12].shortName, "voduve");
    EXPECT_EQ(byPid[12].argv0, "/opt/v/voduve");
    EXPECT_FALSE(byPid[12].zombie);
    EXPECT_EQ(byPid[13].shortName, "odd) (name");
    EXPECT_EQ(byPid[13].argv0, "");
    EXPECT_TRUE(byPid[13].zombie);
}

TEST_F(FakeProc, MissingRootGivesAnEmptyList) {
    EXPECT_TRUE(runningProcesses(root_ / "missing").empty());
}

TEST(Processes, TheLiveListHoldsThisProcess) {
    bool found = false;
    for (const auto& info : runningProcesses()) found = found || info.pid == ::getpid();
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace corvel::platform
