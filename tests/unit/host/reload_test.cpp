// The daemon's alias and the reread by mail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "host/alias.h"
#include "host/daemon.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

const char* const Address = "korval-daemon@example.test";
const char* const Wanted = "Daemon:korval.dll";

// Every message box as "caption|text|type", and the answer to give.
Lines Boxes;
int BoxAnswer;
bool BoxOwned;

int record_box(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    BoxOwned |= owner != nullptr;
    Boxes.push_back(std::string(caption) + "|" + text + "|" + std::to_string(type));
    return BoxAnswer;
}

std::string box(const char* caption, const std::string& text, UINT type)
{
    return std::string(caption) + "|" + text + "|" + std::to_string(type);
}

const UINT Question = MB_OKCANCEL | MB_ICONEXCLAMATION;
const UINT Failure = MB_OK | MB_ICONSTOP;
const UINT Success = MB_OK | MB_ICONINFORMATION;

std::string question(const std::string& current)
{
    return std::string("Alias already exist:\r\n\r\n") + Address + ":  " + current + "\r\n\r\nReplace ?";
}

class Reload : public HostTest {
protected:
    TempDir dir;

    void SetUp() override
    {
        HostTest::SetUp();
        Platform.MessageBoxA = record_box;
        Boxes.clear();
        BoxAnswer = IDOK;
        BoxOwned = false;
    }

    // A fresh host whose alias table holds address = target (none when null).
    void fresh_host(const char* target, bool delete_fails = false, bool add_fails = false)
    {
        HostOptions options;
        options.alias_delete_fails = delete_fails;
        options.alias_add_fails = add_fails;
        standin_reset(options);
        if (target)
            standin_set_alias(Address, target);
    }

    std::string alias() const
    {
        auto aliases = standin_aliases();
        auto found = aliases.find(Address);
        return found == aliases.end() ? "<none>" : found->second;
    }
};

TEST_F(Reload, AliasOutcomesInBothModes)
{
    const std::string long_target(399, 't');
    const std::string added = std::string("Alias '") + Address + "' created";
    const std::string not_added = std::string("Unable to create alias '") + Address + "'";
    struct Case {
        const char* name;
        std::string target; // "<none>": no alias yet
        bool delete_fails, add_fails;
        int answer;
        Lines boxes;        // interactive
        std::string after_interactive;
        Lines log;          // silent
        std::string after_silent;
    } cases[] = {
        {"already right", Wanted, false, false, IDOK, {}, Wanted, {}, Wanted},
        {"other letter case", "daemon:KORVAL.DLL", false, false, IDOK,
         {box(" Alias already exist", question("daemon:KORVAL.DLL"), Question), box(" Success", added, Success)},
         Wanted, {}, Wanted},
        {"missing", "<none>", false, false, IDCANCEL, {box(" Success", added, Success)}, Wanted, {}, Wanted},
        {"foreign target", "Daemon:other.dll", false, false, IDOK,
         {box(" Alias already exist", question("Daemon:other.dll"), Question), box(" Success", added, Success)},
         Wanted, {}, Wanted},
        {"cancelled", "Daemon:other.dll", false, false, IDCANCEL,
         {box(" Alias already exist", question("Daemon:other.dll"), Question)}, "Daemon:other.dll", {}, Wanted},
        {"delete fails", "Daemon:other.dll", true, false, IDOK,
         {box(" Alias already exist", question("Daemon:other.dll"), Question),
          box(" Error", "Unable to replace alias", Failure)},
         "Daemon:other.dll", {"0 5 Unable to replace alias"}, "Daemon:other.dll"},
        {"add fails", "<none>", false, true, IDOK, {box(" Error", not_added, Failure)}, "<none>",
         {"0 5 " + not_added}, "<none>"},
        {"add fails after delete", "Daemon:other.dll", false, true, IDOK,
         {box(" Alias already exist", question("Daemon:other.dll"), Question), box(" Error", not_added, Failure)},
         "<none>", {"0 5 " + not_added}, "<none>"},
        // The question is cut to its 400-byte buffer.
        {"long target", long_target, false, false, IDCANCEL,
         {box(" Alias already exist", question(long_target).substr(0, 399), Question)}, long_target, {}, Wanted},
    };
    for (const Case& c : cases) {
        for (int interactive : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (interactive ? " interactive" : " silent"));
            fresh_host(c.target == "<none>" ? nullptr : c.target.c_str(), c.delete_fails, c.add_fails);
            Boxes.clear();
            BoxAnswer = c.answer;

            ensure_daemon_alias(host(), Address, DaemonModuleName, interactive);

            EXPECT_EQ(Boxes, interactive ? c.boxes : Lines{});
            EXPECT_EQ(logged(), interactive ? Lines{} : c.log);
            EXPECT_EQ(alias(), interactive ? c.after_interactive : c.after_silent);
            // A failed delete adds nothing.
            if (c.delete_fails) {
                for (const std::string& op : standin_trace())
                    EXPECT_NE(op, "alias_op 2");
            }
        }
    }
    EXPECT_FALSE(BoxOwned);

    // No address yet: the host's table is not touched.
    fresh_host(nullptr);
    ensure_daemon_alias(host(), "", DaemonModuleName, 1);
    EXPECT_TRUE(standin_trace().empty());
    EXPECT_TRUE(Boxes.empty());
}

// korval.ini with one host and a sender name of its own.
void write_config(const char* from, const char* host_name)
{
    write_ini("General", "Mail", "ops@example.test");
    write_ini("General", "From", from);
    write_ini("Hosts", "Number", "1");
    write_ini("Hosts", "Host1", host_name);
}

const Lines RereadLog = {
    "0 5 KORVAL reinit:",
    "11 20 Using daemon address 'watcher@example.test'",
    "1 20 Polling every 5 minutes.",
    "1 20 Retry befor report: 3.",
    "1 20 Don't report deads 5 times.",
    "1 20 Test for 20 MB memory available.",
    "1 20 Send reports to Mail 'ops@example.test'.",
    "1 20 Not testing for free disk space.",
    "1 20 Polling 1 hosts:",
    "1 20     127.0.0.7",
};

TEST_F(Reload, SendersOfDeliveredMail)
{
    write_config("watcher", "127.0.0.7");
    const Lines bounce = {"21 15 KORVAL: Delivery error encountered."};
    struct Case {
        const char* sender;
        bool rereads;
    } cases[] = {
        {"<>", false},
        {"MAILER-DAEMON <>", false},
        {"Name <a@b>", true},
        {"a@b", true},
        {"<x> <>", true},  // only the first '<' counts
        {"trailing <", true},
        {"", true},
        {"%s%n <>", false}, // logged as written, never used as a format
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sender);
        standin_reset();
        reset_daemon_state();
        Resident = 1;

        EXPECT_EQ(daemon(standin_delivered_job(c.sender), host()), 0);

        Lines expected = {std::string("20 15 KORVAL: MailFrom: '") + c.sender + "'"};
        expected.insert(expected.end(), c.rereads ? RereadLog.begin() : bounce.begin(),
                        c.rereads ? RereadLog.end() : bounce.end());
        EXPECT_EQ(logged(), expected);
        EXPECT_EQ(Settings.HostCount, c.rereads ? 1 : 0);
        EXPECT_EQ(standin_aliases().count("watcher@example.test"), c.rereads ? 1u : 0u);
    }
}

// get_job_info that fills the buffer with a null sender.
int null_sender_info(Job, void* info)
{
    memset(info, 0, JobInfoSize);
    return 1;
}

TEST_F(Reload, NoSenderStillRereads)
{
    write_config("watcher", "127.0.0.7");
    for (int failing : {1, 0}) {
        SCOPED_TRACE(failing ? "get_job_info fails" : "null sender");
        HostOptions options;
        options.job_info_fails = failing;
        standin_reset(options);
        if (!failing) {
            GetJobInfoFn fn = null_sender_info;
            memcpy(reinterpret_cast<char*>(host()) + slot_offset(SlotGetJobInfo), &fn, sizeof fn);
        }
        reset_daemon_state();
        Resident = 1;
        EXPECT_EQ(daemon(standin_delivered_job("a@b"), host()), 0);
        EXPECT_EQ(logged(), RereadLog);
        EXPECT_EQ(standin_aliases().at("watcher@example.test"), Wanted);
    }
}

TEST_F(Reload, RefusedBeforeStartupAndWithAShortRecord)
{
    write_config("watcher", "127.0.0.7");
    EXPECT_EQ(daemon(standin_delivered_job("a@b"), host()), 0);
    EXPECT_EQ(standin_trace(), Lines{"log 0 5 ERROR: KORVAL Daemon must run as resident"});
    EXPECT_EQ(Settings.HostCount, 0);
    EXPECT_STREQ(Settings.Mail, "");

    HostOptions options;
    options.record_size = 365;
    standin_reset(options);
    Resident = 1;
    EXPECT_EQ(daemon(standin_delivered_job("a@b"), host()), 0);
    EXPECT_EQ(daemon(nullptr, nullptr), 0);
    EXPECT_TRUE(standin_trace().empty());
}

// A file with nothing to test keeps the address, and the alias and the
// summary still follow.
TEST_F(Reload, NothingToTestKeepsTheAddress)
{
    write_config("watcher", "127.0.0.7");
    Resident = 1;
    daemon(standin_delivered_job("a@b"), host());
    write_ini("Hosts", "Number", "0");
    write_ini("General", "From", "other");
    standin_reset();

    daemon(standin_delivered_job("a@b"), host());
    Lines log = logged();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 4),
              (Lines{"20 15 KORVAL: MailFrom: 'a@b'", "0 5 KORVAL reinit:", "1 5 Nothing to test.",
                     "11 20 Using daemon address 'watcher@example.test'"}));
    EXPECT_EQ(log.back(), "1 20 Polling 0 hosts:");
    EXPECT_EQ(standin_aliases().at("watcher@example.test"), Wanted);
    EXPECT_STREQ(Settings.FromAlias, "other");
}

// While rereads switch between two files, a reader under the lock never
// sees the sender, address, host and recipients of different files.
TEST_F(Reload, ReaderNeverSeesAMix)
{
    std::atomic<bool> done{false};
    std::atomic<int> mixes{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            lock_settings();
            std::string from = Settings.FromAlias, address = Settings.DaemonAddress, name = Settings.HostNames[0];
            std::string mail = Recipients.MailList;
            unlock_settings();
            ++reads;
            if (from.empty())
                continue;
            char k = from.back();
            if (address != from + "@example.test" || name.empty() || name.back() != k || mail[0] != k)
                ++mixes;
        }
    });
    for (int round = 0; round < 100; ++round) {
        std::string k(1, static_cast<char>('1' + round % 2));
        write_ini("General", "Mail", (k + "@example.test").c_str());
        write_ini("General", "From", ("from" + k).c_str());
        write_ini("Hosts", "Number", "1");
        write_ini("Hosts", "Host1", ("127.0.0." + k).c_str());
        ASSERT_EQ(init_settings(host()), 1);
    }
    done = true;
    reader.join();
    EXPECT_EQ(mixes, 0);
    EXPECT_GT(reads, 100);
}

} // namespace
