#include <BrimSubscriber/BuildMatchR/VersionCheck.h>
#include <BrimSubscriber/mainthread/BrimSubscriber.h>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>


// Runs a helper program in a child process: its exit code and its output lines.
static std::pair<int, std::vector<std::string>> RunChild(const std::string& commandLine) {
    FILE* pipe = popen(commandLine.c_str(), "r");
    std::vector<std::string> lines;
    for (char line[1024]; pipe && std::fgets(line, sizeof line, pipe);) lines.emplace_back(line, std::strcspn(line, "\n"));
    const int status = pipe ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, lines};
}

// Loaded with dlopen, the module is checked once and registers, its handle given to the base library, only when the
// check accepts; either way it can be closed again. This program's own copy passed the real check at start.
TEST(ModuleTest, VersionCheckDecidesWhetherALoadedModuleRegisters) {
    EXPECT_EQ(BrimSubscriberModuleState(), module_attached);
    for (const auto& [answer, summary] : {std::pair{"accept", "1 set handle closed"}, {"refuse", "2 null null closed"}}) {
        const auto [exitCode, lines] = RunChild(std::string(BRIM_MODULE_LOADER) + " '" + BRIM_SUBSCRIBER_LIBRARY + "' " + answer);
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(lines, (std::vector<std::string>{"checked 05050100", summary}));
    }
}

TEST(ModuleTest, VersionCheckAcceptsTheSameMajorAndMinorReleaseWithSourceAndStamp) {
    const struct {
        unsigned int version;
        const char *source, *built;
    } accepted[] = {{0x05050100, "/m.cpp", "Dec 13 2023 16:04:52"}, {0x05050000, "m", "s"}, {0x0505FFFF, "m", "s"}},
      refused[] = {{0x05040100, "m", "s"}, {0x05060100, "m", "s"}, {0x06050100, "m", "s"}, {0x04050100, "m", "s"},
                   {0x05050100, nullptr, "s"}, {0x05050100, "", "s"}, {0x05050100, "m", nullptr}, {0x05050100, "m", ""}};
    for (const auto& c : accepted) EXPECT_TRUE(CheckDllVersion(c.version, c.source, c.built)) << std::hex << c.version;
    for (const auto& c : refused) EXPECT_FALSE(CheckDllVersion(c.version, c.source, c.built)) << std::hex << c.version;
}

// The ends of a process (fixtures/ExitPaths.cpp): each exit path runs to "done" and a clean exit, which
// AddressSanitizer checks; after any order of first use, the singletons are destroyed in the reverse order, each
// completely before the next, the dispatcher's queued call discarded unrun.
class ProcessEndTest : public testing::TestWithParam<std::string> {};

TEST_P(ProcessEndTest, EndsCleanly) {
    const std::string mode = GetParam();
    const auto [exitCode, lines] = RunChild(std::string(BRIM_EXIT_PATHS) + " " + mode + " 2>&1");
    EXPECT_EQ(exitCode, 0) << testing::PrintToString(lines);
    std::vector<std::string> expected{mode.find('-') != std::string::npos ? "done" : "exit"};
    for (auto it = mode.rbegin(); it != mode.rend() && expected[0] == "exit"; ++it) {
        const std::string name = *it == 'M' ? "SubscriptionManager" : *it == 'D' ? "MainThreadDispatcher" : "UIWatchdog";
        expected.push_back("begin " + name);
        if (*it == 'D') expected.emplace_back("queued call discarded");
        expected.push_back("end " + name);
    }
    EXPECT_EQ(std::vector(lines.end() - std::min(lines.size(), expected.size()), lines.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, ProcessEndTest,
                         testing::Values("app-gone-dispatcher-later", "exit-from-worker", "map-dies-on-worker",
                                         "static-handles", "MDW", "MWD", "DMW", "DWM", "WMD", "WDM"));
