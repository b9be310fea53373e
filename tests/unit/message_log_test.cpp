#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

// The message log's levels must not clash with the system log's macros, so a
// file may use both.
#include <syslog.h>

#include "orvanel/records/message_log.h"
#include "station_kit/station.h"

namespace {

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

TEST(MessageLogRotation, CleanupCommandLiesUnderTheRoot)
{
    kit_root root;
    root_in_process in_root(root);
    EXPECT_EQ(log_cleanup_command(), "find " + root.path() + "/userdata/log/* -mmin +180 | xargs rm");
}

// log_print writes through one process-wide log; these run in one test so the
// log is set up once.
TEST(MessageLog, WritesFileAndColouredConsoleLines)
{
    kit_root root;
    root_in_process in_root(root);
    EXPECT_EQ(log_print(LEVEL_INFO, "before init\n"), -1) << "no file before log_init";

    ASSERT_EQ(log_init("/userdata/log/orvanel.log"), 0);
    const std::string file = root.file("/userdata/log/orvanel.log");
    ASSERT_TRUE(wait_until([&] { return read_text_file(file).find("LogMonitorPthread") != std::string::npos; }));
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
    EXPECT_NE(text.find("[warn] 当前按钮gpio140 蓝灯常亮\n"), std::string::npos);
    EXPECT_EQ(text.find("never"), std::string::npos);

    EXPECT_NE(console.find("\033[0;36m["), std::string::npos);
    EXPECT_NE(console.find("[notice] Code huang up \n\033[0m"), std::string::npos);
    EXPECT_NE(console.find("\033[0;32;31m["), std::string::npos);
    EXPECT_NE(console.find("\033[1;33m["), std::string::npos);
    EXPECT_NE(console.find(std::string(5000, 'z')), std::string::npos) << "the console prints long texts whole";
}
