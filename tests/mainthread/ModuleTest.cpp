#include "BrimBaseR/ResourceModule.h"
#include "BuildMatchR/VersionCheck.h"
#include "mainthread/BrimSubscriber.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ChildResult {
    int exitCode = -1;
    std::string output;
};

// Runs a helper program in a child process and collects what it prints.
ChildResult RunChild(const std::string& commandLine) {
    ChildResult result;
    FILE* pipe = popen(commandLine.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ValueOf(const std::string& output, const std::string& name) {
    for (const std::string& line : Lines(output)) {
        if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
    }
    return "<missing " + name + ">";
}

std::string LoadInChild(const char* answer) {
    return std::string(BRIM_MODULE_LOADER) + " '" + BRIM_SUBSCRIBER_LIBRARY + "' " + answer;
}

// --- Load -----------------------------------------------------------------------

TEST(ModuleTest, LoadedModuleIsAttachedWithItsResourcesRecorded) {
    // This test program links the library, so the load step ran at start.
    EXPECT_EQ(BrimSubscriberModuleState(), module_attached);
    EXPECT_NE(BrimSubscriberModuleHandle(), nullptr);
    EXPECT_EQ(BRIMX::GetResourceModule(), BrimSubscriberModuleHandle());
}

TEST(ModuleTest, RefusedVersionCheckLeavesTheModuleRefusedAndUnregistered) {
    const ChildResult child = RunChild(LoadInChild("refuse"));
    ASSERT_EQ(child.exitCode, 0) << child.output;  // nothing crashed, and the library closed
    EXPECT_EQ(ValueOf(child.output, "checks"), "1");
    EXPECT_EQ(ValueOf(child.output, "state"), std::to_string(module_refused));
    EXPECT_EQ(ValueOf(child.output, "handle"), "null");
    EXPECT_EQ(ValueOf(child.output, "resource"), "null");  // the base library was never told
    EXPECT_EQ(ValueOf(child.output, "closed"), "1");

    // What the check was given: the version, the full path of the module's
    // source and its build stamp ("Dec 13 2023 16:04:52").
    EXPECT_EQ(ValueOf(child.output, "version"), "05050100");
    const std::string source = ValueOf(child.output, "source");
    EXPECT_TRUE(source.starts_with('/') && source.ends_with("/mainthread/BrimSubscriber.cpp")) << source;
    const std::string built = ValueOf(child.output, "built");
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    EXPECT_EQ(std::sscanf(built.c_str(), "%3s %d %d %d:%d:%d", month, &day, &year, &hour, &minute, &second), 6) << built;
    EXPECT_EQ(built.size(), 20U) << built;
}

TEST(ModuleTest, AcceptedVersionCheckAttachesAndHandsTheHandleToTheBaseLibrary) {
    const ChildResult child = RunChild(LoadInChild("accept"));
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(ValueOf(child.output, "checks"), "1");
    EXPECT_EQ(ValueOf(child.output, "state"), std::to_string(module_attached));
    EXPECT_EQ(ValueOf(child.output, "handle"), "set");
    EXPECT_EQ(ValueOf(child.output, "resource"), "handle");
    EXPECT_EQ(ValueOf(child.output, "closed"), "1");
}

TEST(ModuleTest, VersionCheckAcceptsModulesOfTheSameMajorAndMinorRelease) {
    const char* source = "/src/module.cpp";
    const char* built = "Dec 13 2023 16:04:52";
    EXPECT_TRUE(CheckDllVersion(BRIMSUBSCRIBER_VERSION, source, built));
    EXPECT_TRUE(CheckDllVersion(0x05050000, source, built));
    EXPECT_TRUE(CheckDllVersion(0x0505FFFF, source, built));  // patch and build may differ
    EXPECT_FALSE(CheckDllVersion(0x05040100, source, built));
    EXPECT_FALSE(CheckDllVersion(0x05060100, source, built));
    EXPECT_FALSE(CheckDllVersion(0x06050100, source, built));
    EXPECT_FALSE(CheckDllVersion(0x04050100, source, built));
    EXPECT_FALSE(CheckDllVersion(0, source, built));
    EXPECT_FALSE(CheckDllVersion(BRIMSUBSCRIBER_VERSION, nullptr, built));
    EXPECT_FALSE(CheckDllVersion(BRIMSUBSCRIBER_VERSION, "", built));
    EXPECT_FALSE(CheckDllVersion(BRIMSUBSCRIBER_VERSION, source, nullptr));
    EXPECT_FALSE(CheckDllVersion(BRIMSUBSCRIBER_VERSION, source, ""));
}

// --- Unload ---------------------------------------------------------------------

// The singletons' destruction as the helper prints it for an order of first
// use: the reverse order, each destruction complete before the next begins,
// and the dispatcher's queued call discarded unrun during its own.
std::vector<std::string> ExpectedTeardown(const std::string& order) {
    std::vector<std::string> lines{"exit"};
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const char* name = *it == 'M' ? "SubscriptionManager" : *it == 'D' ? "MainThreadDispatcher" : "UIWatchdog";
        lines.push_back(std::string("begin ") + name);
        if (*it == 'D') lines.emplace_back("queued call discarded");
        lines.push_back(std::string("end ") + name);
    }
    return lines;
}

class UnloadOrderTest : public testing::TestWithParam<const char*> {};

TEST_P(UnloadOrderTest, SingletonsAreDestroyedInTheReverseOrderOfFirstUse) {
    const std::string order = GetParam();
    const ChildResult child = RunChild(std::string(BRIM_UNLOAD_ORDER) + " " + order);
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(Lines(child.output), ExpectedTeardown(order)) << child.output;
}

INSTANTIATE_TEST_SUITE_P(FirstUse, UnloadOrderTest, testing::Values("MDW", "MWD", "DMW", "DWM", "WMD", "WDM"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// --- Exit ----------------------------------------------------------------------

// The ways an application ends. Under AddressSanitizer a use of a destroyed
// object or a leaked one makes the child fail.
class ExitPathTest : public testing::TestWithParam<const char*> {};

TEST_P(ExitPathTest, EndsCleanly) {
    const ChildResult child = RunChild(std::string(BRIM_EXIT_PATHS) + " " + GetParam() + " 2>&1");
    EXPECT_EQ(child.exitCode, 0) << child.output;
    const std::vector<std::string> lines = Lines(child.output);
    EXPECT_TRUE(!lines.empty() && lines.back() == "done") << child.output;
}

INSTANTIATE_TEST_SUITE_P(Paths, ExitPathTest,
                         testing::Values("app-gone-dispatcher-later", "exit-from-worker", "map-dies-on-worker",
                                         "static-handles"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
