#pragma once

// CString: the wide-character string of the platform layer.
//
// A sequence of UTF-16 code units (char16_t; wchar_t is 32 bits on Linux and
// is not used). Strings are compared and ordered exactly by code unit,
// case-sensitively: two strings are equal only when they hold the same units.
//
//   CString key(u"DisplayLayerAdded");       // from a UTF-16 literal
//   CString depth = u8"Tiefe (m²)";          // from UTF-8 the compiler knows as such
//   CString path("/tmp/survey/line 12.xyz"); // from UTF-8 bytes
//   std::string name = path.ToUtf8();        // back to UTF-8, e.g. for open()
//
// Conversions never fail and never crash:
// - From UTF-8 bytes (char: CString("..."), FromUtf8), every ill-formed
//   sequence (a stray continuation byte, a truncated or overlong sequence, an
//   encoded surrogate, a value above U+10FFFF) becomes one U+FFFD REPLACEMENT
//   CHARACTER per maximal ill-formed subpart, as the Unicode standard
//   recommends. Embedded NULs are kept when a length is given
//   (std::string_view); a const char* stops at the first NUL.
// - From char8_t text (u8"..." literals, std::u8string_view, std::u8string),
//   implicitly, so that every key parameter takes it. Well-formed text is
//   decoded as above, NULs likewise. Ill-formed text is not decoded to other
//   characters: as the file watcher refuses byte paths that are not UTF-8
//   (decoding would name another file), such text must not name another key
//   or file. Each byte of a maximal ill-formed subpart is kept as the lone
//   surrogate U+DC00 + byte (U+DC80 to U+DCFF), so distinct texts stay
//   distinct keys, IsWellFormed() is false, a file watcher never finds such a
//   path, and the text is reported (brim::DiagnosticKind::TextNotUtf8).
// - To UTF-8, a lone surrogate code unit becomes U+FFFD (EF BF BD). A caller
//   that must not accept such a string (a file name, say) checks
//   IsWellFormed() first.
//
// Copies share one immutable buffer of units: a copy takes a reference (an
// atomic increment), never an allocation, so keys travel between threads
// cheaply. Changing a string (+=) gives it a buffer of its own.
//
// Threading: a value type; distinct objects may be used from different
// threads, copies of one string included; one object is not guarded.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace brim {

class BRIM_PLATFORM_API CString {
public:
    CString() noexcept = default;
    CString(const char16_t* text);            // NOLINT(google-explicit-constructor): literals read naturally as keys
    CString(std::u16string_view text);        // NOLINT(google-explicit-constructor)
    CString(const std::u16string& text);      // NOLINT(google-explicit-constructor)
    explicit CString(const char* utf8);       // null is the empty string
    explicit CString(std::string_view utf8);
    // char8_t text: a u8"..." literal (up to its first NUL), a char8_t
    // pointer (null is the empty string), std::u8string_view or std::u8string.
    template <class Utf8>
        requires std::is_convertible_v<const Utf8&, std::u8string_view>
    CString(const Utf8& text) {  // NOLINT(google-explicit-constructor): u8"..." keys read as u"..." ones do
        if constexpr (std::is_pointer_v<Utf8>) {
            if (text == nullptr) return;
        }
        AssignUtf8(std::u8string_view(text));
    }

    CString(const CString& other) noexcept : m_rep(other.m_rep), m_size(other.m_size) { Retain(); }
    CString(CString&& other) noexcept
        : m_rep(std::exchange(other.m_rep, nullptr)), m_size(std::exchange(other.m_size, 0)) {}
    CString& operator=(const CString& other) noexcept {
        CString copy(other);
        Swap(copy);
        return *this;
    }
    CString& operator=(CString&& other) noexcept {
        CString taken(std::move(other));
        Swap(taken);
        return *this;
    }
    ~CString() { Release(); }

    static CString FromUtf8(std::string_view utf8) { return CString(utf8); }

    // UTF-8 form; lone surrogates are written as U+FFFD.
    [[nodiscard]] std::string ToUtf8() const;

    // True when the units form valid UTF-16 (no lone surrogate).
    [[nodiscard]] bool IsWellFormed() const noexcept;

    // Ordinal comparison by code unit: negative, zero or positive.
    [[nodiscard]] int Compare(const CString& other) const noexcept {
        const int c = view().compare(other.view());
        return (c > 0) - (c < 0);
    }

    [[nodiscard]] bool IsEmpty() const noexcept { return m_size == 0; }
    [[nodiscard]] int GetLength() const noexcept { return static_cast<int>(m_size); }
    [[nodiscard]] std::size_t size() const noexcept { return m_size; }
    // The units, NUL-terminated; valid while this string or a copy lives.
    [[nodiscard]] const char16_t* c_str() const noexcept { return m_rep != nullptr ? m_rep->Units() : u""; }
    [[nodiscard]] std::u16string str() const { return std::u16string(view()); }
    [[nodiscard]] std::u16string_view view() const noexcept { return {c_str(), m_size}; }

    CString& operator+=(const CString& other);
    friend CString operator+(CString lhs, const CString& rhs) {
        lhs += rhs;
        return lhs;
    }

    friend bool operator==(const CString& a, const CString& b) noexcept {
        return a.m_size == b.m_size && (a.m_rep == b.m_rep || a.view() == b.view());
    }
    friend std::strong_ordering operator<=>(const CString& a, const CString& b) noexcept {
        return a.view() <=> b.view();
    }

private:
    // The shared units: a reference count, then m_size units and a NUL.
    struct Rep {
        std::atomic<std::uint32_t> refs;
        [[nodiscard]] char16_t* Units() noexcept { return reinterpret_cast<char16_t*>(this + 1); }
    };
    static_assert(alignof(Rep) >= alignof(char16_t));

    void Retain() const noexcept {
        if (m_rep != nullptr) m_rep->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void Release() noexcept {
        if (m_rep != nullptr && m_rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Free(m_rep);
    }
    void Swap(CString& other) noexcept {
        std::swap(m_rep, other.m_rep);
        std::swap(m_size, other.m_size);
    }
    // Takes a buffer of its own holding `units` followed by `more`.
    void Assign(std::u16string_view units, std::u16string_view more = {});
    // Takes char8_t text, its ill-formed bytes kept as lone surrogates.
    void AssignUtf8(std::u8string_view text);
    static void Free(Rep* rep) noexcept;

    Rep* m_rep = nullptr;  // null for the empty string
    std::size_t m_size = 0;
};

}  // namespace brim

template <>
struct std::hash<brim::CString> {
    std::size_t operator()(const brim::CString& s) const noexcept { return std::hash<std::u16string_view>{}(s.view()); }
};

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::CString;
#endif
