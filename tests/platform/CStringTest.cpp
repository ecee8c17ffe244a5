#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/Diagnostics.h>

#include <gtest/gtest.h>

#include <type_traits>


TEST(CStringTest, OrdersByCodeUnitNotByCodePointOrCase) {
    const std::pair<CString, CString> ascending[] = {
        {u"\U00010000", u"\uFFFF"},  // D800 DC00 sorts before FFFF
        {u"Route", u"route"},
        {u"", std::u16string(1, u'\0')},
        {u"a", u"ab"},
    };
    for (const auto& [low, high] : ascending) {
        EXPECT_TRUE(low < high && low.Compare(high) == -1 && high.Compare(low) == 1 && high.Compare(high) == 0)
            << low.ToUtf8() << " < " << high.ToUtf8();
    }
}

// Well-formed UTF-8 of every plane round-trips. Each maximal ill-formed subpart becomes one U+FFFD from
// bytes; from char8_t text, which converts implicitly, each ill-formed byte stays as U+DC00 + byte, reported.
TEST(CStringTest, Utf8DecodesEveryPlaneAndEachIllFormedSubpartToOneReplacementOrToItsBytes) {
    static_assert(std::is_convertible_v<decltype(u8"k"), CString> && !std::is_convertible_v<const char*, CString>);
    const struct { std::string utf8; std::u16string fromBytes, fromChar8; } cases[] = {  // fromChar8 "": as fromBytes
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x9A\xA2 /tmp/a b", u"Grüße € 🚢 /tmp/a b", u""},
        {"a\x80" "b", u"a\uFFFDb", u"a\xDC80" u"b"},                          // stray continuation byte
        {"\xC3", u"\uFFFD", u"\xDCC3"},                                        // truncated at the end
        {"\xE2\x82" "x", u"\uFFFDx", u"\xDCE2\xDC82" u"x"},                     // a truncated sequence is one subpart
        {"\xC0\xAF", u"\uFFFD\uFFFD", u"\xDCC0\xDCAF"},                         // overlong: C0 and C1 never start one
        {"\xC1\xBF", u"\uFFFD\uFFFD", u"\xDCC1\xDCBF"},
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", u"\xDCE0\xDC80\xDCAF"},          // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", u"\xDCED\xDCA0\xDC80"},          // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", u"\xDCF4\xDC90\xDC80\xDC80"},  // above U+10FFFF
        {"\xFF\xFE", u"\uFFFD\uFFFD", u"\xDCFF\xDCFE"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3), u""},  // a length keeps NULs
    };
    int reports = 0;
    const brim::DiagnosticHandler previous = brim::SetDiagnosticHandler([&](const brim::Diagnostic& d) {
        reports += d.kind == brim::DiagnosticKind::TextNotUtf8;
    });
    for (const auto& [utf8, fromBytes, fromChar8] : cases) {
        const CString s{std::string_view(utf8)};
        EXPECT_TRUE(s.str() == fromBytes && s.IsWellFormed() && CString(s.ToUtf8()) == s) << testing::PrintToString(utf8);
        brim::ForgetReportedDiagnostics();
        reports = 0;
        const bool kept = !fromChar8.empty();
        const CString t = std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size());
        EXPECT_TRUE(t.str() == (kept ? fromChar8 : fromBytes) && t.IsWellFormed() != kept && reports == int{kept})
            << testing::PrintToString(utf8);
    }
    brim::SetDiagnosticHandler(previous);
    EXPECT_EQ(CString(u8"Gr\u00FC\u00DFe \U0001F6A2").view(), u"Grüße 🚢");
    EXPECT_EQ(CString(cases[0].fromBytes).ToUtf8(), cases[0].utf8);
    EXPECT_TRUE(CString("a\0b").GetLength() == 1 && CString(u8"a\0b").GetLength() == 1);  // stop at the first NUL
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty() && CString(static_cast<const char8_t*>(nullptr)).IsEmpty());
    CString joined(u"ab");
    const CString copy = joined;  // shares the units until one of them changes
    EXPECT_TRUE((joined += CString(std::u16string_view(u"c\0d", 3))).view() == std::u16string_view(u"abc\0d", 5) &&
                copy.view() == u"ab");
}
