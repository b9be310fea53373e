#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oplog.h"
#include "common/record_text.h"
#include "orvanel/records/call_record_writer.h"
#include "orvanel/records/call_records.h"
#include "orvanel/records/record_file.h"
#include "orvanel/records/record_log.h"
#include "station_kit/station.h"

namespace {

std::time_t local_time(int hour, int minute, int second, int day = 7)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// A sink formats with the format that record_log was given.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
struct capture_sink {
    std::vector<std::string> texts;
    static void call(record_event* e)
    {
        auto* self = static_cast<capture_sink*>(e->target);
        va_list copy;
        va_copy(copy, e->ap);
        char text[256];
        std::vsnprintf(text, sizeof text, e->fmt, copy);
        va_end(copy);
        self->texts.push_back(std::to_string(e->level) + ":" + text);
    }
};
#pragma GCC diagnostic pop

}  // namespace

class RecordLogger : public ::testing::Test {
protected:
    void SetUp() override { record_log_clear_sinks(); }
    void TearDown() override { record_log_clear_sinks(); }
};

TEST_F(RecordLogger, ConsoleGetsEveryRecordAndSinksTheirLevels)
{
    capture_sink sink;
    ASSERT_EQ(record_log_add_sink(capture_sink::call, &sink, RECORD_INFO), 0);
    testing::internal::CaptureStderr();
    record_log(RECORD_DEBUG, "main", 1, "debug %d", 1);
    record_log(RECORD_INFO, "main", 2818, "%s,%d", "entry", 7);
    record_log(RECORD_FATAL, "x.c", 3, "fatal");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sink.texts, (std::vector<std::string>{"2:entry,7", "5:fatal"}));
    EXPECT_NE(err.find(" DEBUG main:1: debug 1\n"), std::string::npos);
    EXPECT_NE(err.find(" INFO  main:2818: entry,7\n"), std::string::npos) << "the level fills five places";
    EXPECT_NE(err.find(" FATAL x.c:3: fatal\n"), std::string::npos);
    EXPECT_EQ(err[2], ':');
}

TEST_F(RecordLogger, ConsoleLineLeavesInOneWrite)
{
    // A packet socket keeps each write a message of its own.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const unique_fd ours(pair[0]), theirs(pair[1]), saved(dup(2));
    std::fflush(stderr);
    dup2(theirs.get(), 2);
    record_log(RECORD_INFO, "main", 2818, "%s", "FUNCTION,RECEIVE DTMF,1234");
    dup2(saved.get(), 2);
    char message[256];
    const ssize_t got = recv(ours.get(), message, sizeof message, MSG_DONTWAIT);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(message, static_cast<std::size_t>(got)).substr(8), " INFO  main:2818: FUNCTION,RECEIVE DTMF,1234\n");
    EXPECT_LT(recv(ours.get(), message, sizeof message, MSG_DONTWAIT), 0) << "no second write";
}

TEST_F(RecordLogger, ThirtyTwoSinksAtMostAndClearingEmptiesThem)
{
    capture_sink sink;
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(record_log_add_sink(capture_sink::call, &sink, RECORD_TRACE), 0);
    EXPECT_EQ(record_log_add_sink(capture_sink::call, &sink, RECORD_TRACE), -1);
    testing::internal::CaptureStderr();
    record_log(RECORD_WARN, "main", 1, "%s", "x");
    EXPECT_EQ(sink.texts.size(), 32u);
    record_log_clear_sinks();
    record_log(RECORD_WARN, "main", 1, "%s", "y");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("main:1: y\n"), std::string::npos);
    EXPECT_EQ(sink.texts.size(), 32u);
}

TEST_F(RecordLogger, FileSinkWritesTimeStampedLines)
{
    kit_root root;
    root_in_process in_root{root};
    record_file file("/userdata/system.csv");
    record_log_add_file(&file, RECORD_INFO);
    testing::internal::CaptureStderr();
    record_log(RECORD_INFO, "main", 2818, "%s", "SIP STATE,CALL ESTABLISHED,incoming");
    record_log(RECORD_DEBUG, "main", 2818, "%s", "skipped");
    testing::internal::GetCapturedStderr();
    record_log_clear_sinks();
    EXPECT_EQ(file.failure(), "");
    const std::string text = root.read("/userdata/system.csv");
    ASSERT_EQ(text.size(), 20u + 35u + 1u) << text;
    EXPECT_EQ(text.substr(19), ",SIP STATE,CALL ESTABLISHED,incoming\n");
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[13], ':');
}

// Without Redis (none in these tests) every finished record waits in
// memory; what waits is what the writer would append.
class CallRecords : public ::testing::Test {
protected:
    void SetUp() override
    {
        cdr_record = cdr_fields{};
        drop_held_call_records();
    }
    void TearDown() override { drop_held_call_records(); }
    std::string file()
    {
        std::string text;
        for (const std::string& line : held_call_records())
            text += line + "\n";
        return text;
    }
};

TEST_F(CallRecords, MissedAndAnsweredIncomingCalls)
{
    cdr_begin_at(local_time(10, 15, 2), true, "A", "2002");
    cdr_finish_at(local_time(10, 15, 40), "Connection reset by user");
    cdr_begin_at(local_time(10, 15, 2), true, "A", "2002");
    cdr_answered_at(local_time(10, 15, 10));
    cdr_finish_at(local_time(10, 15, 40), "Connection reset by peer [104]");
    EXPECT_EQ(file(), "2026-12-07,10:15:02,10:15:40,A,2002,0,in,MISSED CALL,Connection reset by user\n"
                      "2026-12-07,10:15:02,10:15:40,A,2002,30,in,ANSWERED,Connection reset by peer [104]\n");
}

TEST_F(CallRecords, UnansweredOutgoingAndAFinishWithoutBegin)
{
    cdr_begin_at(local_time(23, 59, 58, 7), false, "sip:1000@example.test", "1001");
    cdr_finish_at(local_time(0, 0, 5, 8), "486 Busy Here");
    cdr_finish_at(local_time(0, 0, 6, 8), "again");
    EXPECT_EQ(file(), "2026-12-07,23:59:58,00:00:05,sip:1000@example.test,1001,0,out,NO ANSWER,486 Busy Here\n"
                      ",,00:00:06,,,0,,,again\n");
}

TEST_F(CallRecords, LongTextsAreCutToTheirFields)
{
    cdr_begin_at(local_time(9, 0, 0), true, std::string(100, 'a'), std::string(100, 'p'));
    cdr_finish_at(local_time(9, 0, 1), std::string(200, 'r'));
    EXPECT_EQ(file(), "2026-12-07,09:00:00,09:00:01," + std::string(31, 'a') + "," + std::string(31, 'p') +
                          ",0,in,MISSED CALL," + std::string(63, 'r') + "\n");
    // A name in Chinese is cut before the character that would not fit.
    std::string name = "12";
    for (int i = 0; i < 10; ++i)
        name += "当";
    cdr_begin_at(local_time(9, 1, 0), true, "A", name);
    cdr_finish_at(local_time(9, 1, 1), "r");
    EXPECT_EQ(split(held_call_records().back(), ',').at(4), name.substr(0, 29));
}

TEST_F(CallRecords, EveryCallStartsFromAnEmptyRecord)
{
    // An answered call that never finished (a tamper-key call, say) leaves
    // its answer time; the next call must not inherit it as a talk time.
    cdr_begin_at(local_time(9, 0, 0), false, "A", "1001");
    cdr_answered_at(local_time(9, 0, 5));
    cdr_begin_at(local_time(9, 10, 0), true, "A", "2002");
    cdr_finish_at(local_time(9, 10, 30), "Connection reset by user");
    EXPECT_EQ(file(), "2026-12-07,09:10:00,09:10:30,A,2002,0,in,MISSED CALL,Connection reset by user\n");
}

TEST_F(CallRecords, HostileSipDataStaysInItsFields)
{
    // Line ends, commas, formulas and bytes that are not UTF-8, from the
    // caller (account and peer) and from the far end (the close reason).
    cdr_begin_at(local_time(9, 0, 0), true, "=cmd|' /c calc'!A0", "=1+2,evil,=HYPERLINK(x),x\xff\n2030");
    cdr_finish_at(local_time(9, 0, 1), "gone\n2030-01-01,00:00:00,00:00:09,B,1,9,in,ANSWERED,x");
    cdr_begin_at(local_time(9, 1, 0), false, "sip:1000@example.test", "+4930123");
    cdr_finish_at(local_time(9, 1, 2), "486 Busy, \"quoted\", =1+1");
    cdr_begin_at(local_time(9, 2, 0), true, "@A", "-x");
    cdr_finish_at(local_time(9, 2, 2), "\"runs on");
    EXPECT_EQ(file(), "2026-12-07,09:00:00,09:00:01,'=cmd|' /c calc'!A0,'=1+2 evil =HYPERLINK(x) x? 2030,0,in,"
                      "MISSED CALL,gone 2030-01-01 00:00:00 00:00:09 B 1 9 in ANSWERED x\n"
                      "2026-12-07,09:01:00,09:01:02,sip:1000@example.test,+4930123,0,out,NO ANSWER,"
                      "486 Busy  \"quoted\"  =1+1\n"
                      "2026-12-07,09:02:00,09:02:02,'@A,'-x,0,in,MISSED CALL,'\"runs on\n");
    for (const std::string& line : held_call_records())
        EXPECT_EQ(split(line, ',').size(), 9u) << line;
}

TEST(RecordText, ControlCharactersBecomeBlanksAndNothingElseChanges)
{
    EXPECT_EQ(one_line("a\rb\nc\td"), "a b c d");
    EXPECT_EQ(one_line(std::string("x\0y\x1f\x7fz", 6)), "x y  z");
    EXPECT_EQ(one_line("commas, \"quotes\" and 当前按钮 stay"), "commas, \"quotes\" and 当前按钮 stay");
    EXPECT_EQ(oplog_entry("SIP STATE", "INCOMING CALL", "sip:1@h\n2030-01-01 00:00:00,FUNCTION,RELAY Control,On"),
              "SIP STATE,INCOMING CALL,sip:1@h 2030-01-01 00:00:00,FUNCTION,RELAY Control,On");
}

TEST(RecordText, BytesThatAreNotUtf8BecomeQuestionMarks)
{
    // A stray continuation byte, a lead byte without its continuation, an
    // overlong '/', a surrogate, a code point above U+10FFFF, Latin-1.
    EXPECT_EQ(one_line("a\x80" "b"), "a?b");
    EXPECT_EQ(one_line("\xe5\xbd"), "??");
    EXPECT_EQ(one_line("\xc0\xaf"), "??");
    EXPECT_EQ(one_line("\xed\xa0\x80"), "???");
    EXPECT_EQ(one_line("\xf4\x90\x80\x80"), "????");
    EXPECT_EQ(one_line("M\xfcller"), "M?ller");
    EXPECT_EQ(one_line("\xf0\x9f\x94\x94 \xc3\xa9 \xe2\x82\xac"), "\xf0\x9f\x94\x94 \xc3\xa9 \xe2\x82\xac");
    // An entry cut at its size keeps whole characters only.
    const std::string detail(240, 'x');
    const std::string entry = oplog_entry("SIP STATE", "X", detail + "当前按钮");
    EXPECT_EQ(entry, "SIP STATE,X," + detail + "当");
    EXPECT_EQ(cut_text("ab当", 4), "ab");
    EXPECT_EQ(cut_text("ab当", 5), "ab当");
    EXPECT_EQ(cut_text("ab\x80\x80\x80\x80", 4), "ab\x80\x80") << "garbage is cut where it stands";
}

TEST(RecordText, CellsThatASpreadsheetWouldRunGetAnApostrophe)
{
    for (const char* armed : {"=1+1", "@SUM(A1)", "+A1", "-cmd|' /c calc'!A0", "-", "+", "\"quoted, runs on"})
        EXPECT_EQ(unarmed_cell(armed), std::string("'") + armed) << armed;
    for (const char* plain : {"+4930123", "-1", "1000", "sip:=1@h", " =1", "", "Busy Here"})
        EXPECT_EQ(unarmed_cell(plain), plain) << plain;
    EXPECT_EQ(unarmed_cells("sip:=1+2,evil,=HYPERLINK(x),x@host"), "sip:=1+2,evil,'=HYPERLINK(x),x@host");
    EXPECT_EQ(unarmed_cells("486 Busy, \"quoted\", =1+1,,@"), "486 Busy, \"quoted\", =1+1,,'@");
}

TEST_F(CallRecords, WithoutRedisTheNewestLinesWaitInMemory)
{
    for (int call = 0; call < 34; ++call) {
        cdr_begin_at(local_time(10, call, 0), true, "A", std::to_string(call));
        cdr_answered_at(local_time(10, call, 1));
        cdr_finish_at(local_time(10, call, 3), "r");
        EXPECT_EQ(cdr_record.date, "") << "the record is cleared all the same";
        EXPECT_EQ(cdr_record.answer_time, 0);
    }
    const std::vector<std::string> lines = held_call_records();
    ASSERT_EQ(lines.size(), cdr_held_max);
    EXPECT_EQ(lines.front(), "2026-12-07,10:02:00,10:02:03,A,2,2,in,ANSWERED,r") << "the oldest went first";
    EXPECT_EQ(split(lines.back(), ',').at(4), "33");
}

class RecordFile : public ::testing::Test {
protected:
    kit_root root;
    root_in_process in_root{root};
    std::string text() { return root.read("/userdata/test.csv"); }
    void write(const std::string& content) { root.write("/userdata/test.csv", content); }
};

TEST_F(RecordFile, PartLineLeftAtTheEndIsCutBeforeTheNextLine)
{
    record_file file("/userdata/test.csv");
    write("one\ntwo\nthr");
    ASSERT_TRUE(file.append("three\n"));
    EXPECT_EQ(text(), "one\ntwo\nthree\n");

    // A part line longer than the block read at a time, and a file with no
    // line end at all.
    write("one\n" + std::string(10000, 'x'));
    ASSERT_TRUE(file.append("two\n"));
    EXPECT_EQ(text(), "one\ntwo\n");
    write(std::string(5000, 'x'));
    ASSERT_TRUE(file.append("one\n"));
    EXPECT_EQ(text(), "one\n");
}

TEST_F(RecordFile, RefusedWriteReportsWhyAndLeavesOnlyWholeLines)
{
    ASSERT_EQ(symlink("/dev/full", root.file("/userdata/full.csv").c_str()), 0);
    record_file full("/userdata/full.csv");
    EXPECT_FALSE(full.append("line\n"));
    EXPECT_NE(full.failure().find("cannot write "), std::string::npos) << full.failure();
    EXPECT_NE(full.failure().find(": No space left on device"), std::string::npos) << full.failure();
    EXPECT_FALSE(full.is_open()) << "the next try opens the file anew";

    record_file missing("/nowhere/test.csv");
    EXPECT_FALSE(missing.open());
    EXPECT_NE(missing.failure().find("cannot open "), std::string::npos) << missing.failure();

    // A file-size limit in the middle of a line: the part that got in is cut
    // off again, and the line goes in whole once the limit is lifted.
    record_file file("/userdata/test.csv");
    ASSERT_TRUE(file.append("one\n"));
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    struct sigaction before {};
    sigaction(SIGXFSZ, &quiet, &before);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = 10;
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool refused = !file.append("a line too long\n");
    const std::string failure = file.failure();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &before, nullptr);
    EXPECT_TRUE(refused);
    EXPECT_NE(failure.find("File too large"), std::string::npos) << failure;
    EXPECT_EQ(text(), "one\n");
    ASSERT_TRUE(file.append("a line too long\n"));
    EXPECT_EQ(text(), "one\na line too long\n");
}
