#pragma once

// Debounce: which watched files are being written, and when each is due to
// be examined.
//
// The kernel says that a file was written to (or that the way to it changed)
// long before it says that the save is complete, and sometimes never says the
// latter (a file kept open, a file linked into place). A file is therefore
// examined when its save completes, or once no write has been seen for the
// quiet interval, whichever comes first; until then it is "being written" and
// nobody decides about it. A file written without pause for longer than a
// polling period (a busy log) is examined by the passes all the same, so it
// is never left unreported for as long as it is busy.
//
//   Debounce quiet(clock, 250);
//   quiet.Touch(id);            // a write seen: due 250 ms from now, again
//   quiet.Settle(id);           // its close seen: no longer being written
//   quiet.TakeDue(ids);         // those quiet for 250 ms, settled as taken
//
// Time is read only from the clock given, a wrapping millisecond count; every
// comparison is of differences, so the wrap at 2^32 ms changes nothing.
//
// Concurrency: none of its own. The watcher calls every member under its
// lock; nothing here makes a system call or calls out.

#include <BrimSubscriber/platform/TickCount.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace brim {

namespace filewatch_detail {

class Debounce {
public:
    using Id = std::uint64_t;

    Debounce(const platform::TickClock& clock, std::uint32_t quietMs) : m_clock(clock), m_quietMs(quietMs) {}

    [[nodiscard]] std::uint32_t Now() const { return m_clock.Now(); }

    // A write, or another sign of a save in progress, was seen now.
    void Touch(Id id);
    // The save completed: the file is no longer being written.
    void Settle(Id id);
    // Forgets the record altogether.
    void Forget(Id id);

    [[nodiscard]] bool IsBeingWritten(Id id) const;
    // Written to, without a pause of the quiet interval (closed or not), for
    // `periodMs` or more, and not yet quiet.
    [[nodiscard]] bool IsBusyLongerThan(Id id, std::uint32_t periodMs) const;
    // A count that moves with every Touch: a look that took it before a
    // write can tell afterwards that the write came (TouchedSince).
    [[nodiscard]] std::uint64_t Epoch() const noexcept { return m_touches; }
    [[nodiscard]] bool TouchedSince(Id id, std::uint64_t epoch) const;

    // Appends the records whose quiet interval has ended, and settles them.
    void TakeDue(std::vector<Id>& due);
    // Milliseconds until the next record is due, if any is being written.
    [[nodiscard]] std::optional<std::uint32_t> MsUntilNextDue() const;

private:
    struct File {
        std::uint64_t touched = 0;    // Epoch() after its last Touch
        bool writing = false;
        std::uint32_t due = 0;        // when writing: examined then, unless settled first
        std::uint32_t lastTouch = 0;  // the last write seen
        std::uint32_t busySince = 0;  // the first write after the last pause of the quiet interval
    };

    const platform::TickClock& m_clock;
    const std::uint32_t m_quietMs;
    std::unordered_map<Id, File> m_files;  // records touched at least once
    std::size_t m_writing = 0;             // of those, the ones being written
    std::uint64_t m_touches = 0;           // every Touch so far
};

}  // namespace filewatch_detail

}  // namespace brim
