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
// thread's queue. The handshake is lock-free on the handler's side: a handler
// announces its target (a sequentially consistent store into a slot) and then
// reads the generation; Remove bumps the generation (sequentially consistent)
// and then reads the slots. In the single total order of those operations, of
// a handler starting and a Remove of its target at least one sees the other:
// either the handler finds the generation moved, re-resolves and skips the
// ended target, or the waiter sees the announcement and waits on m_handlerDone
// until the handler's scope ends.
//
// Threading: RunHandler on the owning thread; everything else on any thread.

#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/WinTypes.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace brim {

class CWnd;

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
    // ended since is resolved afresh. No value: the handler did not run.
    std::optional<LRESULT> RunHandler(std::uint64_t target, CWnd* wnd, std::uint64_t generation, UINT message,
                                      WPARAM wParam, LPARAM lParam);
    void WaitForHandlersOf(std::uint64_t target);

private:
    class HandlerScope;
    [[nodiscard]] bool IsHandlerRunning(std::uint64_t target) const;

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
};

}  // namespace platform::detail

}  // namespace brim
