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
    const struct { unsigned int version; const char *source, *built; bool accepted; } cases[] = {
        {0x05050100, "/m.cpp", "Dec 13 2023 16:04:52", true}, {0x05050000, "m", "s", true},
        {0x0505FFFF, "m", "s", true}, {0x05040100, "m", "s", false}, {0x05060100, "m", "s", false},
        {0x06050100, "m", "s", false}, {0x04050100, "m", "s", false}, {0x05050100, nullptr, "s", false},
        {0x05050100, "", "s", false}, {0x05050100, "m", nullptr, false}, {0x05050100, "m", "", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(CheckDllVersion(c.version, c.source, c.built), c.accepted) << std::hex << c.version;
    }
}

// The ends of a process (fixtures/ExitPaths.cpp): each path, with the singletons alive and work in flight, runs to
// "done" and a clean exit, which AddressSanitizer checks.
class ProcessEndTest : public testing::TestWithParam<const char*> {};

TEST_P(ProcessEndTest, EndsCleanly) {
    const auto [exitCode, lines] = RunChild(std::string(BRIM_EXIT_PATHS) + " " + GetParam() + " 2>&1");
    EXPECT_EQ(exitCode, 0) << testing::PrintToString(lines);
    EXPECT_TRUE(!lines.empty() && lines.back() == "done") << testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Paths, ProcessEndTest,
                         testing::Values("app-gone-dispatcher-later", "exit-from-worker", "map-dies-on-worker",
                                         "static-handles"));
