#pragma once

// Diagnostics: how the library tells a user who looks that a call could not
// do its work because it was used wrong.
//
// The library prints nothing unless asked. A misuse that returns normally
// (a post that cannot arrive, a loop run on a thread that does not own it, an
// invalid subscription type, a full queue, a receiver destroyed while still
// subscribed, a path or char8_t text that is not UTF-8, a watched file that
// lost the kernel's help) is reported here, once per kind and subscription type:
//
//   brim::SetDiagnosticHandler([](const brim::Diagnostic& d) {
//       myLog.Warning("%s", d.message);                     // any thread
//   });
//   // or, without code: BRIM_DIAGNOSTICS=warn ./app   (off | warn | fatal)
//
// Modes:
// - Off: nothing is reported (the release library's default).
// - Warn: the handler is called; without one, a line goes to standard error
//   ("BrimSubscriber: <message>"). The debug library's default, except for
//   a receiver destroyed while still subscribed, which is Fatal there: the
//   memory it leaves behind is used at the next delivery.
// - Fatal: reported as in Warn, then the process aborts.
// BRIM_DIAGNOSTICS, read once at the first report or query, sets every kind
// to one mode. SetDiagnosticsMode does the same from code and wins over the
// variable. Installing a handler while every kind is Off (and the variable
// did not say "off") switches them to Warn: whoever installs a handler wants
// to hear.
//
// Threading: everything here may be called from any thread. The handler runs
// on the thread that made the misuse, with no lock of the library's own
// held by the report (a misuse made inside a receiver still runs under the
// delivering registry's lock, which the handler may re-enter on that thread).
// Once: each kind is reported once per subscription type 0-16, and once for
// every other type together (invalid types, and reports without a type), for
// the life of the process; ForgetReportedDiagnostics starts again (tests).

#include <BrimSubscriber/platform/PlatformExport.h>

#include <functional>

namespace brim {

enum class DiagnosticKind : unsigned {
    CannotDeliver,                     // a send or post that cannot reach the user-interface thread
    LoopOnWrongThread,                 // a loop run from a thread that does not own it (refused)
    InvalidSubscriptionType,           // a type outside 0-16
    QueueFull,                         // a post refused at the queue's bound
    ReceiverDestroyedWhileSubscribed,  // a registry still holds a destroyed receiver
    WrongThread,                       // a call made off the thread its object belongs to
    PathNotUtf8,                       // a watched path given as bytes that are not UTF-8 (refused)
    KernelHelpLost,                    // a watched file is seen only by polling from now on
    TextNotUtf8,                       // char8_t text that is not UTF-8 (kept as lone surrogates, platform/CString.h)
};
inline constexpr unsigned kDiagnosticKindCount = 9;

enum class DiagnosticsMode { Off, Warn, Fatal };

struct Diagnostic {
    DiagnosticKind kind;
    int subscriptionType;  // -1 when the report concerns no subscription type
    const char* message;   // valid for the handler's call only
};

using DiagnosticHandler = std::function<void(const Diagnostic&)>;

// Installs the handler (an empty one restores the standard-error line) and
// returns the previous one.
BRIM_PLATFORM_API DiagnosticHandler SetDiagnosticHandler(DiagnosticHandler handler);

// Sets the mode of every kind.
BRIM_PLATFORM_API void SetDiagnosticsMode(DiagnosticsMode mode);
BRIM_PLATFORM_API DiagnosticsMode GetDiagnosticsMode(DiagnosticKind kind);

// A short name for the kind ("cannot-deliver", ...).
BRIM_PLATFORM_API const char* DiagnosticKindName(DiagnosticKind kind) noexcept;

// The library's own entry point: reports a misuse of `kind` (printf-style
// message) unless its mode is Off or it was reported for this type before.
// Never throws; a message longer than 1 KiB is cut.
BRIM_PLATFORM_API void ReportDiagnostic(DiagnosticKind kind, int subscriptionType, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// Forgets which kinds and types were reported, so each is reported again.
BRIM_PLATFORM_API void ForgetReportedDiagnostics() noexcept;

}  // namespace brim
