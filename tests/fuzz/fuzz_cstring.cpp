// Fuzz target: the UTF-8 and UTF-16 conversions of CString.
//
// Every input is used twice:
// - as UTF-8 bytes: the decoded string must equal that of a reference
//   decoder, be well-formed UTF-16, encode back to valid UTF-8 that decodes to
//   the same string (one pass makes the round trip idempotent), and encode
//   back to the very input bytes when those were valid UTF-8;
// - as UTF-16 code units (bytes taken in little-endian pairs, a last odd
//   byte ignored): IsWellFormed must agree with a reference check, ToUtf8
//   must give exactly the reference encoding (a lone surrogate as U+FFFD),
//   and decoding that gives the units back with lone surrogates replaced.
// Comparison, equality, ordering and hashing are checked against the
// standard library's u16string on the two strings so made.
//
// The reference decoder follows the definition of a maximal subpart
// directly: from each position it takes the longest run of bytes that is a
// complete well-formed sequence or a prefix of one, decodes it if complete
// and replaces it by one U+FFFD if not (a byte that starts nothing is
// replaced alone). Well-formed prefixes are found in a table built once by
// encoding every Unicode scalar value, and a complete sequence is recognised
// by decoding its bits and encoding the result again, so the reference shares
// no byte-range table with the library.

#include "platform/CString.h"

#include <compare>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "CString conversion check failed: %s\n", what);
    __builtin_trap();
}

void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

std::string EncodeScalar(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 + (cp / 64));
        out += static_cast<char>(0x80 + (cp % 64));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 + (cp / 4096));
        out += static_cast<char>(0x80 + (cp / 64) % 64);
        out += static_cast<char>(0x80 + (cp % 64));
    } else {
        out += static_cast<char>(0xF0 + (cp / 262144));
        out += static_cast<char>(0x80 + (cp / 4096) % 64);
        out += static_cast<char>(0x80 + (cp / 64) % 64);
        out += static_cast<char>(0x80 + (cp % 64));
    }
    return out;
}

bool IsSurrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// Up to 3 bytes and their number in one word.
std::uint32_t Pack(std::string_view bytes) {
    std::uint32_t key = static_cast<std::uint32_t>(bytes.size()) << 24;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        key |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (16 - 8 * i);
    }
    return key;
}

// Every proper prefix (1 to 3 bytes) of the encoding of some scalar value.
// A proper prefix leaves out at least the last byte, which carries the low 6
// bits, so one value of each aligned block of 64 stands for the whole block
// (blocks never straddle a change of length or the surrogate range).
const std::unordered_set<std::uint32_t>& ProperPrefixes() {
    static const std::unordered_set<std::uint32_t> prefixes = [] {
        std::unordered_set<std::uint32_t> set;
        for (char32_t cp = 0x80; cp <= 0x10FFFF; cp += 64) {
            if (IsSurrogate(cp)) continue;
            const std::string bytes = EncodeScalar(cp);
            for (std::size_t k = 1; k < bytes.size(); ++k) set.insert(Pack(std::string_view(bytes).substr(0, k)));
        }
        return set;
    }();
    return prefixes;
}

// True when `bytes` is exactly the encoding of one scalar value; sets `cp`.
bool IsComplete(std::string_view bytes, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    std::size_t length = 0;
    if (b0 < 0x80) {
        length = 1;
        cp = b0;
    } else if ((b0 >> 5) == 0x6) {
        length = 2;
        cp = b0 & 0x1F;
    } else if ((b0 >> 4) == 0xE) {
        length = 3;
        cp = b0 & 0x0F;
    } else if ((b0 >> 3) == 0x1E) {
        length = 4;
        cp = b0 & 0x07;
    } else {
        return false;
    }
    if (bytes.size() != length) return false;
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if ((b >> 6) != 0x2) return false;
        cp = cp * 64 + (b & 0x3F);
    }
    return cp <= 0x10FFFF && !IsSurrogate(cp) && EncodeScalar(cp) == bytes;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) / 1024));
        out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) % 1024));
    }
}

// Decodes UTF-8, one U+FFFD per maximal ill-formed subpart. `errors` counts them.
std::u16string ReferenceDecode(std::string_view in, std::size_t* errors = nullptr) {
    std::u16string out;
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t k = 0;
        char32_t cp = 0;
        while (k < 4 && i + k < in.size()) {
            const std::string_view next = in.substr(i, k + 1);
            const bool prefix = next.size() < 4 && ProperPrefixes().contains(Pack(next));
            if (!prefix && !IsComplete(next, cp)) break;
            ++k;
        }
        if (k > 0 && IsComplete(in.substr(i, k), cp)) {
            AppendUtf16(out, cp);
            i += k;
        } else {
            out += u'\xFFFD';
            if (errors != nullptr) ++*errors;
            i += k > 0 ? k : 1;
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view in) {
    std::size_t errors = 0;
    ReferenceDecode(in, &errors);
    return errors == 0;
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Whether unit i is a surrogate without its partner, judged by its neighbours.
bool IsLone(std::u16string_view s, std::size_t i) {
    if (IsHigh(s[i])) return i + 1 >= s.size() || !IsLow(s[i + 1]);
    if (IsLow(s[i])) return i == 0 || !IsHigh(s[i - 1]);
    return false;
}

bool ReferenceWellFormed(std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (IsLone(s, i)) return false;
    }
    return true;
}

// The units with every lone surrogate replaced by U+FFFD.
std::u16string ReplaceLone(std::u16string_view s) {
    std::u16string out(s);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (IsLone(s, i)) out[i] = u'\xFFFD';
    }
    return out;
}

std::string ReferenceEncode(std::u16string_view s) {
    const std::u16string clean = ReplaceLone(s);
    std::string out;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        if (IsHigh(clean[i])) {
            out += EncodeScalar(0x10000 + (clean[i] - 0xD800) * 1024 + (clean[i + 1] - 0xDC00));
            ++i;
        } else {
            out += EncodeScalar(clean[i]);
        }
    }
    return out;
}

int Sign(int c) { return (c > 0) - (c < 0); }

void CheckFromUtf8(std::string_view input) {
    const CString s(input);
    Check(s.str() == ReferenceDecode(input), "UTF-8 decoding differs from the maximal-subpart reference");
    Check(CString::FromUtf8(input) == s, "FromUtf8 differs from the constructor");
    Check(s.IsWellFormed(), "decoded string is not well-formed");
    Check(ReferenceWellFormed(s.str()), "decoded string holds a lone surrogate");

    const std::string out = s.ToUtf8();
    Check(out == ReferenceEncode(s.str()), "UTF-8 encoding differs from the reference");
    Check(IsValidUtf8(out), "encoded string is not valid UTF-8");
    Check(CString(out) == s, "decoding the encoded string does not give the string back");
    Check(CString(out).ToUtf8() == out, "second round trip changes the bytes");
    if (IsValidUtf8(input)) Check(out == input, "valid UTF-8 does not survive the round trip");

    // A const char* stops at the first NUL.
    const std::string terminated(input);
    const CString fromPointer(terminated.c_str());
    Check(fromPointer == CString(input.substr(0, input.find('\0'))), "const char* constructor");
}

void CheckFromUtf16(std::u16string_view units) {
    const CString s{std::u16string(units)};
    Check(s.str() == units, "units are not kept as given");
    Check(s.IsWellFormed() == ReferenceWellFormed(units), "IsWellFormed differs from the reference check");

    const std::string out = s.ToUtf8();
    Check(out == ReferenceEncode(units), "UTF-8 encoding of units differs from the reference");
    Check(IsValidUtf8(out), "encoding of units is not valid UTF-8");
    const CString back(out);
    Check(back.str() == ReplaceLone(units), "decoding gives other units than the lone-replaced input");
    Check(back.IsWellFormed(), "decoded encoding is not well-formed");
    if (ReferenceWellFormed(units)) Check(back == s, "well-formed units do not survive the round trip");

    const std::u16string terminated(units);
    Check(CString(terminated.c_str()).str() == units.substr(0, units.find(u'\0')), "const char16_t* constructor");
}

void CheckOrdering(const CString& a, const CString& b) {
    const int expected = Sign(a.str().compare(b.str()));
    Check(a.Compare(b) == expected, "Compare differs from code-unit order");
    Check(b.Compare(a) == -expected, "Compare is not antisymmetric");
    Check((a == b) == (expected == 0), "operator== differs from Compare");
    Check(((a <=> b) < 0) == (expected < 0) && ((a <=> b) > 0) == (expected > 0), "operator<=> differs from Compare");
    if (a == b) Check(std::hash<CString>{}(a) == std::hash<CString>{}(b), "equal strings hash differently");
    Check((a + b).str() == a.str() + b.str(), "concatenation");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static_cast<void>(ProperPrefixes());  // built once, outside the timed runs
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckFromUtf8(bytes);

    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    CheckFromUtf16(units);

    const CString a(bytes);
    const CString b{units};
    CheckOrdering(a, b);
    CheckOrdering(a, a);
    CheckOrdering(b, CString(b.ToUtf8()));
    return 0;
}
