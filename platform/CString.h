#pragma once

// CString: the wide-character string of the platform layer.
//
// A sequence of UTF-16 code units (char16_t; wchar_t is 32 bits on Linux and
// is not used). Strings are compared and ordered exactly by code unit,
// case-sensitively: two strings are equal only when they hold the same units.
//
//   CString key(u"DisplayLayerAdded");       // from a UTF-16 literal
//   CString path("/tmp/survey/line 12.xyz"); // from UTF-8
//   std::string name = path.ToUtf8();        // back to UTF-8, e.g. for open()
//
// Conversions never fail and never crash:
// - From UTF-8, every ill-formed sequence (a stray continuation byte, a
//   truncated or overlong sequence, an encoded surrogate, a value above
//   U+10FFFF) becomes one U+FFFD REPLACEMENT CHARACTER per maximal ill-formed
//   subpart, as the Unicode standard recommends. Embedded NULs are kept when a
//   length is given (std::string_view); a const char* stops at the first NUL.
// - To UTF-8, a lone surrogate code unit becomes U+FFFD (EF BF BD). A caller
//   that must not accept such a string (a file name, say) checks
//   IsWellFormed() first.
//
// Threading: a value type; distinct objects may be used from different
// threads, one object is not guarded.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class BRIM_PLATFORM_API CString {
public:
    CString() = default;
    CString(const char16_t* text);            // NOLINT(google-explicit-constructor): literals read naturally as keys
    CString(std::u16string_view text);        // NOLINT(google-explicit-constructor)
    CString(std::u16string text) noexcept;    // NOLINT(google-explicit-constructor)
    explicit CString(const char* utf8);       // null is the empty string
    explicit CString(std::string_view utf8);

    static CString FromUtf8(std::string_view utf8) { return CString(utf8); }

    // UTF-8 form; lone surrogates are written as U+FFFD.
    [[nodiscard]] std::string ToUtf8() const;

    // True when the units form valid UTF-16 (no lone surrogate).
    [[nodiscard]] bool IsWellFormed() const noexcept;

    // Ordinal comparison by code unit: negative, zero or positive.
    [[nodiscard]] int Compare(const CString& other) const noexcept {
        const int c = m_text.compare(other.m_text);
        return (c > 0) - (c < 0);
    }

    [[nodiscard]] bool IsEmpty() const noexcept { return m_text.empty(); }
    [[nodiscard]] int GetLength() const noexcept { return static_cast<int>(m_text.size()); }
    [[nodiscard]] std::size_t size() const noexcept { return m_text.size(); }
    [[nodiscard]] const char16_t* c_str() const noexcept { return m_text.c_str(); }
    [[nodiscard]] const std::u16string& str() const noexcept { return m_text; }
    [[nodiscard]] std::u16string_view view() const noexcept { return m_text; }

    CString& operator+=(const CString& other) {
        m_text += other.m_text;
        return *this;
    }
    friend CString operator+(CString lhs, const CString& rhs) {
        lhs += rhs;
        return lhs;
    }

    friend bool operator==(const CString& a, const CString& b) noexcept { return a.m_text == b.m_text; }
    friend std::strong_ordering operator<=>(const CString& a, const CString& b) noexcept {
        return a.m_text <=> b.m_text;
    }

private:
    std::u16string m_text;
};

template <>
struct std::hash<CString> {
    std::size_t operator()(const CString& s) const noexcept { return std::hash<std::u16string>{}(s.str()); }
};
