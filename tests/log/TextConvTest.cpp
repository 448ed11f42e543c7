// The code-page seam against UTF-8 written out by hand: ASCII runs of every length up to a
// few words, cut by two-, three- and four-byte characters, so that a run ends on every
// alignment; and every output buffer short of the need, which must fail with 122 and not
// write past its end. The same cases run on the simulation and on the real calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/lib/platform/LastError.h"
#include "shared/lib/platform/TextConv.h"
#include "shared/lib/platform/WinErrors.h"

namespace qp = quor::platform;

namespace {

struct Piece {
    std::u16string wide;
    std::string utf8;
};

const Piece kBreaks[] = {
    {u"\u00e9", "\xc3\xa9"},
    {u"\u20ac", "\xe2\x82\xac"},
    {u"\U0001F600", "\xf0\x9f\x98\x80"},
};

// Every ASCII run of 0..17 units, each followed by one of the breaks, and a run after the
// last break.
std::vector<Piece> Cases()
{
    std::vector<Piece> cases;
    for (int run = 0; run <= 17; ++run) {
        for (const Piece& b : kBreaks) {
            Piece c;
            for (int i = 0; i < run; ++i) {
                c.wide += static_cast<char16_t>(u'a' + i % 26);
                c.utf8 += static_cast<char>('a' + i % 26);
            }
            c.wide += b.wide + u"tail0123456789";
            c.utf8 += b.utf8 + "tail0123456789";
            cases.push_back(c);
        }
        Piece ascii;
        ascii.wide.assign(static_cast<std::size_t>(run) + 1, u'z');
        ascii.utf8.assign(static_cast<std::size_t>(run) + 1, 'z');
        cases.push_back(ascii);
    }
    return cases;
}

}  // namespace

TEST(TextConv, BothDirectionsMatchTheUtf8OfEveryRunLength)
{
    for (const Piece& c : Cases()) {
        SCOPED_TRACE(c.utf8);
        const int units = static_cast<int>(c.wide.size());
        const int bytes = static_cast<int>(c.utf8.size());
        ASSERT_EQ(qp::WideToUtf8Bytes(c.wide.data(), units, nullptr, 0), bytes);
        std::string out(c.utf8.size() + 1, '#');
        ASSERT_EQ(qp::WideToUtf8Bytes(c.wide.data(), units, out.data(), bytes), bytes);
        EXPECT_EQ(out, c.utf8 + "#");

        ASSERT_EQ(qp::Utf8ToWideUnitsN(c.utf8.data(), bytes, nullptr, 0), units);
        std::u16string back(c.wide.size() + 1, u'#');
        ASSERT_EQ(qp::Utf8ToWideUnitsN(c.utf8.data(), bytes, back.data(), units), units);
        EXPECT_EQ(back, c.wide + u"#");
    }
}

TEST(TextConv, AnOutputShortOfTheNeedFailsWith122AndStaysInsideIt)
{
    // Every room from one byte (one unit) to one short, so that the room runs out at every
    // place of an ASCII run and inside a multi-byte character.
    for (const Piece& c : Cases()) {
        SCOPED_TRACE(c.utf8);
        const int units = static_cast<int>(c.wide.size());
        const int bytes = static_cast<int>(c.utf8.size());
        for (int room = 1; room < bytes; ++room) {
            SCOPED_TRACE(room);
            std::string out(c.utf8.size(), '#');
            EXPECT_EQ(qp::WideToUtf8Bytes(c.wide.data(), units, out.data(), room), 0);
            EXPECT_EQ(qp::LastError(), qp::kErrorInsufficientBuffer);
            const auto r = static_cast<std::size_t>(room);
            EXPECT_EQ(out.substr(r), std::string(out.size() - r, '#'));
        }
        for (int room = 1; room < units; ++room) {
            SCOPED_TRACE(room);
            std::u16string back(c.wide.size(), u'#');
            EXPECT_EQ(qp::Utf8ToWideUnitsN(c.utf8.data(), bytes, back.data(), room), 0);
            EXPECT_EQ(qp::LastError(), qp::kErrorInsufficientBuffer);
            const auto r = static_cast<std::size_t>(room);
            EXPECT_EQ(back.substr(r), std::u16string(back.size() - r, u'#'));
        }
    }
}
