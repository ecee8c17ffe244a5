// Counts every heap allocation of the benchmark process, whoever makes it:
// this executable's malloc family stands in for the C library's (the dynamic
// linker binds every library's calls to it), counts, and forwards to glibc's
// own entry points. operator new, GLib's g_malloc and Qt's allocations all
// come through here, so the figures of ours and of the peers count alike.

#include "BenchSupport.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(std::size_t size);               // NOLINT(bugprone-reserved-identifier): glibc's own
void* __libc_calloc(std::size_t count, std::size_t size);  // NOLINT(bugprone-reserved-identifier)
void* __libc_realloc(void* p, std::size_t size);     // NOLINT(bugprone-reserved-identifier)
void* __libc_memalign(std::size_t alignment, std::size_t size);  // NOLINT(bugprone-reserved-identifier)
void __libc_free(void* p);                           // NOLINT(bugprone-reserved-identifier)
}

namespace {
std::atomic<std::uint64_t> g_allocations{0};
void Count() { g_allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

std::uint64_t bench::AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

extern "C" {
void* malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    Count();
    return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    void* p = memalign(alignment, size);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
void free(void* p) { __libc_free(p); }
}
