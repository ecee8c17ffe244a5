#include "platform/internal/AsymmetricFence.h"

#include <BrimSubscriber/platform/Check.h>

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace brim {

namespace platform::detail {
namespace {

long Membarrier(int command) noexcept { return syscall(SYS_membarrier, command, 0U, 0); }

}  // namespace

bool AsymmetricFence::ProcessIsRegistered() noexcept {
    // Once per process: a kernel without the command, or a sandbox that
    // forbids the call, leaves both sides on full fences.
    static const bool registered = [] {
        const long commands = Membarrier(MEMBARRIER_CMD_QUERY);
        return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
               Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    }();
    return registered;
}

void AsymmetricFence::Heavy() const noexcept {
    if (!m_expedited) {
        Full();
        return;
    }
    // Registered (a child of fork inherits the registration), the command
    // does not fail; should it, the global barrier serves too, only slower
    // (it waits for every processor). The light sides rely on one of them:
    // going on without would let a handler run on a destroyed target.
    if (Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 && Membarrier(MEMBARRIER_CMD_GLOBAL) != 0) {
        platform::CheckFailed(__FILE__, __LINE__, "no memory barrier across the process's threads is available");
    }
}

}  // namespace platform::detail

}  // namespace brim
