// The bounded formatter sits on the system's _vsnprintf, which neither
// terminates a text that fills the buffer exactly nor tells the length of
// one that does not fit: these edges are where it can go wrong.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

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
