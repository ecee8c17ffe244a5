#pragma once

// Allocation-failure injection for the tests of this folder.
//
// The executable replaces the global operator new. While a FailAt scope is
// active on a thread, that thread's n-th allocation (counting from 0) throws
// std::bad_alloc; other threads are never affected.
//
//   for (int n = 0;; ++n) {
//       test::FailAt fail(n);
//       try { map.Subscribe(key, &r); } catch (const std::bad_alloc&) { CheckInvariants(); continue; }
//       break;  // n passed the operation's last allocation
//   }

namespace test {

class FailAt {
public:
    explicit FailAt(long n);
    FailAt(const FailAt&) = delete;
    FailAt& operator=(const FailAt&) = delete;
    ~FailAt();
    // Whether the armed allocation was reached (and failed).
    [[nodiscard]] bool Fired() const;
};

}  // namespace test
