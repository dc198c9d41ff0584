// The bounded formatter sits on the system's _vsnprintf, which neither
// terminates a text that fills the buffer exactly nor tells the length of
// one that does not fit: these edges are where it can go wrong.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr char Canary = '\x7e';

struct Area {
    char bytes[64];
    Area() { memset(bytes, Canary, sizeof bytes); }
    // No byte at or after size may have been touched.
    bool untouched_from(size_t size) const
    {
        for (size_t i = size; i < sizeof bytes; ++i)
            if (bytes[i] != Canary)
                return false;
        return true;
    }
};

} // namespace

TEST(FormatText, TerminatesCutsAndNeverOverflowsAtEverySize)
{
    const std::string whole = "Host 127.0.0.1 is dead.";
    // Sizes around the text's length: one short of the terminator, exactly
    // filled without it, and fitting.
    for (size_t size = 1; size <= whole.size() + 2; ++size) {
        Area area;
        int fitted = format_text(area.bytes, size, "Host %s is dead.", "127.0.0.1");
        SCOPED_TRACE(size);
        EXPECT_EQ(fitted, whole.size() < size ? 1 : 0);
        EXPECT_EQ(std::string(area.bytes), whole.substr(0, size - 1));
        EXPECT_TRUE(area.untouched_from(size));
    }
}

namespace {

template <typename... Args>
std::string formatted(const char* format, Args... args)
{
    char buffer[64];
    EXPECT_EQ(format_text(buffer, sizeof buffer, format, args...), 1);
    return buffer;
}

} // namespace

TEST(FormatText, EveryFormatTheDaemonUses)
{
    EXPECT_EQ(formatted("Error %0X opening WinSock", 0x2AF9), "Error 2AF9 opening WinSock");
    EXPECT_EQ(formatted("<DM%02x%02x%02x%02x%02x@%s>", 0, 255, 10, 123, 128, "example.test"),
              "<DM00ff0a7b80@example.test>");
    EXPECT_EQ(formatted("%d MB from %d MB", INT_MIN, 0), "-2147483648 MB from 0 MB");
    EXPECT_EQ(formatted("%d.%02d", 3, 5), "3.05");
    // A hostile text goes in as an argument and comes out as written.
    EXPECT_EQ(formatted("Drive %s;", "%s%n\\"), "Drive %s%n\\;");
    EXPECT_EQ(formatted("%s", ""), "");
}

TEST(FormatText, CutNumberKeepsItsLeadingDigits)
{
    Area area;
    EXPECT_EQ(format_text(area.bytes, 5, "%d", -123456), 0);
    EXPECT_STREQ(area.bytes, "-123");
    EXPECT_TRUE(area.untouched_from(5));
}

TEST(CopyAndAppendText, CutToTheBufferAndAlwaysTerminated)
{
    Area area;
    EXPECT_EQ(copy_text(area.bytes, 4, "abc"), 1);
    EXPECT_EQ(append_text(area.bytes, 4, ""), 1);
    EXPECT_EQ(append_text(area.bytes, 4, "d"), 0);
    EXPECT_STREQ(area.bytes, "abc");
    EXPECT_EQ(copy_text(area.bytes, 4, "abcd"), 0);
    EXPECT_STREQ(area.bytes, "abc");
    EXPECT_EQ(copy_text(area.bytes, 4, nullptr), 1);
    EXPECT_STREQ(area.bytes, "");
    EXPECT_TRUE(area.untouched_from(4));

    // A buffer that lost its terminator is mended, not read past.
    memset(area.bytes, 'x', 4);
    EXPECT_EQ(append_text(area.bytes, 4, "y"), 0);
    EXPECT_STREQ(area.bytes, "xxx");
    EXPECT_TRUE(area.untouched_from(4));
}

TEST(AppendFormatAndItem, CutAtEveryRoomLeftAndNeverPastTheBuffer)
{
    // What is there, the room, and what the buffer holds after: whole,
    // cut inside the appended text, and a buffer that lost its terminator.
    const struct {
        const char* before;
        size_t size;
        const char* after;
        int whole;
    } Rows[] = {
        {"ab", 16, "ab, 7 more", 1},
        {"ab", 9, "ab, 7 mo", 0},
        {"ab", 3, "ab", 0},
        {"", 16, ", 7 more", 1},
    };
    for (const auto& row : Rows) {
        SCOPED_TRACE(row.size);
        Area area;
        copy_text(area.bytes, row.size, row.before);
        EXPECT_EQ(append_format(area.bytes, row.size, ", %d more", 7), row.whole);
        EXPECT_STREQ(area.bytes, row.after);
        EXPECT_TRUE(area.untouched_from(row.size));
    }
    Area area;
    memset(area.bytes, 'x', 4);
    EXPECT_EQ(append_format(area.bytes, 4, "%s", "y"), 0);
    EXPECT_STREQ(area.bytes, "xxx");
    EXPECT_TRUE(area.untouched_from(4));

    // Items join with ", " after the first, and a full list stays cut.
    Area list;
    list.bytes[0] = '\0';
    for (const char* item : {"zen.spamhaus.org", "bl.spamcop.net", "b.barracudacentral.org"})
        append_item(list.bytes, 40, item);
    EXPECT_STREQ(list.bytes, "zen.spamhaus.org, bl.spamcop.net, b.bar");
    EXPECT_TRUE(list.untouched_from(40));
}

TEST(Divide, QuotientAndRemainderOverTheWhole64Bits)
{
    const struct {
        uint64_t a, b, quotient, remainder;
    } Rows[] = {
        {0, 7, 0, 0},
        {2345, 1000, 2, 345},
        {UINT64_MAX, 1000, 18446744073709551ull, 615},
        {(1ull << 40) + 5, 1ull << 33, 128, 5},
        {UINT64_MAX, UINT64_MAX, 1, 0},
    };
    for (const auto& row : Rows) {
        uint64_t remainder = 99;
        EXPECT_EQ(divide(row.a, row.b, remainder), row.quotient);
        EXPECT_EQ(remainder, row.remainder);
    }
    EXPECT_STREQ(seconds_of(UINT64_MAX).text, "18446744073709551.615");
}
