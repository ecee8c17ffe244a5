#include <BrimSubscriber/platform/CString.h>

#include <gtest/gtest.h>


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

// Well-formed UTF-8 of every plane round-trips; each maximal ill-formed subpart becomes one U+FFFD.
TEST(CStringTest, Utf8DecodesEveryPlaneAndEachIllFormedSubpartToOneReplacement) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x9A\xA2 /tmp/a b", u"Grüße € 🚢 /tmp/a b"},
        {"a\x80" "b", u"a\uFFFDb"},                         // stray continuation byte
        {"\xC3", u"\uFFFD"},                                // truncated at the end
        {"\xE2\x82" "x", u"\uFFFDx"},                       // a truncated sequence is one subpart
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong: C0 and C1 never start one
        {"\xC1\xBF", u"\uFFFD\uFFFD"},
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xFF\xFE", u"\uFFFD\uFFFD"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // a length keeps NULs
    };
    for (const auto& [utf8, expected] : cases) {
        const CString s{std::string_view(utf8)};
        EXPECT_TRUE(s.str() == expected && s.IsWellFormed() && CString(s.ToUtf8()) == s) << testing::PrintToString(utf8);
    }
    EXPECT_EQ(CString(cases[0].second).ToUtf8(), cases[0].first);
    EXPECT_EQ(CString("a\0b").GetLength(), 1);  // a C string stops at the first NUL
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
    CString joined(u"ab");
    const CString copy = joined;  // shares the units until one of them changes
    EXPECT_TRUE((joined += CString(std::u16string_view(u"c\0d", 3))).view() == std::u16string_view(u"abc\0d", 5) &&
                copy.view() == u"ab");
}
