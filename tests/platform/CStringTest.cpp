#include "platform/CString.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(CStringTest, OrdersByCodeUnitNotByCodePointOrCase) {
    // U+10000 is stored as D800 DC00, which sorts before U+FFFF by code unit.
    const CString supplementary(u"\U00010000");
    const CString bmpMax(u"\uFFFF");
    EXPECT_LT(supplementary, bmpMax);
    EXPECT_LT(supplementary.Compare(bmpMax), 0);
    EXPECT_GT(bmpMax.Compare(supplementary), 0);

    EXPECT_NE(CString(u"Route"), CString(u"route"));
    EXPECT_LT(CString(u"Route"), CString(u"route"));  // 'R' (0x52) < 'r' (0x72)
    EXPECT_EQ(CString(u"Route").Compare(CString(u"Route")), 0);

    std::multimap<CString, int> keys{{CString(u"b"), 1}, {CString(u"a"), 2}, {CString(u"B"), 3}};
    std::u16string order;
    for (const auto& [key, value] : keys) order += key.str();
    EXPECT_EQ(order, u"Bab");
}

TEST(CStringTest, Utf8RoundTripKeepsEveryPlane) {
    const std::string text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x9A\xA2 /tmp/a b";
    const CString s(text);
    EXPECT_TRUE(s.IsWellFormed());
    EXPECT_EQ(s.ToUtf8(), text);
    EXPECT_EQ(s, CString(u"Grüße € 🚢 /tmp/a b"));
}

TEST(CStringTest, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
    struct Case {
        std::string utf8;
        std::u16string expected;
    };
    const Case cases[] = {
        {"a\x80" "b", u"a\uFFFDb"},                 // stray continuation byte
        {"\xC3", u"\uFFFD"},                        // truncated at the end
        {"\xE2\x82" "x", u"\uFFFDx"},               // truncated three-byte sequence is one subpart
        {"\xC0\xAF", u"\uFFFD\uFFFD"},              // overlong: C0 can never start a sequence
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},    // encoded surrogate is rejected byte by byte
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xFF\xFE", u"\uFFFD\uFFFD"},
    };
    for (const Case& c : cases) {
        const CString s(std::string_view(c.utf8));
        EXPECT_EQ(s.str(), c.expected) << "input of " << c.utf8.size() << " bytes";
        EXPECT_TRUE(s.IsWellFormed());
    }
}

TEST(CStringTest, LoneSurrogatesAreReportedAndWrittenAsReplacement) {
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    const CString s(lone);
    EXPECT_FALSE(s.IsWellFormed());
    EXPECT_EQ(s.ToUtf8(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    const char16_t trailingHigh[] = {u'x', 0xDBFF, 0};
    EXPECT_FALSE(CString(trailingHigh).IsWellFormed());
}

TEST(CStringTest, NullAndEmbeddedNulInputs) {
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
    EXPECT_TRUE(CString(static_cast<const char16_t*>(nullptr)).IsEmpty());
    const CString withNul(std::string_view("a\0b", 3));
    EXPECT_EQ(withNul.GetLength(), 3);
    EXPECT_EQ(CString("a\0b").GetLength(), 1);  // a C string stops at the first NUL
}

}  // namespace
