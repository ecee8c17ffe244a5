#pragma once

// InPlaceCall: a callable with no arguments and no result, stored inside the
// object (kSize bytes) instead of on the heap, so that queueing it allocates
// nothing. The dispatcher keeps its queued calls in this form; a
// std::function (which fits) and the registry's posted deliveries travel in
// it. Internal to the library.
//
// A stored type may declare `static constexpr bool kTriviallyRelocatable =
// true` when moving it is the same as copying its bytes and forgetting the
// original (pointers, reference-counted handles): it then moves by memcpy.
//
// Threading: none; moved between threads under the owner's lock.

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace mainthread_detail {

class InPlaceCall {
public:
    static constexpr std::size_t kSize = 64;

    InPlaceCall() noexcept = default;

    template <class F, class Stored = std::decay_t<F>>
        requires(!std::is_same_v<Stored, InPlaceCall> && sizeof(Stored) <= kSize &&
                 alignof(Stored) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<Stored>)
    // NOLINTNEXTLINE(bugprone-forwarding-reference-overload): the constraint leaves InPlaceCall to the move constructor
    explicit InPlaceCall(F&& f) : m_invoke(&Invoke<Stored>), m_manage(&Manage<Stored>) {
        new (m_storage) Stored(std::forward<F>(f));
    }

    InPlaceCall(InPlaceCall&& other) noexcept { TakeFrom(other); }
    InPlaceCall& operator=(InPlaceCall&& other) noexcept {
        if (this != &other) {
            Reset();
            TakeFrom(other);
        }
        return *this;
    }
    InPlaceCall(const InPlaceCall&) = delete;
    InPlaceCall& operator=(const InPlaceCall&) = delete;
    ~InPlaceCall() { Reset(); }

    [[nodiscard]] explicit operator bool() const noexcept { return m_invoke != nullptr; }
    void operator()() { m_invoke(m_storage); }

private:
    enum class Op { MoveTo, Destroy };
    using Invoker = void (*)(void* self);
    using Manager = void (*)(Op op, void* self, void* target) noexcept;

    template <class Stored>
    static void Invoke(void* self) {
        (*static_cast<Stored*>(self))();
    }
    // A type that says so (kTriviallyRelocatable) moves by copying its bytes:
    // the moved-from bytes are then simply forgotten, not destroyed.
    template <class Stored>
    static constexpr bool kRelocatable = [] {
        if constexpr (requires { Stored::kTriviallyRelocatable; }) return Stored::kTriviallyRelocatable;
        return std::is_trivially_copyable_v<Stored>;
    }();

    template <class Stored>
    static void Manage(Op op, void* self, void* target) noexcept {
        auto* stored = static_cast<Stored*>(self);
        if (op == Op::MoveTo) {
            if constexpr (kRelocatable<Stored>) {
                std::memcpy(target, self, sizeof(Stored));
                return;
            } else {
                new (target) Stored(std::move(*stored));
            }
        }
        stored->~Stored();
    }

    void TakeFrom(InPlaceCall& other) noexcept {
        if (other.m_manage == nullptr) return;
        other.m_manage(Op::MoveTo, other.m_storage, m_storage);
        m_invoke = std::exchange(other.m_invoke, nullptr);
        m_manage = std::exchange(other.m_manage, nullptr);
    }
    void Reset() noexcept {
        if (m_manage != nullptr) m_manage(Op::Destroy, m_storage, nullptr);
        m_invoke = nullptr;
        m_manage = nullptr;
    }

    alignas(std::max_align_t) std::byte m_storage[kSize];
    Invoker m_invoke = nullptr;
    Manager m_manage = nullptr;
};

}  // namespace mainthread_detail
