#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "checks/drives.h"
#include "host/daemon.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"
#include "status/digest.h"
#include "test_support.h"

namespace {

const char* const DateText = "Tue, 04 Mar 2025 10:00:00 +0100";

std::string with_date(std::string text)
{
    const std::string mark = "<date>";
    for (size_t at; (at = text.find(mark)) != std::string::npos;)
        text.replace(at, mark.size(), DateText);
    return text;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The header block every message of the test host starts with.
std::string header_block(const std::string& to)
{
    return with_date("From: korval-daemon@example.test\r\n"
                     "To: " + to + "\r\n"
                     "Date: <date>\r\n"
                     "MIME-Version: 1.0\r\n"
                     "Content-type: text/plain; charset=ISO-8859-1\r\n"
                     "Content-transfer-encoding: 7BIT\r\n"
                     "Message-ID: <DM0aff80007f@example.test>\r\n");
}

void fill(char (*slots)[AddressSize], int& count, char* list, std::vector<const char*> addresses)
{
    count = static_cast<int>(addresses.size());
    list[0] = '\0';
    for (int i = 0; i < count; ++i) {
        copy_text(slots[i], AddressSize, addresses[i]);
        if (i > 0)
            append_text(list, ListSize, ",");
        append_text(list, ListSize, addresses[i]);
    }
}

void mail_to(std::vector<const char*> addresses)
{
    fill(Recipients.MailRecipients, Recipients.MailCount, Recipients.MailList, addresses);
}

void sms_to(std::vector<const char*> addresses)
{
    fill(Recipients.SmsRecipients, Recipients.SmsCount, Recipients.SmsList, addresses);
}

class Report : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        start_host(HostOptions());
    }

    void start_host(HostOptions options)
    {
        options.fixed_unique_id = true;
        options.unique_id = {0x0A, 0xFF, 0x80, 0x00, 0x7F};
        options.date_text = DateText;
        standin_reset(options);
        HostInterfaceCopy = standin_record();
        Failures = host_register_statistic(HostInterfaceCopy,
                                           host_register_module_statistics(HostInterfaceCopy, "HostStatus"),
                                           "Failures");
        copy_text(Settings.DaemonAddress, "korval-daemon@example.test");
        copy_text(Settings.HostDomain, "example.test");
        copy_text(Settings.HostNames[0], "mailhub");
        Settings.HostCount = 1;
    }
};

struct Row {
    const char* event;
    int kind;
    int32_t a, b;
    int channel;
    const char* drive;
    int32_t free_mb;
    const char* text;  // from the Subject line to the end
};

const Row Rows[] = {
    {"mailhub stops answering", Host, 0, 1, MailChannel, "", 0,
     "Subject: No Response on mailhub\r\nPriority: urgent\r\n\r\n\r\nTime: <date>\r\n"
     "Specified target 'mailhub' does not respond to echo.\r\n"},
    {"mailhub stops answering", Host, 0, 1, SmsChannel, "", 0,
     "Subject: Dead mailhub \r\nPriority: urgent\r\n\r\n\r\nTime: <date>\r\nHost 'mailhub' does not respond.\r\n"},
    {"mailhub answers again", Host, 0, 0, MailChannel, "", 0,
     "Subject: Responding mailhub: OK\r\nPriority: normal\r\n\r\n\r\nTime: <date>\r\n"
     "Specified target 'mailhub' is responding again.\r\n"},
    {"mailhub answers again", Host, 0, 0, SmsChannel, "", 0,
     "Subject: Live mailhub\r\nPriority: normal\r\n\r\n\r\nTime: <date>\r\nHost 'mailhub' is responding again.\r\n"},
    {"12 MB of 512 MB free", Memory, 12, 512, MailChannel, "", 0,
     "Subject: Low memory on Mercury\r\nPriority: urgent\r\n\r\n\r\n"
     "Only 12MB free from 512MB total on Mercury server.\r\n\r\nTime: <date>\r\n"},
    {"12 MB of 512 MB free", Memory, 12, 512, SmsChannel, "", 0,
     "Subject: Low memory\r\nPriority: urgent\r\n\r\n\r\n"
     "Only 12MB free from 512MB total on Mercury server.\r\n\r\nTime: <date>\r\n"},
    {"D:\\ low at 120 MB", DiskSpace, 0, 1, MailChannel, "D:\\", 120,
     "Subject: Low DiskSpace (D:\\) on Mercury\r\nPriority: urgent\r\n\r\n\r\nTime: <date>\r\n\r\n"
     "There is only 120 MB free on drive D:\\ .\r\n"},
    {"D:\\ low at 120 MB", DiskSpace, 0, 1, SmsChannel, "D:\\", 120,
     "Subject: MercLowDisk D: (120MB)\r\nPriority: urgent\r\n\r\n\r\n<date>\r\n120MB free on D: .\r\n"},
    {"D:\\ back at 5000 MB", DiskSpace, 0, 0, MailChannel, "D:\\", 5000,
     "Subject: Low DiskSpace (D:\\) on Mercury\r\nPriority: urgent\r\n\r\n\r\nTime: <date>\r\n\r\n"
     "There is 5000 MB free on drive D:\\ .\r\n"},
    {"D:\\ back at 5000 MB", DiskSpace, 0, 0, SmsChannel, "D:\\", 5000,
     "Subject: MercDisk D: NO Low (5000MB)\r\nPriority: urgent\r\n\r\n\r\n<date>\r\n5000MB free on D: .\r\n"},
    {"D:\\ unreadable", DiskAvailability, 0, 1, MailChannel, "D:\\", 0,
     "Subject: Unavailable Disk (D:\\) on Mercury\r\nPriority: urgent\r\n\r\n\r\nTime: <date>\r\n\r\n"
     "Unable to detect disk space on drive D:\\ .\r\n"},
    {"D:\\ unreadable", DiskAvailability, 0, 1, SmsChannel, "D:\\", 0,
     "Subject: Mercury No_Disk D:\r\nPriority: urgent\r\n\r\n\r\n<date>\r\nD: not found.\r\n"},
    {"D:\\ readable again", DiskAvailability, 0, 0, MailChannel, "D:\\", 0,
     "Subject: Disk on Mercury available\r\nPriority: normal\r\n\r\n\r\nTime: <date>\r\n\r\n"
     "Disk space on drive D:\\ detected.\r\n"},
    {"D:\\ readable again", DiskAvailability, 0, 0, SmsChannel, "D:\\", 0,
     "Subject: Mercury Disk_On\r\nPriority: normal\r\n\r\n\r\n<date>\r\nD:  found.\r\n"},
};

} // namespace

TEST_F(Report, EveryKindAndChannelReadsAsItShould)
{
    for (const Row& row : Rows) {
        SCOPED_TRACE(std::string(row.event) + (row.channel == MailChannel ? " (mail)" : " (sms)"));
        start_host(HostOptions());
        Recipients = RecipientLists{};
        const char* to = row.channel == MailChannel ? "admin@example.test" : "0170123@sms.example.test";
        if (row.channel == MailChannel)
            mail_to({to});
        else
            sms_to({to});
        copy_text(CurrentDrivePath, row.drive);
        CurrentFreeMB = row.free_mb;

        send_report(row.kind, row.a, row.b);

        auto jobs = standin_jobs();
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_TRUE(jobs[0].closed);
        EXPECT_EQ(jobs[0].text, header_block(to) + with_date(row.text));
        EXPECT_TRUE(logged().empty());
    }
}

TEST_F(Report, BothChannelsGetTheirMessageMailFirst)
{
    mail_to({"admin@example.test", "ops@example.test"});
    sms_to({"0170123@sms.example.test"});

    send_report(Host, 0, 1);

    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].sender, "korval-daemon@example.test");
    EXPECT_EQ(jobs[0].recipients, (std::vector<std::string>{"admin@example.test", "ops@example.test"}));
    EXPECT_EQ(jobs[0].text, header_block("admin@example.test,ops@example.test") + with_date(Rows[0].text));
    EXPECT_EQ(jobs[1].sender, "korval-daemon@example.test");
    EXPECT_EQ(jobs[1].recipients, std::vector<std::string>{"0170123@sms.example.test"});
    EXPECT_EQ(jobs[1].text, header_block("0170123@sms.example.test") + with_date(Rows[1].text));

    // The Mail job is closed before the SMS job is created.
    std::vector<std::string> job_calls;
    for (const auto& call : standin_trace())
        if (call.rfind("create_job", 0) == 0 || call.rfind("close_job", 0) == 0)
            job_calls.push_back(call.substr(0, call.find(' ')));
    EXPECT_EQ(job_calls, (std::vector<std::string>{"create_job", "close_job", "create_job", "close_job"}));

    // Read as a mail reader would: header fields up to the first empty line.
    auto lines = lines_of(jobs[0].text);
    std::vector<std::string> names;
    size_t i = 0;
    for (; i < lines.size() && !lines[i].empty(); ++i)
        names.push_back(lines[i].substr(0, lines[i].find(':')));
    EXPECT_EQ(names, (std::vector<std::string>{"From", "To", "Date", "MIME-Version", "Content-type",
                                               "Content-transfer-encoding", "Message-ID", "Subject",
                                               "Priority"}));
    ASSERT_LT(i + 1, lines.size());
    EXPECT_EQ(lines[i + 1], "");  // the body opens with an empty line of its own
}

TEST_F(Report, ChannelsWithoutRecipientsGetNoJob)
{
    send_report(Host, 0, 1);
    EXPECT_TRUE(standin_jobs().empty());
    EXPECT_TRUE(logged().empty());

    sms_to({"0170123@sms.example.test"});
    send_report(Host, 0, 0);
    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].text, header_block("0170123@sms.example.test") + with_date(Rows[3].text));
}

TEST_F(Report, RefusedChannelIsClosedEmptyAndTheOtherStillServed)
{
    HostOptions options;
    options.refused_addresses = {"admin@example.test", "ops@example.test", "0170999@sms.example.test"};
    start_host(options);
    mail_to({"admin@example.test", "ops@example.test"});
    sms_to({"0170123@sms.example.test", "0170999@sms.example.test"});

    send_report(Memory, 12, 512);

    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_TRUE(jobs[0].closed);
    EXPECT_EQ(jobs[0].text, "");
    EXPECT_EQ(jobs[0].refused.size(), 2u);
    // Partly refused: written as usual, the To line still lists both.
    EXPECT_TRUE(jobs[1].closed);
    EXPECT_EQ(jobs[1].text, header_block("0170123@sms.example.test,0170999@sms.example.test") +
                                with_date(Rows[5].text));
    EXPECT_EQ(logged(), (std::vector<std::string>{"1 20 AddElement error"}));
    EXPECT_EQ(standin_statistic("Failures"), 1);
}

TEST_F(Report, FailedJobCreationDropsOnlyThatChannel)
{
    HostOptions options;
    options.create_job_failures = 1;
    start_host(options);
    mail_to({"admin@example.test"});
    sms_to({"0170123@sms.example.test"});

    send_report(Host, 0, 1);

    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].text, header_block("0170123@sms.example.test") + with_date(Rows[1].text));
    EXPECT_EQ(logged(), (std::vector<std::string>{"1 20 CreateJob error"}));
    EXPECT_EQ(standin_statistic("Failures"), 1);
}

TEST_F(Report, PieceLongerThanTheBufferIsCut)
{
    Job job = host_create_job(HostInterfaceCopy, "korval-daemon@example.test");
    std::string long_text(5000, 'x');
    long_text[FormatBufferSize - 2] = 'y';  // the first character past the buffer

    write_formatted(job, "<%s>", long_text.c_str());

    // Cut to the buffer, terminator included, and still written.
    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].text, "<" + long_text.substr(0, FormatBufferSize - 2));
}

TEST_F(Report, DrivePathIsShortenedForSmsOnACopy)
{
    struct Case {
        const char* path;
        const char* mail_line;
        const char* sms_line;
    } cases[] = {
        {"D:\\data", "There is only 120 MB free on drive D:\\data .", "120MB free on D: ."},
        {"D:", "There is only 120 MB free on drive D: .", "120MB free on D: ."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        start_host(HostOptions());
        mail_to({"admin@example.test"});
        sms_to({"0170123@sms.example.test"});
        copy_text(CurrentDrivePath, c.path);
        CurrentFreeMB = 120;

        send_report(DiskSpace, 0, 1);

        EXPECT_STREQ(CurrentDrivePath, c.path);
        auto jobs = standin_jobs();
        ASSERT_EQ(jobs.size(), 2u);
        EXPECT_EQ(lines_of(jobs[0].text).back(), c.mail_line);
        EXPECT_EQ(lines_of(jobs[1].text).back(), c.sms_line);
    }
}

TEST_F(Report, HostIndexOutsideTheTableShowsNoName)
{
    for (int32_t index : {-1, MaxHosts, 1000000}) {
        SCOPED_TRACE(index);
        start_host(HostOptions());
        mail_to({"admin@example.test"});
        send_report(Host, index, 1);
        auto jobs = standin_jobs();
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(lines_of(jobs[0].text)[7], "Subject: No Response on ");
        EXPECT_EQ(lines_of(jobs[0].text).back(), "Specified target '' does not respond to echo.");
    }
}

TEST_F(Report, ReportWaitsForTheSettingsLock)
{
    mail_to({"admin@example.test"});
    lock_settings();
    std::thread reporter([] { send_report(Host, 0, 1); });
    Sleep(200);
    EXPECT_TRUE(standin_jobs().empty());
    // The lock is recursive: a caller that holds it may report too.
    send_report(Host, 0, 0);
    EXPECT_EQ(standin_jobs().size(), 1u);
    unlock_settings();
    reporter.join();
    EXPECT_EQ(standin_jobs().size(), 2u);
}

// A digest of a quiet day is one short paragraph; one with events lists
// only what happened.
TEST_F(Report, DigestSaysOnlyWhatHappened)
{
    mail_to({"ops@example.test"});
    DigestFacts quiet{};
    copy_text(quiet.Domain, "example.test");
    quiet.SinceStart = 1;
    quiet.Since = SYSTEMTIME{2026, 12, 0, 7, 7, 30, 0, 0};
    quiet.Cycles = 288;
    DigestFacts busy = quiet;
    busy.SinceStart = 0;
    busy.Events = 6;
    busy.HostCount = 1;
    busy.Hosts[0] = {"mx2.example.test", 5, 25, 1, 0, 0};
    busy.ServiceCount = 1;
    busy.Services[0] = {"imap://%s.example.test", 3, 0, 0, 0, 0};
    busy.DriveCount = 2;
    busy.Drives[0] = {"D:\\", 0, 0, 0, 80, DriveLow};
    busy.Drives[1] = {"Q:\\", 0, 0, 0, -1, DriveUnreadable};
    busy.ModulesHeldMinutes = 12;
    busy.Flow = 1;
    busy.ProbesSent = 288;
    busy.ProbesBack = 285;
    busy.ProbesLost = 3;
    busy.RoundTrips = 285;
    busy.MedianMs = 204;
    busy.WorstMs = 12345;
    busy.CertCount = 1;
    busy.Certs[0] = {"smtps://mail.example.test", 12};
    busy.Failures = 2;
    const struct {
        const DigestFacts& facts;
        const char* text;
    } cases[] = {
        {quiet, "Subject: Korval daily digest example.test: all well\r\nPriority: normal\r\n\r\n\r\nTime: <date>\r\n"
                "Since Korval started at 2026-12-07 07:30: 288 poll cycles.\r\n"
                "All well: every check passed and no failure was counted.\r\n"},
        {busy, "Subject: Korval daily digest example.test: 6 events\r\nPriority: normal\r\n\r\n\r\nTime: <date>\r\n"
               "Since the last digest at 2026-12-07 07:30: 288 poll cycles.\r\n"
               "Host mx2.example.test: 5 misses, dead 25 minutes, up now.\r\n"
               "Service imap://%s.example.test: 3 misses, dead 0 minutes, down now.\r\n"
               "Drive D:\\: lowest 80 MB free, worst low.\r\n"
               "Drive Q:\\: never readable.\r\n"
               "Modules held offline: 12 minutes.\r\n"
               "Mail flow: 288 probes sent, 285 back, 3 lost; round trip median 0.204 s, worst 12.345 s.\r\n"
               "Certificate of smtps://mail.example.test: 12 days left.\r\n"
               "Failures: 2.\r\n"},
    };
    for (const auto& c : cases) {
        start_host(HostOptions());
        ReportSnapshot report;
        take_mail_snapshot(report);
        ASSERT_EQ(send_mail(report, report.mail, write_digest_text, &c.facts), 1);
        ASSERT_EQ(standin_jobs().size(), 1u);
        EXPECT_EQ(standin_jobs()[0].text, header_block("ops@example.test") + with_date(c.text));
    }
}
