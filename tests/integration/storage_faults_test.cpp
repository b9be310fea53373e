// Storage that fills up under the station: records wait, in order, and none
// is lost, cut short or glued to another once there is room again. A
// file-size limit on orvanel stands in for full flash; the record files are
// given a history larger than orvanel's console and message log, so that the
// limit stops the records and nothing else.
#include <regex>

#include <sys/mount.h>
#include <sys/stat.h>

#include "tests/integration/running_station.h"

namespace {

const std::string old_record = "2026-12-01,09:00:00,09:00:10,sip:1000@example.test,2001,0,in,MISSED CALL,old\n";
const std::string old_entry = "2026-12-01 09:00:00,BUTTON,old,\n";

std::string repeated(const std::string& line, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

long long file_size(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A small tmpfs over the root's /userdata that the board mounted read-only
// at boot; the message log's folder is there, as on a device that has run
// before. Mounting needs privileges that not every machine gives.
class read_only_userdata {
public:
    explicit read_only_userdata(const std::string& dir) : dir_(dir)
    {
        mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=4m") == 0;
        if (mounted_)
            mounted_ = mkdir((dir_ + "/log").c_str(), 0775) == 0 &&
                       mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m") == 0;
    }
    ~read_only_userdata() { umount2(dir_.c_str(), MNT_DETACH); }
    bool mounted() const { return mounted_; }
    bool make_writable() { return mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT, "size=4m") == 0; }

private:
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace

using StorageFaults = RunningStation;
// The full-storage test holds the station to a deadline: it runs one at a
// time (ctest label "timed").
using TimedStorageFaults = RunningStation;

TEST_F(StorageFaults, ReadOnlyStorageDelaysRecordsUntilItIsWritable)
{
    read_only_userdata userdata(root.file("/userdata"));
    if (!userdata.mounted())
        GTEST_SKIP() << "this machine does not let the test mount a file system";
    start_orvanel();
    for (int i = 0; i < 3; ++i)
        client.command("LPUSH writelog-channel %s", "BUTTON,entry " + std::to_string(i) + ",");
    const std::string aor = R"("accountaor":"sip:1000@example.test")";
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2002@10.0.0.5",)" + aor + "}");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"while read-only",)" + aor + "}");
    // The writer has taken the first entry and could not write it; the
    // entries of the call wait behind the others. (The message log is on the
    // same storage, so no line tells of it.)
    ASSERT_TRUE(wait_until([&] {
        return client.list("writelog-processing").size() == 1 && client.list("writelog-channel").size() == 4;
    }));
    EXPECT_EQ(client.list("writelog-processing"), std::vector<std::string>{"BUTTON,entry 0,"});
    EXPECT_TRUE(holds([&] { return !root.exists("/userdata/system.csv") && !root.exists("/userdata/cdr.csv"); }, 1s));

    ASSERT_TRUE(userdata.make_writable());
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2003@10.0.0.5",)" + aor + "}");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"after",)" + aor + "}");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,after") == 1; }, 20s))
        << root.read("/userdata/system.csv");

    const std::vector<std::string> expected{"BUTTON,entry 0,",
                                            "BUTTON,entry 1,",
                                            "BUTTON,entry 2,",
                                            "SIP STATE,INCOMING CALL,sip:2002@10.0.0.5",
                                            "SIP STATE,CALL CLOSED,while read-only",
                                            "SIP STATE,INCOMING CALL,sip:2003@10.0.0.5",
                                            "SIP STATE,CALL CLOSED,after"};
    EXPECT_EQ(oplog(), expected);
    const auto records = split(root.read("/userdata/cdr.csv"), '\n');
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(split(records[0], ',').at(8), "while read-only");
    EXPECT_EQ(split(records[1], ',').at(8), "after");
}

TEST_F(TimedStorageFaults, FullStorageDelaysRecordsAndLosesOrCorruptsNone)
{
    // The call records' history is larger than the limit below.
    const std::string history = repeated(old_entry, 4000);
    const std::string earlier = repeated(old_record, 3000);
    root.write("/userdata/system.csv", history);
    root.write("/userdata/cdr.csv", earlier);
    start_orvanel();
    client.command("LPUSH writelog-channel %s", "BUTTON,before,");
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,before,") == 1; }));

    // Room for one more line of the operation log and part of the next.
    const std::string system_csv = root.file("/userdata/system.csv");
    limit_file_size(orvanel->pid(), file_size(system_csv) + 60);
    for (int i = 0; i < 5; ++i)
        client.command("LPUSH writelog-channel %s", "BUTTON,entry " + std::to_string(i) + ",");
    const std::string aor = R"("accountaor":"sip:1000@example.test")";
    for (const char* reason : {"while full", "while full 2"}) {
        publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2002@10.0.0.5",)" + aor + "}");
        publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":")" + std::string(reason) + "\"," + aor +
                "}");
    }
    ASSERT_TRUE(orvanel->wait_output("keeping the entry and retrying every 5 s", 10s)) << orvanel->output();
    ASSERT_TRUE(orvanel->wait_output("keeping the call record and retrying every 5 s", 10s)) << orvanel->output();

    const std::string while_full = root.read("/userdata/system.csv");
    ASSERT_FALSE(while_full.empty());
    EXPECT_EQ(while_full.back(), '\n') << "no part line is left at the end";
    EXPECT_EQ(client.list("writelog-processing").size(), 1u) << "the refused entry waits, not taken, not lost";
    EXPECT_EQ(client.list("cdr-processing").size(), 1u) << "so does the call record, in Redis";
    EXPECT_EQ(client.list("cdr-channel").size(), 1u) << "and the next behind it";
    EXPECT_EQ(root.read("/userdata/cdr.csv"), earlier);

    // Room again, and no call after it: within 10 s everything is there,
    // in order, once.
    limit_file_size(orvanel->pid(), -1);
    ASSERT_TRUE(wait_until(
        [&] {
            return count_entries("SIP STATE,CALL CLOSED,while full 2") == 1 &&
                   split(root.read("/userdata/cdr.csv"), '\n').size() == 3002;
        },
        10s))
        << root.read("/userdata/system.csv");
    EXPECT_TRUE(wait_until([&] { return client.list("cdr-processing").empty(); }));

    const std::string text = root.read("/userdata/system.csv");
    ASSERT_EQ(text.substr(0, history.size()), history);
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,(BUTTON|SIP STATE),[^\n]*)");
    std::vector<std::string> test_entries;
    const auto lines = split(text.substr(history.size()), '\n');
    for (const std::string& l : lines) {
        EXPECT_TRUE(std::regex_match(l, line)) << "corrupted line: " << l;
        if (l.find(",BUTTON,") != std::string::npos)
            test_entries.push_back(l.substr(20));
    }
    std::vector<std::string> expected{"BUTTON,before,"};
    for (int i = 0; i < 5; ++i)
        expected.push_back("BUTTON,entry " + std::to_string(i) + ",");
    EXPECT_EQ(test_entries, expected);
    EXPECT_EQ(count_entries("SIP STATE,CALL CLOSED,while full"), 1u);
    EXPECT_EQ(count_entries("SIP STATE,CALL CLOSED,while full 2"), 1u);
    EXPECT_EQ(lines.size(), 10u) << "nothing twice";

    const std::string records = root.read("/userdata/cdr.csv");
    ASSERT_EQ(records.substr(0, earlier.size()), earlier);
    const auto added = split(records.substr(earlier.size()), '\n');
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(split(added[0], ',').at(8), "while full");
    EXPECT_EQ(split(added[1], ',').at(8), "while full 2");

    const std::string out = orvanel->output();
    EXPECT_EQ(count(out, "cannot write " + system_csv + ": File too large, keeping the entry"), 1u) << out;
    EXPECT_EQ(count(out, system_csv + " is written again"), 1u) << out;
    EXPECT_EQ(count(out, "cannot write " + root.file("/userdata/cdr.csv") + ": File too large, keeping the call record"),
              1u)
        << out;
    EXPECT_EQ(count(out, root.file("/userdata/cdr.csv") + " is written again"), 1u) << out;
}
