#include <gtest/gtest.h>

#include <string>

#include "shared/log/LogException.h"
#include "shared/log/LogFile.h"
#include "shared/log/WideToUtf8.h"

using quor::LogException;
using quor::WideToUtf8;

TEST(WideToUtf8, ConvertsAndSizesExactly)
{
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"plain ascii", "plain ascii"},
        {u"caf\u00e9 \u20ac", "caf\xc3\xa9 \xe2\x82\xac"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},               // surrogate pair
        {std::u16string(1, u'\xD800') + u"x", "\xef\xbf\xbdx"},  // unpaired surrogate -> U+FFFD
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},    // embedded NUL kept
    };
    for (const Case& c : cases) {
        std::string out = "previous content";
        WideToUtf8(c.in, out);
        EXPECT_EQ(out, c.out);
        WideToUtf8(c.in, out, true);
        ASSERT_EQ(out.size(), c.out.size() + 1);
        EXPECT_EQ(out.back(), '\0');
        EXPECT_EQ(out.substr(0, c.out.size()), c.out);
    }
}

TEST(WideToUtf8, EmptyInputClearsOutput)
{
    std::string out = "something";
    WideToUtf8(u"", out);
    EXPECT_TRUE(out.empty());
    out = "again";
    WideToUtf8(u"", out, true);
    EXPECT_TRUE(out.empty());
}

TEST(WideToUtf8, TooLongInputThrowsBeforeTouchingIt)
{
    const char16_t small[4] = {u'a', u'b', u'c', 0};
    // Only the length is looked at before the exception, never the characters.
    const std::u16string_view huge(small, quor::kMaxWideToUtf8Units + 1);
    std::string out;
    try {
        WideToUtf8(huge, out);
        FAIL() << "expected LogException";
    } catch (const LogException& e) {
        EXPECT_STREQ(e.what(), "UTF-16 string is too big to be converted to UTF-8");
    }
}

TEST(EventLogReport, ReportSucceedsWithTheSystemSource)
{
    quor::LogFile file;
    EXPECT_NO_THROW(file.ReportToEventLog("quor test report: event log reachable"));
    EXPECT_NO_THROW(file.ReportToEventLog("quor test report: source registered once, reused"));
}
