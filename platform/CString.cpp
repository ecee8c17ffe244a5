#include <BrimSubscriber/platform/CString.h>

#include <BrimSubscriber/platform/Diagnostics.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace brim {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// What becomes of a maximal ill-formed subpart of UTF-8.
enum class IllFormed {
    Replace,  // one U+FFFD
    Keep,     // each byte b as the lone surrogate U+DC00 + b: nothing is lost or merged
};

void AppendIllFormed(std::u16string& out, std::string_view subpart, IllFormed policy) {
    if (policy == IllFormed::Replace) {
        out.push_back(static_cast<char16_t>(kReplacement));
        return;
    }
    for (const char b : subpart) out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(b)));
}

// Decodes UTF-8 with the "maximal subpart" policy: an ill-formed sequence is
// the longest prefix that could have started a valid sequence, and decoding
// resumes right after it. `firstIllFormed`, when given, receives the offset
// of the first ill-formed byte, or the size of `in` when there is none.
std::u16string DecodeUtf8(std::string_view in, IllFormed policy = IllFormed::Replace,
                          std::size_t* firstIllFormed = nullptr) {
    if (firstIllFormed != nullptr) *firstIllFormed = in.size();
    std::u16string out;
    out.reserve(in.size());
    std::size_t i = 0;
    const std::size_t n = in.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        int length = 0;
        char32_t cp = 0;
        unsigned char lo = 0x80;  // bounds of the second byte (excludes overlongs and surrogates)
        unsigned char hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            if (firstIllFormed != nullptr) *firstIllFormed = std::min(*firstIllFormed, i);
            AppendIllFormed(out, in.substr(i, 1), policy);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool ok = true;
        for (int k = 1; k < length; ++k, ++j) {
            if (j >= n) {
                ok = false;
                break;
            }
            const auto b = static_cast<unsigned char>(in[j]);
            const bool inRange = (k == 1) ? (b >= lo && b <= hi) : IsContinuation(b);
            if (!inRange) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (ok) {
            AppendUtf16(out, cp);
        } else {
            if (firstIllFormed != nullptr) *firstIllFormed = std::min(*firstIllFormed, i);
            AppendIllFormed(out, in.substr(i, j - i), policy);
        }
        i = j;
    }
    return out;
}

}  // namespace

CString::CString(const char16_t* text) {
    if (text != nullptr) Assign(std::u16string_view(text));
}
CString::CString(std::u16string_view text) { Assign(text); }
CString::CString(const std::u16string& text) { Assign(text); }
CString::CString(const char* utf8) {
    if (utf8 != nullptr) Assign(DecodeUtf8(std::string_view(utf8, std::strlen(utf8))));
}
CString::CString(std::string_view utf8) { Assign(DecodeUtf8(utf8)); }

void CString::AssignUtf8(std::u8string_view text) {
    const std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size());
    std::size_t bad = 0;
    Assign(DecodeUtf8(bytes, IllFormed::Keep, &bad));
    if (bad == bytes.size()) return;
    // Only the well-formed part is shown: the rest could be anything.
    ReportDiagnostic(DiagnosticKind::TextNotUtf8, -1,
                     "char8_t text that is not UTF-8 (byte 0x%02X at offset %zu, after \"%.*s\"): its ill-formed "
                     "bytes are kept as U+DC80-U+DCFF, so it names no other key and no file",
                     static_cast<unsigned>(static_cast<unsigned char>(bytes[bad])), bad, static_cast<int>(bad),
                     bytes.data());
}

void CString::Assign(std::u16string_view units, std::u16string_view more) {
    const std::size_t size = units.size() + more.size();
    if (size == 0) return;  // the empty string holds no buffer
    void* memory = ::operator new(sizeof(Rep) + (size + 1) * sizeof(char16_t));
    Rep* rep = new (memory) Rep{1};
    std::copy(units.begin(), units.end(), rep->Units());
    std::copy(more.begin(), more.end(), rep->Units() + units.size());
    rep->Units()[size] = u'\0';
    m_rep = rep;
    m_size = size;
}

void CString::Free(Rep* rep) noexcept {
    rep->~Rep();
    ::operator delete(rep);
}

CString& CString::operator+=(const CString& other) {
    if (other.IsEmpty()) return *this;
    CString joined;  // a buffer of its own: copies of this string keep theirs
    joined.Assign(view(), other.view());
    Swap(joined);
    return *this;
}

std::string CString::ToUtf8() const {
    const std::u16string_view text = view();
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(text[i + 1])) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

bool CString::IsWellFormed() const noexcept {
    const std::u16string_view text = view();
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (IsHighSurrogate(u)) {
            if (i + 1 >= n || !IsLowSurrogate(text[i + 1])) return false;
            ++i;
        } else if (IsLowSurrogate(u)) {
            return false;
        }
    }
    return true;
}

}  // namespace brim
