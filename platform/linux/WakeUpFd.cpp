#include "platform/internal/WakeUpFd.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace brim {

namespace platform::detail {

WakeUpFd::WakeUpFd() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeUpFd::~WakeUpFd() { ::close(m_fd); }

void WakeUpFd::Signal() noexcept {
    const std::uint64_t one = 1;
    // EAGAIN means the counter is full, which still leaves the descriptor
    // readable; EINTR cannot leave it unsignalled either, since a write of
    // eight bytes to an eventfd is all or nothing. Either way a waiter wakes.
    ssize_t written = 0;
    do {
        written = ::write(m_fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void WakeUpFd::Drain() noexcept {
    std::uint64_t count = 0;
    ssize_t read = 0;
    do {
        read = ::read(m_fd, &count, sizeof count);
    } while (read < 0 && errno == EINTR);
    // EAGAIN: nothing was signalled, which is what draining wants.
}

}  // namespace platform::detail

}  // namespace brim
