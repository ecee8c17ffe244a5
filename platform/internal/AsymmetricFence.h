#pragma once

// AsymmetricFence: the two fences of a handshake whose one side runs all the
// time (a handler starting and ending on its thread) and whose other side
// runs seldom (a target destroyed from another thread), so that the frequent
// side costs no fence instruction.
//
// Contract: with a store, Light(), then a load on one thread, and a store,
// Heavy(), then a load on another, at least one of the two loads sees the
// other thread's store (as if both were sequentially consistent fences).
// - Where the kernel offers membarrier's private expedited command, Light()
//   is only a compiler barrier and Heavy() a system call that makes every
//   running thread of the process pass a full barrier (microseconds).
// - Elsewhere both are sequentially consistent fences.
// Which of the two pairs is in use is settled once per process, on the first
// construction, before either side of any handshake runs; every object that
// holds one then agrees with every other.
//
// Threading: any thread.

#include <atomic>

namespace brim {

namespace platform::detail {

class AsymmetricFence {
public:
    AsymmetricFence() noexcept : m_expedited(ProcessIsRegistered()) {}

    void Light() const noexcept {
        if (m_expedited) {
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            std::atomic_thread_fence(std::memory_order_seq_cst);
        }
    }
    void Heavy() const noexcept;

private:
    // Registers the process for expedited barriers on first use; whether it
    // could.
    static bool ProcessIsRegistered() noexcept;

    bool m_expedited;
};

}  // namespace platform::detail

}  // namespace brim
