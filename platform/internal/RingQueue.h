#pragma once

// RingQueue: a first-in first-out queue in one growing buffer, for queues that
// fill and drain all the time. Once it has grown to what the traffic needs,
// pushing and popping allocate nothing (a std::deque allocates and frees a
// block every few hundred bytes that pass through it). Internal to the library.
//
// Threading: none; the owner guards it.

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace brim {

namespace platform::detail {

template <class T>
class RingQueue {
public:
    RingQueue() noexcept = default;
    RingQueue(const RingQueue&) = delete;
    RingQueue& operator=(const RingQueue&) = delete;
    ~RingQueue() { clear(); }

    [[nodiscard]] bool empty() const noexcept { return m_size == 0; }
    [[nodiscard]] std::size_t size() const noexcept { return m_size; }
    T& front() noexcept { return Slot(0); }
    T& back() noexcept { return Slot(m_size - 1); }
    T& operator[](std::size_t i) noexcept { return Slot(i); }

    // Strong guarantee: when growing throws, the queue is unchanged.
    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (m_size == m_capacity) Grow();
        T* slot = &Slot(m_size);
        new (slot) T(std::forward<Args>(args)...);
        ++m_size;
        return *slot;
    }
    // Grows now when full, so that the next emplace_back cannot throw for
    // want of room. Strong guarantee.
    void make_room() {
        if (m_size == m_capacity) Grow();
    }
    void pop_front() noexcept {
        Slot(0).~T();
        m_head = (m_head + 1) & (m_capacity - 1);
        --m_size;
    }
    void pop_back() noexcept {
        Slot(m_size - 1).~T();
        --m_size;
    }
    void clear() noexcept {
        while (!empty()) pop_front();
    }
    // Removes, in place and keeping the order of the rest, every element for
    // which remove(element) is true.
    template <class Pred>
    void erase_if(Pred remove) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_size; ++i) {
            if (remove(Slot(i))) continue;
            if (kept != i) Slot(kept) = std::move(Slot(i));
            ++kept;
        }
        while (m_size > kept) pop_back();
    }
    void swap(RingQueue& other) noexcept {
        std::swap(m_buffer, other.m_buffer);
        std::swap(m_capacity, other.m_capacity);
        std::swap(m_head, other.m_head);
        std::swap(m_size, other.m_size);
    }

private:
    // The capacity is a power of two, so wrapping is a mask, not a division.
    T& Slot(std::size_t i) noexcept { return m_buffer[(m_head + i) & (m_capacity - 1)]; }

    void Grow() {
        const std::size_t capacity = m_capacity == 0 ? 64 : m_capacity * 2;
        std::unique_ptr<T[], Deleter> buffer(static_cast<T*>(::operator new(capacity * sizeof(T), std::align_val_t(alignof(T)))));
        for (std::size_t i = 0; i < m_size; ++i) {
            new (&buffer[i]) T(std::move(Slot(i)));  // T's move must not throw
            Slot(i).~T();
        }
        m_buffer = std::move(buffer);
        m_capacity = capacity;
        m_head = 0;
    }

    struct Deleter {
        void operator()(T* p) const noexcept { ::operator delete(static_cast<void*>(p), std::align_val_t(alignof(T))); }
    };
    std::unique_ptr<T[], Deleter> m_buffer;
    std::size_t m_capacity = 0;
    std::size_t m_head = 0;
    std::size_t m_size = 0;
};

}  // namespace platform::detail

}  // namespace brim
