// The probe's identity in its envelope sender: only a sender with this
// life's token and the daemon's own local part and domain is a probe back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "checks/probe_sender.h"

namespace {

const char* const Daemon = "korval-daemon@example.test";
const char* const Token = "0123456789abcdef";

TEST(ProbeSender, IsFormedFromTheDaemonsAddressTokenAndNumber)
{
    char sender[100];
    ASSERT_TRUE(format_probe_sender(sender, sizeof sender, Daemon, Token, 4294967295u));
    EXPECT_STREQ(sender, "korval-daemon-0123456789abcdef-4294967295@example.test");
    // The last '@' parts local part from domain.
    ASSERT_TRUE(format_probe_sender(sender, sizeof sender, "a@b@c.test", Token, 7));
    EXPECT_STREQ(sender, "a@b-0123456789abcdef-7@c.test");
    EXPECT_FALSE(format_probe_sender(sender, sizeof sender, "no-domain", Token, 1));
    EXPECT_FALSE(format_probe_sender(sender, sizeof sender, "@example.test", Token, 1));
    EXPECT_FALSE(format_probe_sender(sender, 20, Daemon, Token, 1));
    EXPECT_EQ(strlen(sender), 19u);
}

TEST(ProbeSender, OnlyThisLifesTokenWithANumberIsAProbeBack)
{
    const struct {
        const char* sender;
        int kind;
        uint32_t number;
    } rows[] = {
        {"korval-daemon-0123456789abcdef-7@example.test", ProbeOfThisLife, 7},
        {"<KORVAL-DAEMON-0123456789ABCDEF-12@EXAMPLE.TEST>", ProbeOfThisLife, 12},
        // The daemon's plain address is what an outsider can forge.
        {"korval-daemon@example.test", NotAProbe, 0},
        {"", NotAProbe, 0},
        {"<>", NotAProbe, 0},
        // Another life's token, or none that parses.
        {"korval-daemon-fedcba9876543210-7@example.test", ProbeOfAnotherLife, 0},
        {"korval-daemon-0123456789abcdeg-7@example.test", NotAProbe, 0},
        {"korval-daemon-0123456789abcde-17@example.test", NotAProbe, 0},
        // No number, a number that is no number or does not fit in 32 bits.
        {"korval-daemon-0123456789abcdef-@example.test", NotAProbe, 0},
        {"korval-daemon-0123456789abcdef-7x@example.test", NotAProbe, 0},
        {"korval-daemon-0123456789abcdef-4294967296@example.test", NotAProbe, 0},
        // Another local part or domain.
        {"korval-other-0123456789abcdef-7@example.test", NotAProbe, 0},
        {"korval-daemon-0123456789abcdef-7@example.test.evil", NotAProbe, 0},
        {"korval-daemon-0123456789abcdef-7@other.test", NotAProbe, 0},
        {"x-korval-daemon-0123456789abcdef-7@example.test", NotAProbe, 0},
        {"<korval-daemon-0123456789abcdef-7@example.test", NotAProbe, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sender);
        uint32_t number = 0;
        EXPECT_EQ(read_probe_sender(row.sender, Daemon, Token, &number), row.kind);
        EXPECT_EQ(number, row.number);
    }
    // Before this life has a token every probe is another life's.
    uint32_t number = 0;
    EXPECT_EQ(read_probe_sender("korval-daemon-0123456789abcdef-7@example.test", Daemon, "", &number),
              ProbeOfAnotherLife);
}

} // namespace
