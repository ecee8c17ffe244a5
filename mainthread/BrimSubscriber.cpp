#include <BrimSubscriber/mainthread/BrimSubscriber.h>

#include <BrimSubscriber/BuildMatchR/VersionCheck.h>

#include <atomic>

namespace brim {

// The runtime's own identity of this shared object: the handle under which
// the C++ runtime keeps the module's exit list. It serves as the module's
// instance handle, being distinct for every loaded module.
extern "C" __attribute__((visibility("hidden"))) void* __dso_handle;  // NOLINT(bugprone-reserved-identifier): the runtime's own per-library handle

namespace {

// Written by the load and unload steps, read from any thread.
std::atomic<module_state_t> s_state{module_not_attached};
// The module's registration: its handle while attached, null otherwise.
std::atomic<HINSTANCE> s_moduleHandle{nullptr};

bool OnAttach(HINSTANCE instance) {
    if (!CheckDllVersion(BRIMSUBSCRIBER_VERSION, __FILE__, __DATE__ " " __TIME__)) {
        s_state.store(module_refused, std::memory_order_release);
        return false;
    }
    // What registering with an application framework gives the rest of the
    // library is that its resources can be found under its handle while it is
    // loaded; recording the handle is all that takes here.
    s_moduleHandle.store(instance, std::memory_order_release);
    BRIMX::LoadDLLResourceDLL(instance, s_moduleHandle.load(std::memory_order_acquire));
    s_state.store(module_attached, std::memory_order_release);
    return true;
}

void OnDetach() {
    // Harmless when the load was refused: there is no registration to withdraw.
    s_moduleHandle.store(nullptr, std::memory_order_release);
    module_state_t attached = module_attached;
    s_state.compare_exchange_strong(attached, module_detached, std::memory_order_acq_rel);
}

// Run by the dynamic loader when it maps and unmaps the library. The unload
// step runs before the runtime destroys the module's static objects on
// unload, and after them at process exit.
__attribute__((constructor)) void AttachModule() { static_cast<void>(OnAttach(&__dso_handle)); }
__attribute__((destructor)) void DetachModule() { OnDetach(); }

}  // namespace

const char* BrimSubscriberVersion() noexcept { return BRIMSUBSCRIBER_VERSION_STRING; }

module_state_t BrimSubscriberModuleState() noexcept { return s_state.load(std::memory_order_acquire); }

HINSTANCE BrimSubscriberModuleHandle() noexcept { return s_moduleHandle.load(std::memory_order_acquire); }

}  // namespace brim
