#include <BrimSubscriber/BuildMatchR/VersionCheck.h>
#include <BrimSubscriber/mainthread/BrimSubscriber.h>

#include <gtest/gtest.h>


// This program's own copy of the library passed the real check at start; a loaded module's registration is shown by
// fixtures/ModuleLoader.cpp. The check accepts the same major and minor release, with a source and a build stamp.
TEST(ModuleTest, VersionCheckAcceptsTheSameMajorAndMinorReleaseWithSourceAndStamp) {
    EXPECT_EQ(BrimSubscriberModuleState(), module_attached);
    const struct { unsigned int version; const char *source, *built; bool accepted; } cases[] = {
        {0x05050100, "/m.cpp", "Dec 13 2023 16:04:52", true}, {0x05050000, "m", "s", true},
        {0x0505FFFF, "m", "s", true}, {0x05040100, "m", "s", false}, {0x05060100, "m", "s", false},
        {0x06050100, "m", "s", false}, {0x04050100, "m", "s", false}, {0x05050100, nullptr, "s", false},
        {0x05050100, "", "s", false}, {0x05050100, "m", nullptr, false}, {0x05050100, "m", "", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(CheckDllVersion(c.version, c.source, c.built), c.accepted) << std::hex << c.version;
    }
}
