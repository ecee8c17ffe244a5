#pragma once

// TargetTable: the message targets (CWnd) that live on one thread's queue,
// and the handshake that lets a target be destroyed from another thread.
//
// Contract:
// - Add gives a live target a number (never 0); 0 once the table is closed.
// - Remove and Close end targets; Generation() moves with every end, so the
//   owning thread can keep a target it resolved and re-resolve it only when
//   the generation has moved.
// - RunHandler, on the owning thread, calls a target's WindowProc unless the
//   target has ended. WaitForHandlersOf, on another thread, returns once no
//   handler of that target runs on the owning thread (nested ones included);
//   after Remove and WaitForHandlersOf no handler of the target starts or
//   runs, so the target may be destroyed.
//
// Concurrency: m_lock guards the table; it is the innermost lock of a
// thread's queue. The handshake is lock-free on the handler's side, and
// fence-free where the kernel allows (platform/internal/AsymmetricFence.h):
// a handler announces its target in a slot, passes the light fence and reads
// the generation; Remove bumps the generation, and WaitForHandlersOf counts
// itself a waiter, passes the heavy fence and reads the slots. Of a handler
// starting and a Remove of its target at least one sees the other: either
// the handler finds the generation moved, re-resolves and skips the ended
// target, or the waiter sees the announcement. Likewise a handler ending
// clears its slot, passes the light fence and reads the waiter count, so
// either the waiter sees the slot cleared or the handler wakes it through
// m_handlerDone. Clearing is a release and the waiter's reads acquire, so
// the handler's last touch of its target happens before the waiter returns.
//
// Threading: RunHandler on the owning thread; everything else on any thread.

#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/WinTypes.h>
#include <BrimSubscriber/platform/Wnd.h>
#include "platform/internal/AsymmetricFence.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace brim {

namespace platform::detail {

class TargetTable {
public:
    TargetTable() = default;
    TargetTable(const TargetTable&) = delete;
    TargetTable& operator=(const TargetTable&) = delete;

    std::uint64_t Add(CWnd* wnd);
    // False when `id` was not live.
    bool Remove(std::uint64_t id);
    // Ends every target; Add fails from now on.
    void Close();
    [[nodiscard]] bool IsLive(std::uint64_t id);
    [[nodiscard]] CWnd* Find(std::uint64_t id);
    [[nodiscard]] std::uint64_t Generation() const { return m_generation.load(std::memory_order_seq_cst); }

    // `wnd` was resolved when the generation was `generation`; a target
    // ended since is resolved afresh. Whether the handler ran; what it
    // returned goes to `*result` when asked for (not an optional: returned
    // through memory, it stalled its reader on every message). Inline: it
    // runs for every message.
    bool RunHandler(std::uint64_t target, CWnd* wnd, std::uint64_t generation, UINT message, WPARAM wParam,
                    LPARAM lParam, LRESULT* result = nullptr);
    void WaitForHandlersOf(std::uint64_t target);

private:
    class HandlerScope;
    [[nodiscard]] bool IsHandlerRunning(std::uint64_t target) const;
    void WakeWaiters();

    CriticalSection m_lock{brim::platform::LockRank::Targets};
    std::condition_variable m_handlerDone;  // wakes a thread in WaitForHandlersOf
    std::unordered_map<std::uint64_t, CWnd*> m_live BRIM_GUARDED_BY(m_lock);
    std::uint64_t m_nextId BRIM_GUARDED_BY(m_lock) = 1;
    bool m_closed BRIM_GUARDED_BY(m_lock) = false;
    std::atomic<std::uint64_t> m_generation{0};  // written under m_lock

    // Handlers running on the owning thread, innermost last; a slot holds a
    // target id, 0 when free. Written by the owning thread only.
    static constexpr std::size_t kAnnouncedHandlers = 32;
    std::array<std::atomic<std::uint64_t>, kAnnouncedHandlers> m_running{};
    std::atomic<std::size_t> m_unannounced{0};  // handlers nested deeper than the slots reach
    std::size_t m_depth = 0;                    // owning thread only
    std::atomic<int> m_waiters{0};              // threads in WaitForHandlersOf
    const AsymmetricFence m_fence;
};

// Announces one handler for its whole run (see the handshake above).
class TargetTable::HandlerScope {
public:
    HandlerScope(TargetTable& table, std::uint64_t target) : m_table(table) {
        const std::size_t depth = table.m_depth++;
        m_slot = depth < kAnnouncedHandlers ? &table.m_running[depth] : nullptr;
        if (m_slot != nullptr) {
            m_slot->store(target, std::memory_order_relaxed);
            table.m_fence.Light();  // before RunHandler reads the generation
        } else {
            table.m_unannounced.fetch_add(1, std::memory_order_seq_cst);
        }
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
    ~HandlerScope() {
        if (m_slot != nullptr) {
            m_slot->store(0, std::memory_order_release);
            m_table.m_fence.Light();  // before the waiters are read
        } else {
            m_table.m_unannounced.fetch_sub(1, std::memory_order_seq_cst);
        }
        --m_table.m_depth;
        if (m_table.m_waiters.load(std::memory_order_relaxed) > 0) m_table.WakeWaiters();
    }

private:
    TargetTable& m_table;
    std::atomic<std::uint64_t>* m_slot;
};

inline bool TargetTable::RunHandler(std::uint64_t target, CWnd* wnd, std::uint64_t generation, UINT message,
                                    WPARAM wParam, LPARAM lParam, LRESULT* result) {
    const HandlerScope scope(*this, target);
    if (Generation() != generation) wnd = Find(target);
    if (wnd == nullptr) return false;
    const LRESULT handled = wnd->WindowProc(message, wParam, lParam);
    if (result != nullptr) *result = handled;
    return true;
}

}  // namespace platform::detail

}  // namespace brim
