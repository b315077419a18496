#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extension/voduve_host.hpp"

namespace {

using corvel::extension_test::runCommand;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

std::string readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kLibrary = CORVEL_EXTENSION_LIBRARY;

TEST(ExtensionLibrary, ExportsOnlyTheEntryPoint) {
    std::vector<std::string> names;
    for (const std::string& line : lines(runCommand("nm -D --defined-only '" + kLibrary + "'"))) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        names.push_back(type + " " + name);
    }
    EXPECT_EQ(names, std::vector<std::string>{"T VoduvePluginEntry"});
}

TEST(ExtensionLibrary, NeedsNothingButLibc) {
    std::vector<std::string> needed;
    for (const std::string& line : lines(runCommand("readelf -d '" + kLibrary + "'"))) {
        if (line.find("(NEEDED)") != std::string::npos) {
            needed.push_back(line.substr(line.find('[')));
        }
    }
    EXPECT_EQ(needed, std::vector<std::string>{"[libc.so.6]"});
}

TEST(ExtensionLibrary, ShipsWithTheApplicationResources) {
    EXPECT_EQ(readFile(CORVEL_EXTENSION_RESOURCE), readFile(CORVEL_EXTENSION_LIBRARY));
}

// The shipped library logs to the fixed path; only the copy the tests load logs elsewhere.
TEST(ExtensionLibrary, ShippedCopyLogsToTheFixedPath) {
    const std::string fixed = std::string("/tmp/cws_debug.log") + '\0';
    const std::string own = std::string(CORVEL_EXTENSION_LOG) + '\0';
    const std::string shipped = readFile(CORVEL_EXTENSION_LIBRARY);
    const std::string tested = readFile(CORVEL_EXTENSION_TEST_LIBRARY);
    EXPECT_NE(shipped.find(fixed), std::string::npos);
    EXPECT_EQ(shipped.find(own), std::string::npos);
    EXPECT_NE(tested.find(own), std::string::npos);
    EXPECT_EQ(tested.find(fixed), std::string::npos);
}

}  // namespace
