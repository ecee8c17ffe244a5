#pragma once

// ThreadChecker: remembers the thread it was created on, so that debug builds
// can check a rule such as "only on the thread that created it".
//
//   class Loop {
//       void Run() { BRIM_DCHECK_THREAD(m_thread.CalledOnValidThread(), "Loop::Run off the loop's thread"); ... }
//       platform::ThreadChecker m_thread;
//   };
//
// BRIM_DCHECK_THREAD is how the library checks every "only on its own
// thread" its public headers state: in debug builds of the library a call on
// another thread is reported through the diagnostics channel
// (platform/Diagnostics.h, kind WrongThread: heard when diagnostics are on,
// fatal when they are fatal) and then goes on as it would have. Release
// builds neither make the check nor format its message. The checker is a
// thread id; it is kept in release builds too, so that a class's layout does
// not depend on how its user was compiled.
//
// Threading: CalledOnValidThread may be called from any thread.

#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/Diagnostics.h>

#include <thread>

namespace brim {

#if BRIM_DCHECK_IS_ON
#define BRIM_DCHECK_THREAD(onItsThread, ...) \
    ((onItsThread) ? static_cast<void>(0)   \
                   : ::brim::ReportDiagnostic(::brim::DiagnosticKind::WrongThread, -1, __VA_ARGS__))
#else
#define BRIM_DCHECK_THREAD(onItsThread, ...) static_cast<void>(0)
#endif

namespace platform {

class ThreadChecker {
public:
    ThreadChecker() noexcept : m_owner(std::this_thread::get_id()) {}
    [[nodiscard]] bool CalledOnValidThread() const noexcept { return std::this_thread::get_id() == m_owner; }

private:
    std::thread::id m_owner;
};

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::ThreadChecker;
}  // namespace platform
#endif
