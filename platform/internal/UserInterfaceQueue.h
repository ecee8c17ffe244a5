#pragma once

// The queue of the thread designated the user-interface thread, for the
// layer's own use (CWnd::CreateExOnUserInterfaceThread, MessageLoop).
//
// Threading: any thread. The designation and its queue change together under
// one lock; the epoch moves with every change, so a reader that remembers it
// can tell cheaply whether what it learnt is still current.

#include <memory>

namespace brim {

namespace platform::detail {

class ThreadQueue;

// The designated thread's queue; null when no thread is designated. The queue
// is closed (posts fail) once that thread has ended.
std::shared_ptr<ThreadQueue> UserInterfaceQueue();

}  // namespace platform::detail

}  // namespace brim
