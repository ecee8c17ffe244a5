#include <BrimSubscriber/platform/Check.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace brim {

namespace platform {

void CheckFailed(const char* file, int line, const char* format, ...) noexcept {
    std::fputs("BrimSubscriber: check failed: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, " (%s:%d)\n", file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace platform

}  // namespace brim
