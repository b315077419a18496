#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

namespace corvel::testing {

// A fresh folder per test, named after the process and the running test, removed afterwards.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = std::filesystem::temp_directory_path() /
               ("corvel-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
                std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    // Writes the bytes, creating the missing folders on the way.
    static void write(const std::filesystem::path& path, const std::string& bytes) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string read(const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    // The entry names of a folder; none for a missing folder.
    static std::set<std::string> names(const std::filesystem::path& folder) {
        std::set<std::string> result;
        if (!std::filesystem::exists(folder)) return result;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            result.insert(entry.path().filename().string());
        }
        return result;
    }

    std::filesystem::path root;
};

}  // namespace corvel::testing
