// libFuzzer target: CString's conversions against references written from the Unicode
// standard's definitions, on the input read as UTF-8 bytes and as little-endian UTF-16 units.

#include <BrimSubscriber/platform/CString.h>

#include <cstdint>
#include <cstdio>

namespace {

void Check(bool ok, const char* what) { ok ? void() : (std::fprintf(stderr, "CString check failed: %s\n", what), __builtin_trap()); }

// UTF-8 by the table of well-formed byte sequences; each maximal ill-formed subpart
// (the longest prefix of a well-formed sequence, or one byte) becomes one U+FFFD.
std::u16string Decode(std::string_view in) {
    std::u16string out;
    for (std::size_t i = 0; i < in.size();) {
        const unsigned b0 = static_cast<unsigned char>(in[i]);
        const int n = b0 < 0x80 ? 1 : b0 >= 0xC2 && b0 <= 0xDF ? 2 : b0 >= 0xE0 && b0 <= 0xEF ? 3 : b0 >= 0xF0 && b0 <= 0xF4 ? 4 : 0;
        const unsigned lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;  // the second byte's range
        const unsigned hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
        char32_t cp = n == 1 ? b0 : b0 & (0x7Fu >> n);
        int k = 1;
        for (unsigned b = 0; k < n && i + k < in.size(); ++k, cp = cp << 6 | (b & 0x3F)) {
            b = static_cast<unsigned char>(in[i + k]);
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
        }
        cp = k == n ? cp : 0xFFFD;
        out += cp < 0x10000 ? std::u16string{char16_t(cp)} : std::u16string{char16_t(0xD7C0 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))};
        i += static_cast<std::size_t>(k);
    }
    return out;
}

// UTF-16 to UTF-8, a lone surrogate written as U+FFFD.
std::string Encode(std::u16string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;
        const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        out += static_cast<char>(n == 1 ? cp : (0xF00u >> n) | (cp >> (6 * (n - 1))));
        for (int k = n - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const CString a(bytes);
    Check(a.str() == Decode(bytes), "UTF-8 decoding");
    Check(a.IsWellFormed() && a.ToUtf8() == Encode(a.str()) && CString(a.ToUtf8()) == a, "UTF-8 round trip");
    Check(CString(std::string(bytes).c_str()) == CString(bytes.substr(0, bytes.find('\0'))), "const char* stops at NUL");
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    const CString b(units);
    const std::u16string cleaned = Decode(Encode(units));  // lone surrogates replaced
    Check(b.str() == units && b.IsWellFormed() == (cleaned == units), "UTF-16 units kept; IsWellFormed");
    Check(b.ToUtf8() == Encode(units) && CString(b.ToUtf8()).str() == cleaned, "UTF-8 encoding of units");
    const int c = a.str().compare(b.str());
    Check(a.Compare(b) == (c > 0) - (c < 0) && (a == b) == (c == 0) && ((a <=> b) < 0) == (c < 0), "order by code unit");
    return 0;
}
