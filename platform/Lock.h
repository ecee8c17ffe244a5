#pragma once

// Locks of the platform layer.
//
// CriticalSection is a plain, non-recursive mutex: for leaf locks that no
// thread ever takes twice. RecursiveLock may be taken again by the thread that
// holds it: for registries whose callbacks may re-enter them.
//
// Both are used with std::lock_guard / std::unique_lock / std::scoped_lock.
// Construction of a RecursiveLock may throw std::system_error when the system
// cannot create it; CriticalSection never throws.

#include <mutex>

namespace platform {

using CriticalSection = std::mutex;
using RecursiveLock = std::recursive_mutex;

}  // namespace platform
