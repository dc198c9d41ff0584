#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/host_interface.h"
#include "test_support.h"

namespace {

int called_slot = -1;
int last_category, last_priority;
char last_text[256];

int fake_log_text(int category, int priority, const char* text)
{
    called_slot = SlotLogText;
    last_category = category;
    last_priority = priority;
    snprintf(last_text, sizeof last_text, "%s", text);
    return 1;
}

int fake_log_format(int category, int priority, const char* format, ...)
{
    called_slot = SlotLogFormat;
    last_category = category;
    last_priority = priority;
    va_list args;
    va_start(args, format);
    vsnprintf(last_text, sizeof last_text, format, args);
    va_end(args);
    return 1;
}

StatHandle fake_register(StatHandle module, const char* name, int a, int b, int c, int d)
{
    snprintf(last_text, sizeof last_text, "%d %s %d %d %d %d", static_cast<int>(module), name, a, b, c, d);
    return 77;
}

} // namespace

// The typed calls read their pointers from the byte offsets the mail server
// uses, so a hand-built buffer with pointers at those bytes must be reached.
TEST(HostRecord, CallsReachTheDocumentedByteOffsets)
{
    std::vector<unsigned char> bytes(366, 0xCC);
    uint32_t size = 366;
    memcpy(bytes.data(), &size, 4);
    bytes[4] = 4;
    bytes[5] = 198;
    auto put = [&](size_t offset, auto fn) { memcpy(bytes.data() + offset, &fn, 4); };
    put(358, &fake_log_text);
    put(362, &fake_log_format);
    put(330, &fake_register);
    auto* h = reinterpret_cast<HostInterface*>(bytes.data());

    EXPECT_EQ(h->size, 366u);
    EXPECT_EQ(h->version_major, 4);
    EXPECT_EQ(h->version_minor, 198);

    host_log_text(h, 10, 5, "plain");
    EXPECT_EQ(called_slot, SlotLogText);
    EXPECT_STREQ(last_text, "plain");
    EXPECT_EQ(last_category, 10);
    EXPECT_EQ(last_priority, 5);

    host_log_format(h, 20, 15, "Host %s is dead (%d).", "mailhub", 7);
    EXPECT_EQ(called_slot, SlotLogFormat);
    EXPECT_STREQ(last_text, "Host mailhub is dead (7).");

    EXPECT_EQ(host_register_statistic(h, 5, "Failures"), 77);
    EXPECT_STREQ(last_text, "5 Failures 1 0 4 1");
}

TEST(HostRecord, ShortRecordsAreNotUsable)
{
    std::vector<unsigned char> bytes(400, 0);
    auto* h = reinterpret_cast<HostInterface*>(bytes.data());
    h->size = 365;
    EXPECT_FALSE(host_record_usable(h));
    h->size = 0;
    EXPECT_FALSE(host_record_usable(h));
    h->size = 366;
    EXPECT_TRUE(host_record_usable(h));
    EXPECT_FALSE(host_record_usable(nullptr));
}

// The stand-in's record is what every other test and the demo use: its
// operations must sit where the daemon looks for them.
TEST_F(HostTest, StandinRecordAnswersThroughEverySlot)
{
    HostInterface* h = host();
    EXPECT_GE(h->size, HostInterfaceMinSize);
    EXPECT_STREQ(host_get_value(h, HostValueDomain), "example.test");

    StatHandle module = host_register_module_statistics(h, "HostStatus");
    ASSERT_NE(module, 0);
    StatHandle category = host_register_statistic(h, module, "TotalTests");
    ASSERT_NE(category, 0);
    host_bump_statistic(h, category);
    host_bump_statistic(h, 0);
    EXPECT_EQ(standin_statistic("TotalTests"), 1);
    EXPECT_EQ(standin_zero_handle_bumps(), 1);

    Job job = host_create_job(h, "korval-daemon@example.test");
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(host_add_recipient(h, job, "admin@example.test"), 1);
    EXPECT_EQ(host_add_recipient(h, job, "no-at-sign"), 0);
    host_write_job_text(h, job, "Subject: x\r\n");
    char date[40];
    EXPECT_NE(host_format_date(h, date), nullptr);
    char id[40];
    host_make_unique_id(h, id);
    host_close_job(h, job);
    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_TRUE(jobs[0].closed);
    EXPECT_EQ(jobs[0].text, "Subject: x\r\n");
    EXPECT_EQ(jobs[0].recipients, std::vector<std::string>{"admin@example.test"});

    char target[400] = "";
    EXPECT_EQ(host_alias_op(h, AliasLookup, target, "korval-daemon@example.test"), 0);
    EXPECT_NE(host_alias_op(h, AliasAdd, "korval-daemon@example.test", "Daemon:korval.dll"), 0);
    EXPECT_NE(host_alias_op(h, AliasLookup, target, "korval-daemon@example.test"), 0);
    EXPECT_STREQ(target, "Daemon:korval.dll");
    EXPECT_NE(host_alias_op(h, AliasDelete, "korval-daemon@example.test", nullptr), 0);

    EXPECT_EQ(host_module_state(h, "MERCURYS", 0, 0) & 1, 1);
    EXPECT_GE(host_module_state(h, "MERCURYS", 1, 0), 0);
    EXPECT_EQ(host_module_state(h, "MERCURYS", 0, 0) & 1, 0);

    Job delivered = standin_delivered_job("<>");
    unsigned char info[JobInfoSize];
    ASSERT_NE(host_get_job_info(h, delivered, info), 0);
    const char* sender;
    memcpy(&sender, info + JobInfoSenderOffset, sizeof sender);
    EXPECT_STREQ(sender, "<>");

    standin_seal();
    host_log_text(h, 0, 5, "late");
    EXPECT_EQ(standin_late_calls(), 1);
}

// The format check of host_log_format must not evaluate the arguments a
// second time.
TEST_F(HostTest, LogFormatEvaluatesEachArgumentOnce)
{
    int calls = 0;
    host_log_format(host(), 1, 20, "call %d", ++calls);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(logged().back(), "1 20 call 1");
}
