#include <BrimSubscriber/platform/Diagnostics.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace brim {

namespace {

constexpr unsigned kTypeSlots = 17;  // one bit per valid type; bit 17 for every other

std::uint32_t TypeBit(int type) {
    const auto index = static_cast<unsigned>(type);  // negative types fall outside too
    return std::uint32_t{1} << (index < kTypeSlots ? index : kTypeSlots);
}

DiagnosticsMode DefaultMode(DiagnosticKind kind) {
#ifdef NDEBUG
    static_cast<void>(kind);
    return DiagnosticsMode::Off;
#else
    return kind == DiagnosticKind::ReceiverDestroyedWhileSubscribed ? DiagnosticsMode::Fatal : DiagnosticsMode::Warn;
#endif
}

// The channel's state. Never destroyed: misuse is reported during exit too,
// by handles and receivers that outlive everything else.
struct Channel {
    std::array<std::atomic<DiagnosticsMode>, kDiagnosticKindCount> modes{};
    std::array<std::atomic<std::uint32_t>, kDiagnosticKindCount> reported{};
    bool modeFromEnvironment = false;  // set once, before the channel is shared
    std::mutex handlerLock;            // guards handler only; never held while it runs
    DiagnosticHandler handler;

    Channel() {
        const char* value = std::getenv("BRIM_DIAGNOSTICS");  // NOLINT(concurrency-mt-unsafe): read once, here
        for (unsigned i = 0; i < kDiagnosticKindCount; ++i) {
            modes[i].store(DefaultMode(static_cast<DiagnosticKind>(i)), std::memory_order_relaxed);
        }
        if (value == nullptr) return;
        DiagnosticsMode mode{};
        if (std::strcmp(value, "off") == 0) {
            mode = DiagnosticsMode::Off;
        } else if (std::strcmp(value, "warn") == 0) {
            mode = DiagnosticsMode::Warn;
        } else if (std::strcmp(value, "fatal") == 0) {
            mode = DiagnosticsMode::Fatal;
        } else {
            return;  // an unknown value keeps the defaults
        }
        modeFromEnvironment = true;
        for (auto& m : modes) m.store(mode, std::memory_order_relaxed);
    }
};

Channel& TheChannel() {
    static auto* channel = new Channel;
    return *channel;
}

}  // namespace

DiagnosticHandler SetDiagnosticHandler(DiagnosticHandler handler) {
    Channel& channel = TheChannel();
    const bool installing = static_cast<bool>(handler);
    DiagnosticHandler previous;
    {
        const std::lock_guard lock(channel.handlerLock);
        previous = std::exchange(channel.handler, std::move(handler));
    }
    if (installing && !channel.modeFromEnvironment) {
        bool allOff = true;
        for (const auto& m : channel.modes) allOff = allOff && m.load(std::memory_order_relaxed) == DiagnosticsMode::Off;
        if (allOff) SetDiagnosticsMode(DiagnosticsMode::Warn);
    }
    return previous;
}

void SetDiagnosticsMode(DiagnosticsMode mode) {
    for (auto& m : TheChannel().modes) m.store(mode, std::memory_order_relaxed);
}

DiagnosticsMode GetDiagnosticsMode(DiagnosticKind kind) {
    const auto index = static_cast<unsigned>(kind);
    return index < kDiagnosticKindCount ? TheChannel().modes[index].load(std::memory_order_relaxed)
                                        : DiagnosticsMode::Off;
}

const char* DiagnosticKindName(DiagnosticKind kind) noexcept {
    switch (kind) {
        case DiagnosticKind::CannotDeliver: return "cannot-deliver";
        case DiagnosticKind::LoopOnWrongThread: return "loop-on-wrong-thread";
        case DiagnosticKind::InvalidSubscriptionType: return "invalid-subscription-type";
        case DiagnosticKind::QueueFull: return "queue-full";
        case DiagnosticKind::ReceiverDestroyedWhileSubscribed: return "receiver-destroyed-while-subscribed";
        case DiagnosticKind::WrongThread: return "wrong-thread";
        case DiagnosticKind::PathNotUtf8: return "path-not-utf8";
        case DiagnosticKind::KernelHelpLost: return "kernel-help-lost";
        case DiagnosticKind::TextNotUtf8: return "text-not-utf8";
    }
    return "unknown";
}

void ReportDiagnostic(DiagnosticKind kind, int subscriptionType, const char* format, ...) noexcept {
    const auto index = static_cast<unsigned>(kind);
    if (index >= kDiagnosticKindCount) return;
    Channel& channel = TheChannel();
    const DiagnosticsMode mode = channel.modes[index].load(std::memory_order_relaxed);
    if (mode == DiagnosticsMode::Off) return;
    const std::uint32_t bit = TypeBit(subscriptionType);
    // The first reporter of this kind and type reports; the others return.
    if ((channel.reported[index].fetch_or(bit, std::memory_order_relaxed) & bit) != 0) return;

    std::array<char, 1024> message{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(message.data(), message.size(), format, args);
    va_end(args);

    DiagnosticHandler handler;
    try {
        const std::lock_guard lock(channel.handlerLock);
        handler = channel.handler;
    } catch (...) {
        handler = nullptr;  // no memory for a copy: the standard-error line still says it
    }
    const Diagnostic diagnostic{kind, subscriptionType, message.data()};
    bool handled = false;
    if (handler) {
        try {
            handler(diagnostic);
            handled = true;
        } catch (...) {
            // A handler that throws cannot stop the report: the line below says it.
        }
    }
    if (!handled) {
        std::fprintf(stderr, "BrimSubscriber: %s [%s]\n", message.data(), DiagnosticKindName(kind));
        std::fflush(stderr);
    }
    if (mode == DiagnosticsMode::Fatal) std::abort();
}

void ForgetReportedDiagnostics() noexcept {
    for (auto& r : TheChannel().reported) r.store(0, std::memory_order_relaxed);
}

}  // namespace brim
