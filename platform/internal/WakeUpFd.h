#pragma once

// WakeUpFd: the descriptor through which a thread's message queue tells an
// event loop that it has work.
//
// It is an eventfd: readable from the first Signal() until the next Drain(),
// however many signals came in between. Signal() and Drain() never block.
//
// Threading: Signal and Drain may be called from any thread; the queue that
// owns it calls them under its own lock, so that the readiness and the
// queue's contents agree.
// Ownership: the descriptor is closed with the object; it is close-on-exec.

namespace brim {

namespace platform::detail {

class WakeUpFd {
public:
    // Throws std::system_error with the system's error code when no
    // descriptor can be made (EMFILE, ENFILE, ENOMEM).
    WakeUpFd();
    WakeUpFd(const WakeUpFd&) = delete;
    WakeUpFd& operator=(const WakeUpFd&) = delete;
    ~WakeUpFd();

    void Signal() noexcept;
    void Drain() noexcept;
    [[nodiscard]] int Fd() const noexcept { return m_fd; }

private:
    int m_fd;
};

}  // namespace platform::detail

}  // namespace brim
