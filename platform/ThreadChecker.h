#pragma once

// ThreadChecker: remembers the thread it was created on, so that debug builds
// can check a rule such as "only on the thread that created it".
//
//   class Loop {
//       void Run() { BRIM_DCHECK(m_thread.CalledOnValidThread(), "Run called off the loop's thread"); ... }
//       platform::ThreadChecker m_thread;
//   };
//
// The check itself is a BRIM_DCHECK (platform/Check.h), so release builds
// neither make it nor format its message. The checker is a thread id; it is
// kept in release builds too, so that a class's layout does not depend on how
// its user was compiled.
//
// Threading: CalledOnValidThread may be called from any thread.

#include <thread>

namespace platform {

class ThreadChecker {
public:
    ThreadChecker() noexcept : m_owner(std::this_thread::get_id()) {}
    [[nodiscard]] bool CalledOnValidThread() const noexcept { return std::this_thread::get_id() == m_owner; }

private:
    std::thread::id m_owner;
};

}  // namespace platform
