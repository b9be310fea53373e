#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The message log's levels must not clash with the system log's macros, so a
// file may use both.
#include <syslog.h>

#include "orvanel/records/message_log.h"
#include "station_kit/station.h"

namespace {

// The file's last modification set to the given time; a link's own time,
// not its target's.
void set_modified(const std::string& path, std::time_t when)
{
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

long long file_size(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::tm at(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

}  // namespace

TEST(MessageLogFormat, PrefixCarriesLocalTimeMillisecondsAndLevel)
{
    EXPECT_EQ(log_prefix(at(2026, 12, 7, 5, 58, 48), 41, LEVEL_NOTICE), "[2026/12/07 05:58:48 041][notice]");
    EXPECT_EQ(log_prefix(at(2027, 1, 2, 23, 0, 9), 999, LEVEL_INFO), "[2027/01/02 23:00:09 999][info]");
    EXPECT_EQ(log_prefix(at(2027, 1, 2, 23, 0, 9), 0, LEVEL_WARN), "[2027/01/02 23:00:09 000][warn]");
    EXPECT_EQ(log_prefix(at(2027, 1, 2, 23, 0, 9), 5, LEVEL_ERROR), "[2027/01/02 23:00:09 005][error]");
}

TEST(MessageLogFormat, FileLineHoldsAtMost4095BytesOfText)
{
    const std::string prefix = "[2026/12/07 05:58:48 041][info]";
    EXPECT_EQ(log_file_line(prefix, "Msg [x]\n"), prefix + " Msg [x]\n");
    const std::string exact(4095, 'a');
    EXPECT_EQ(log_file_line(prefix, exact), prefix + " " + exact);
    EXPECT_EQ(log_file_line(prefix, std::string(10000, 'b')), prefix + " " + std::string(4095, 'b'));
    // A long message keeps its line end, so the next one starts a line.
    EXPECT_EQ(log_file_line(prefix, std::string(10000, 'c') + "\n"), prefix + " " + std::string(4094, 'c') + "\n");
    // A character that would not fit whole goes whole: 4093 bytes and "é"
    // make 4095, one more byte leaves the "é" out.
    EXPECT_EQ(log_file_line(prefix, std::string(4093, 'd') + "éé"), prefix + " " + std::string(4093, 'd') + "é");
    EXPECT_EQ(log_file_line(prefix, std::string(4094, 'd') + "é"), prefix + " " + std::string(4094, 'd'));
}

TEST(MessageLogRotation, RenamesOnlyAtTheFullHour)
{
    EXPECT_EQ(rotated_log_name("/userdata/log/orvanel.log", at(2026, 12, 7, 6, 0, 0)),
              "/userdata/log/orvanel.log.20261207060000");

    const log_monitor_step full_hour = next_log_monitor_step(at(2026, 12, 7, 11, 0, 0));
    EXPECT_TRUE(full_hour.rotate);
    EXPECT_EQ(full_hour.sleep_seconds, 3600u);

    const log_monitor_step started = next_log_monitor_step(at(2026, 12, 7, 10, 20, 30));
    EXPECT_FALSE(started.rotate);
    EXPECT_EQ(started.sleep_seconds, 2370u);

    EXPECT_EQ(next_log_monitor_step(at(2026, 12, 7, 10, 59, 59)).sleep_seconds, 1u);
    // A wake-up a second late skips the hour's rotation.
    const log_monitor_step late = next_log_monitor_step(at(2026, 12, 7, 11, 0, 1));
    EXPECT_FALSE(late.rotate);
    EXPECT_EQ(late.sleep_seconds, 3599u);
}

TEST(MessageLogCleanup, RemovesOldEntriesWhateverTheirNamesAndNothingElse)
{
    kit_root root;
    const std::string folder = root.file("/userdata/log");
    ASSERT_EQ(mkdir(folder.c_str(), 0775), 0);
    const std::time_t now = std::time(nullptr);
    const std::time_t old = now - 181 * 60;
    const std::time_t recent = now - 179 * 60;

    const std::vector<std::string> old_names{"orvanel.log.20261207060000", "orvanel.log", "a name with blanks",
                                             "line\nend", "quote's \"and\" $(touch pwned) *"};
    for (const std::string& name : old_names) {
        write_file(folder + "/" + name, "old\n");
        set_modified(folder + "/" + name, old);
    }
    write_file(folder + "/orvanel.log.20261207090000", "recent\n");
    set_modified(folder + "/orvanel.log.20261207090000", recent);
    // A folder stays with what it holds.
    ASSERT_EQ(mkdir((folder + "/kept").c_str(), 0775), 0);
    write_file(folder + "/kept/inner", "old\n");
    set_modified(folder + "/kept/inner", old);
    set_modified(folder + "/kept", old);
    // An old link goes; its target, old too and outside the folder, stays.
    const std::string target = root.file("/userdata/target");
    write_file(target, "the target\n");
    set_modified(target, old);
    ASSERT_EQ(symlink(target.c_str(), (folder + "/link").c_str()), 0);
    set_modified(folder + "/link", old);
    // A new link to an old file stays: its own time counts.
    ASSERT_EQ(symlink(target.c_str(), (folder + "/new link").c_str()), 0);

    EXPECT_EQ(remove_old_logs(folder, now), 6);
    for (const std::string& name : old_names)
        EXPECT_FALSE(root.exists("/userdata/log/" + name)) << name;
    EXPECT_FALSE(root.exists("/userdata/log/link"));
    EXPECT_TRUE(root.exists("/userdata/log/orvanel.log.20261207090000"));
    EXPECT_TRUE(root.exists("/userdata/log/kept/inner"));
    EXPECT_EQ(root.read("/userdata/target"), "the target\n");
    EXPECT_TRUE(root.exists("/userdata/log/new link"));
    EXPECT_FALSE(root.exists("/userdata/log/pwned"));

    EXPECT_EQ(remove_old_logs(folder, now), 0);
    EXPECT_EQ(remove_old_logs(root.file("/userdata/missing"), now), 0);
}

// log_print writes through one process-wide log. It is set up once, under a
// root that lives as long as the test process, and the tests below each
// start from an empty file.
namespace {

bool log_started = false;

const kit_root& log_root()
{
    static const kit_root root;
    if (!log_started) {
        log_started = true;
        root_in_process in_root(root);
        EXPECT_EQ(log_init("/userdata/log/orvanel.log"), 0);
        // The monitor's first line, before a test removes the file.
        EXPECT_TRUE(wait_until(
            [&] { return read_text_file(root.file("/userdata/log/orvanel.log")).find("LogMonitorPthread") != std::string::npos; }));
    }
    return root;
}

std::string log_file()
{
    return log_root().file("/userdata/log/orvanel.log");
}

}  // namespace

TEST(MessageLog, WritesFileAndColouredConsoleLines)
{
    if (!log_started) {
        EXPECT_EQ(log_print(LEVEL_INFO, "before init\n"), -1) << "no file before log_init";
    }
    const std::string file = log_file();
    EXPECT_NE(read_text_file(file).find("[info] thread 'LogMonitorPthread'is ready \n"), std::string::npos);

    std::remove(file.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_print(4, "never\n"), -1);
    EXPECT_EQ(log_print(LEVEL_NOTICE, "Code huang up \n"), 0);
    EXPECT_EQ(log_print(LEVEL_ERROR, "accountaor1:%s :%s\n", "sip:a@b", "sip:c@d"), 0);
    EXPECT_EQ(log_print(LEVEL_INFO, "no newline"), 0);
    EXPECT_EQ(log_print(LEVEL_WARN, "当前按钮gpio140 蓝灯常亮\n"), 0);
    EXPECT_EQ(log_print(LEVEL_INFO, "%s", std::string(5000, 'z').c_str()), 0);
    const std::string console = testing::internal::GetCapturedStdout();

    const std::string text = read_text_file(file);  // made anew after the deletion
    // One prefix per message; the one without a newline runs into the next.
    EXPECT_EQ(mask_log_stamps(text), "[T][notice] Code huang up \n"
                                     "[T][error] accountaor1:sip:a@b :sip:c@d\n"
                                     "[T][info] no newline"
                                     "[T][warn] 当前按钮gpio140 蓝灯常亮\n"
                                     "[T][info] " + std::string(4095, 'z'));
    EXPECT_EQ(text.find("never"), std::string::npos);

    EXPECT_NE(console.find("\033[0;36m["), std::string::npos);
    EXPECT_NE(console.find("[notice] Code huang up \n\033[0m"), std::string::npos);
    EXPECT_NE(console.find("\033[0;32;31m["), std::string::npos);
    EXPECT_NE(console.find("\033[1;33m["), std::string::npos);
    EXPECT_NE(console.find(std::string(5000, 'z')), std::string::npos) << "the console prints long texts whole";
}

TEST(MessageLog, InsertedTextsStayOnTheirLine)
{
    const std::string file = log_file();
    std::remove(file.c_str());
    testing::internal::CaptureStdout();
    const std::string forged = "busy\n[2026/01/01 00:00:00 000][error] FORGED\r\n\x01\tend\x7f";
    EXPECT_EQ(log_print(LEVEL_NOTICE, "非正常挂断 挂断原因:%s\n", forged.c_str()), 0);
    // Bytes that are not UTF-8 become '?'; valid characters stay.
    EXPECT_EQ(log_print(LEVEL_INFO, "Msg [%s]\n", "\xff\xc3( é \xe6\x8c"), 0);
    // A line end is the format's to give: "%s" with a line of its own gives none.
    EXPECT_EQ(log_print(LEVEL_INFO, "%s", "inserted\n"), 0);
    log_refused_pop("BRPOP device-state answered \"WRONGTYPE\nforged\", retrying every second\n");
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_EQ(mask_log_stamps(read_text_file(file)),
              "[T][notice] 非正常挂断 挂断原因:busy [T][error] FORGED    end \n"
              "[T][info] Msg [?" "?( é ?" "?]\n"  // split: no trigraphs
              "[T][info] inserted "
              "[T][warn] BRPOP device-state answered \"WRONGTYPE forged\", retrying every second\n");
    EXPECT_NE(console.find("[notice] 非正常挂断 挂断原因:busy [2026/01/01 00:00:00 000][error] FORGED    end \n\033[0m"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("FORGED\r"), std::string::npos);
}

TEST(MessageLog, FileStopsAtItsCapUntilANewFileStarts)
{
    const std::string file = log_file();
    const std::string notice = log_file_line(log_prefix(at(2026, 12, 7, 5, 0, 0), 0, LEVEL_WARN), log_cap_notice);
    // Room for a short line and the notice, not for a long line as well;
    // after the notice there is still room for a short line.
    const std::size_t filler = log_file_cap - notice.size() - 3000;
    write_file(file, std::string(filler - 1, 'f') + "\n");
    ASSERT_EQ(file_size(file), static_cast<long long>(filler));

    testing::internal::CaptureStdout();
    EXPECT_EQ(log_print(LEVEL_INFO, "short %s\n", "one"), 0);
    EXPECT_EQ(log_print(LEVEL_INFO, "%s\n", std::string(4000, 'l').c_str()), -1);
    const std::string capped = read_text_file(file);
    EXPECT_EQ(log_print(LEVEL_INFO, "short %s\n", "two"), -1) << "nothing after the notice, though it would fit";
    EXPECT_EQ(log_print(LEVEL_ERROR, "short %s\n", "three"), -1);
    const std::string console = testing::internal::GetCapturedStdout();

    const std::string text = read_text_file(file);
    EXPECT_EQ(text, capped);
    EXPECT_LE(text.size(), log_file_cap);
    EXPECT_GT(log_file_cap - text.size(), 200u) << "the test means a file with room left";
    EXPECT_EQ(mask_log_stamps(text.substr(filler)),
              std::string("[T][info] short one\n[T][warn] ") + log_cap_notice);
    // The console still has every message, and the notice once.
    for (const char* line : {"[info] short one\n", "[info] llll", "[info] short two\n", "[error] short three\n"})
        EXPECT_NE(console.find(line), std::string::npos) << line;
    EXPECT_EQ(occurrences(console, log_cap_notice), 1u);

    // The hour's rotation: the capped file stays as it is, a new one starts.
    const std::string rotated = file + ".20261207060000";
    ASSERT_EQ(std::rename(file.c_str(), rotated.c_str()), 0);
    EXPECT_EQ(log_print(LEVEL_INFO, "after the rotation\n"), 0);
    EXPECT_EQ(mask_log_stamps(read_text_file(file)), "[T][info] after the rotation\n");
    EXPECT_EQ(read_text_file(rotated), capped);
    std::remove(rotated.c_str());
}

TEST(MessageLog, FilePastTheCapAlreadyTakesNothing)
{
    const std::string file = log_file();
    const std::string earlier(log_file_cap + 10, 'x');
    write_file(file, earlier);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_print(LEVEL_INFO, "one\n"), -1);
    EXPECT_EQ(log_print(LEVEL_INFO, "two\n"), -1);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(file_size(file), static_cast<long long>(earlier.size()));
    EXPECT_EQ(occurrences(console, log_cap_notice), 1u);
    // Deleted: the next message starts a new file.
    std::remove(file.c_str());
    EXPECT_EQ(log_print(LEVEL_INFO, "three\n"), 0);
    EXPECT_EQ(mask_log_stamps(read_text_file(file)), "[T][info] three\n");
}
