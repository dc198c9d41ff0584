#include <string>
#include <vector>

#include "settings_test_support.h"

namespace {

struct Parsed {
    std::vector<std::string> mail, sms;
    std::string mail_list, sms_list;
};

Parsed parse(const std::string& line)
{
    RecipientLists lists{};
    build_recipients(lists, line.c_str());
    Parsed p;
    for (int k = 0; k < lists.MailCount; ++k)
        p.mail.push_back(lists.MailRecipients[k]);
    for (int k = 0; k < lists.SmsCount; ++k)
        p.sms.push_back(lists.SmsRecipients[k]);
    p.mail_list = lists.MailList;
    p.sms_list = lists.SmsList;
    return p;
}

using Names = std::vector<std::string>;

TEST(NextAddress, CutsAtUnquotedSeparatorsNeverAtTheFirstCharacter)
{
    char list[64] = "\"a,b\";x@y,;z@w,";
    char out[16];
    std::vector<std::string> cut;
    while (next_address(out, sizeof out, list))
        cut.push_back(out);
    EXPECT_EQ(cut, (Names{"\"a,b\"", "x@y", ";z@w"}));
    EXPECT_STREQ(list, "");

    // The output is cut to its buffer; the list still loses the whole address.
    char longer[64] = "abcdefghij@example.test;k@l";
    EXPECT_EQ(next_address(out, 8, longer), 1);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_STREQ(longer, "k@l");
}

TEST(Recipients, MailAndSmsAddressesAreSortedByTheirLastSeparator)
{
    Parsed p = parse("a@b;c@d");
    EXPECT_EQ(p.mail, (Names{"a@b", "c@d"}));
    EXPECT_EQ(p.mail_list, "a@b,c@d");
    EXPECT_TRUE(p.sms.empty());

    p = parse("0171555:sms.example.test,a@b:c,x:y@b,plain");
    EXPECT_EQ(p.sms, (Names{"0171555@sms.example.test", "a@b@c"}));
    EXPECT_EQ(p.sms_list, "0171555@sms.example.test,a@b@c");
    EXPECT_EQ(p.mail, (Names{"x:y@b"}));

    p = parse("\"Doe, John\" <jd@example.test>, c@d,,e@f,");
    EXPECT_EQ(p.mail, (Names{"\"Doe, John\" <jd@example.test>", " c@d", ",e@f"}));
    EXPECT_EQ(p.mail_list, "\"Doe, John\" <jd@example.test>, c@d,,e@f");

    p = parse("");
    EXPECT_TRUE(p.mail.empty() && p.sms.empty());
    EXPECT_EQ(p.mail_list + p.sms_list, "");
}

TEST(Recipients, AtMostFiveInBothTablesAndNoneCut)
{
    Parsed p = parse("a@1,a@2,a@3,a@4,5:s1,6:s2,7:s3");
    EXPECT_EQ(p.mail.size(), 4u);
    EXPECT_EQ(p.sms, (Names{"5@s1"}));

    p = parse("junk,a@1,a@2,a@3,a@4,a@5,a@6");
    EXPECT_EQ(p.mail, (Names{"a@1", "a@2", "a@3", "a@4", "a@5"}));

    // An address too long for a slot is dropped and does not count.
    std::string huge = std::string(100, 'x') + "@example.test";
    std::string longest = std::string(86, 'y') + "@example.test";
    p = parse(huge + "," + longest + ",a@1,a@2,a@3,a@4,a@5");
    EXPECT_EQ(p.mail, (Names{longest, "a@1", "a@2", "a@3", "a@4"}));
}

TEST_F(SettingsTest, ParseRecipientsRebuildsTheSharedLists)
{
    copy_text(Settings.Mail, "a@b,1:c,d@e");
    parse_recipients();
    EXPECT_EQ(Recipients.MailCount, 2);
    EXPECT_EQ(Recipients.SmsCount, 1);
    copy_text(Settings.Mail, "2:f");
    parse_recipients();
    EXPECT_EQ(Recipients.MailCount, 0);
    EXPECT_STREQ(Recipients.MailList, "");
    EXPECT_STREQ(Recipients.SmsList, "2@f");
}

} // namespace
