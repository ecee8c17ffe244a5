#include "FailingAllocator.h"

#include <cstdlib>
#include <new>

namespace {

thread_local long t_countdown = -1;  // allocations left before the failing one; -1: disarmed
thread_local bool t_fired = false;

void* Allocate(std::size_t size) {
    if (t_countdown >= 0 && t_countdown-- == 0) {
        t_fired = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
    if (t_countdown >= 0 && t_countdown-- == 0) {
        t_fired = true;
        throw std::bad_alloc();
    }
    const auto alignment = static_cast<std::size_t>(align);
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    if (void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded)) return p;
    throw std::bad_alloc();
}

}  // namespace

namespace test {

FailAt::FailAt(long n) {
    t_countdown = n;
    t_fired = false;
}
FailAt::~FailAt() { t_countdown = -1; }
bool FailAt::Fired() const { return t_fired; }

}  // namespace test

// The replaceable allocation functions. Every form goes through the counting
// path, so no allocation of the code under test escapes the injection.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t align) { return AllocateAligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return AllocateAligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
