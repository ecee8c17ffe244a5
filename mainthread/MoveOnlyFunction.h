#pragma once

// brim::MoveOnlyFunction<R(Args...)>: a callable that can be moved but not
// copied, kept in the object itself when it fits and on the heap otherwise,
// in the shape of C++23's std::move_only_function and Abseil's AnyInvocable.
// The dispatcher queues callables in this form, so a post of a small lambda
// allocates nothing, whoever posts it: the application or the library.
//
//   brim::MoveOnlyFunction<void()> call = [file = std::move(handle)] { file.Close(); };
//   MainThreadDispatcher::Instance().DispatchAsync(std::move(call));
//
// Storage: a callable of up to kInPlaceSize bytes, aligned no more than
// std::max_align_t and nothrow-movable, is kept in place; any other goes to
// the heap, and the object holds its address. A stored type may declare
// `static constexpr bool kTriviallyRelocatable = true` when moving it is the
// same as copying its bytes and forgetting the original (pointers,
// reference-counted handles): it then moves by memcpy. So does any trivially
// copyable callable. The bytes such a move leaves behind are cleared, as a
// move constructor would clear a handle: in the dispatcher's queue, slots
// that the thread running the calls had only read made the next posts into
// them cost a fifth to a third more in our benchmarks, for a few stores here.
//
// ABI: kInPlaceSize (64 bytes) and the layout that follows from it (in-place
// bytes, then two function pointers) are part of the library's binary
// interface, since exported functions of MainThreadDispatcher take this type.
// Changing either breaks every client built against the old header.
//
// Empty: default-constructed, made from nullptr, from a null function
// pointer, or from an empty std::function or MoveOnlyFunction. An empty one
// tests false; calling it is undefined (the dispatcher runs nothing for it).
// Moved-from: empty.
// Threading: none; an object is used by one thread at a time.

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace brim {

template <class Signature>
class MoveOnlyFunction;

namespace move_only_function_detail {
template <class T>
inline constexpr bool kCanBeEmpty = std::is_pointer_v<T> || std::is_member_pointer_v<T>;
template <class S>
inline constexpr bool kCanBeEmpty<std::function<S>> = true;
template <class S>
inline constexpr bool kCanBeEmpty<MoveOnlyFunction<S>> = true;
}  // namespace move_only_function_detail

template <class R, class... Args>
class MoveOnlyFunction<R(Args...)> {
public:
    static constexpr std::size_t kInPlaceSize = 64;

    // Whether a callable of type F is kept in place (no allocation).
    template <class F>
    static constexpr bool kFitsInPlace = sizeof(F) <= kInPlaceSize && alignof(F) <= alignof(std::max_align_t) &&
                                         std::is_nothrow_move_constructible_v<F>;

    MoveOnlyFunction() noexcept = default;
    MoveOnlyFunction(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor): as std::move_only_function

    template <class F, class Stored = std::decay_t<F>>
        requires(!std::is_same_v<Stored, MoveOnlyFunction> && !std::is_same_v<Stored, std::nullptr_t> &&
                 std::is_invocable_r_v<R, Stored&, Args...> && std::is_constructible_v<Stored, F>)
    // Implicit, as std::move_only_function's; the constraint leaves MoveOnlyFunction to the move constructor.
    // NOLINTNEXTLINE(bugprone-forwarding-reference-overload,google-explicit-constructor)
    MoveOnlyFunction(F&& f) {
        if (IsEmptyCallable<Stored>(f)) return;
        if constexpr (kFitsInPlace<Stored>) {
            ::new (static_cast<void*>(m_storage)) Stored(std::forward<F>(f));
            m_invoke = &InvokeInPlace<Stored>;
            m_manage = &ManageInPlace<Stored>;
        } else {
            void* const onHeap = new Stored(std::forward<F>(f));
            std::memcpy(m_storage, &onHeap, sizeof(void*));
            m_invoke = &InvokeOnHeap<Stored>;
            m_manage = &ManageOnHeap<Stored>;
        }
    }

    MoveOnlyFunction(MoveOnlyFunction&& other) noexcept { TakeFrom(other); }
    MoveOnlyFunction& operator=(MoveOnlyFunction&& other) noexcept {
        if (this != &other) {
            Reset();
            TakeFrom(other);
        }
        return *this;
    }
    MoveOnlyFunction& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }
    MoveOnlyFunction(const MoveOnlyFunction&) = delete;
    MoveOnlyFunction& operator=(const MoveOnlyFunction&) = delete;
    ~MoveOnlyFunction() { Reset(); }

    [[nodiscard]] explicit operator bool() const noexcept { return m_invoke != nullptr; }
    R operator()(Args... args) { return m_invoke(m_storage, std::forward<Args>(args)...); }

private:
    enum class Op { MoveTo, Destroy };
    using Invoker = R (*)(void* self, Args&&... args);
    using Manager = void (*)(Op op, void* self, void* target) noexcept;

    template <class F>
    static bool IsEmptyCallable(const F& f) noexcept {
        if constexpr (move_only_function_detail::kCanBeEmpty<std::decay_t<F>>) {
            return !static_cast<bool>(f);
        } else {
            return false;
        }
    }

    template <class Stored>
    static constexpr bool kRelocatable = [] {
        if constexpr (requires { Stored::kTriviallyRelocatable; }) return Stored::kTriviallyRelocatable;
        return std::is_trivially_copyable_v<Stored>;
    }();

    template <class Stored>
    static R InvokeInPlace(void* self, Args&&... args) {
        return std::invoke(*static_cast<Stored*>(self), std::forward<Args>(args)...);
    }
    static void* HeapAddress(const void* self) noexcept {
        void* onHeap = nullptr;
        std::memcpy(&onHeap, self, sizeof(void*));
        return onHeap;
    }
    template <class Stored>
    static R InvokeOnHeap(void* self, Args&&... args) {
        return std::invoke(*static_cast<Stored*>(HeapAddress(self)), std::forward<Args>(args)...);
    }
    template <class Stored>
    static void ManageInPlace(Op op, void* self, void* target) noexcept {
        auto* stored = static_cast<Stored*>(self);
        if (op == Op::MoveTo) {
            if constexpr (kRelocatable<Stored>) {
                // The moved-from bytes are forgotten, not destroyed, and cleared (see above).
                std::memcpy(target, self, sizeof(Stored));
                std::memset(self, 0, sizeof(Stored));
                return;
            } else {
                ::new (target) Stored(std::move(*stored));
            }
        }
        stored->~Stored();
    }
    template <class Stored>
    static void ManageOnHeap(Op op, void* self, void* target) noexcept {
        if (op == Op::MoveTo) {
            std::memcpy(target, self, sizeof(void*));  // the address moves; the object stays
            return;
        }
        delete static_cast<Stored*>(HeapAddress(self));
    }

    void TakeFrom(MoveOnlyFunction& other) noexcept {
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

    alignas(std::max_align_t) std::byte m_storage[kInPlaceSize];
    Invoker m_invoke = nullptr;
    Manager m_manage = nullptr;
};

}  // namespace brim
