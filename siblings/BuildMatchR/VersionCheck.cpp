#include "BuildMatchR/VersionCheck.h"

namespace {

constexpr unsigned int kReleaseMajor = BUILDMATCHR_RELEASE_MAJOR;
constexpr unsigned int kReleaseMinor = BUILDMATCHR_RELEASE_MINOR;
static_assert(kReleaseMajor <= 0xFF && kReleaseMinor <= 0xFF, "a version component is one byte");

bool IsGiven(const char* text) { return text != nullptr && text[0] != '\0'; }

}  // namespace

bool CheckDllVersion(unsigned int version, const char* sourcePath, const char* buildDateTime) noexcept {
    const unsigned int major = (version >> 24) & 0xFFU;
    const unsigned int minor = (version >> 16) & 0xFFU;
    return major == kReleaseMajor && minor == kReleaseMinor && IsGiven(sourcePath) && IsGiven(buildDateTime);
}
