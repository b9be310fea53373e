// What a start of orvanel takes back of a door code lockout, from the file
// and Redis, with the clocks and the boot passed in.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvanel/relay/door_code_guard.h"
#include "orvanel/relay/lockout_record.h"

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using reason = lockout_restore::reason;

namespace {

const std::string this_boot = "6f1c2a1e-0d7b-4c57-9a51-2b6de1a2c3f4";
const std::string last_boot = "0b8e33c2-5f0a-4d0e-8d7a-93b1c4e5f607";
constexpr std::chrono::seconds longest = door_code_guard::longest_lockout;

// The station six hours into this boot, at a wall time of 1,718,000,000 s.
lockout_now station_now()
{
    return {1718000000000ms, 6h, this_boot};
}

// The file as orvanel writes it for a lockout of `length` begun `ago`
// before station_now() in `boot`.
lockout_file_found file_of(std::chrono::seconds length, milliseconds ago, const std::string& boot = this_boot)
{
    const lockout_now now = station_now();
    lockout_record record;
    record.length = length;
    record.end = std::chrono::ceil<std::chrono::seconds>(now.wall - ago + length);
    record.boot = boot;
    record.boot_end = now.boot_clock - ago + length;
    return {lockout_file_found::state::read, lockout_record_text(record)};
}

lockout_file_found no_file()
{
    return {};
}

lockout_file_found text_file(const std::string& text)
{
    return {lockout_file_found::state::read, text};
}

}  // namespace

TEST(LockoutRecord, TheTextReadsBackAsWrittenAndNothingElseReadsAsARecord)
{
    const lockout_record written{120s, std::chrono::seconds{1718000120}, this_boot, 220000ms};
    const std::string text = lockout_record_text(written);
    EXPECT_EQ(text, "length 120\nend 1718000120\nboot " + this_boot + "\nboot-end-ms 220000\n");
    const std::optional<lockout_record> read = parse_lockout_record(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->length, 120s);
    EXPECT_EQ(read->end, std::chrono::seconds{1718000120});
    EXPECT_EQ(read->boot, this_boot);
    EXPECT_EQ(read->boot_end, 220000ms);
    EXPECT_TRUE(parse_lockout_record(text + "cause wrong-digits\n")) << "a field a later version adds";

    // Cut short anywhere, even where what is left still looks whole.
    for (std::size_t size = 0; size < text.size(); ++size)
        EXPECT_FALSE(parse_lockout_record(text.substr(0, size))) << size;

    const std::string boot_line = "boot " + this_boot + "\n";
    const std::vector<std::string> not_records{
        "length 0\nend 1\n" + boot_line + "boot-end-ms 1\n",
        "length -60\nend 1\n" + boot_line + "boot-end-ms 1\n",
        "length 60\nlength 3600\nend 1\n" + boot_line + "boot-end-ms 1\n",
        "length 60\nend 99999999999999999999\n" + boot_line + "boot-end-ms 1\n",
        "length 60\nend 1\nboot ../../etc\nboot-end-ms 1\n",
        "length 60\nend 1\n" + boot_line + "boot-end-ms 1 \n",
        "length 60\r\nend 1\n" + boot_line + "boot-end-ms 1\n",
        "length 60\nend 1\nboot " + this_boot + std::string("\0", 1) + "\nboot-end-ms 1\n",
        text + std::string(lockout_file_cap, 'x') + "\n",
        std::string(300, '\n'),
    };
    for (const std::string& bad : not_records)
        EXPECT_FALSE(parse_lockout_record(bad)) << bad;

    EXPECT_EQ(boot_id_of_text(this_boot + "\n"), this_boot);
    EXPECT_EQ(boot_id_of_text(""), unknown_boot);
    EXPECT_EQ(boot_id_of_text("not a boot id\n"), unknown_boot);
}

TEST(LockoutRecord, ARestartInTheSameBootTakesTheLongerTimeLeft)
{
    // 20 s into a minute's lockout, Redis lost: the file's 40 s hold.
    lockout_restore r = lockout_to_restore(0ms, file_of(60s, 20s), station_now(), longest);
    EXPECT_EQ(r.why, reason::restart);
    EXPECT_EQ(r.remaining, 40s);
    EXPECT_FALSE(r.write_file);
    EXPECT_TRUE(r.set_redis);
    EXPECT_EQ(r.length, 60s);

    // Redis with more (the file is older than it should be): Redis's.
    r = lockout_to_restore(milliseconds(50s), file_of(60s, 20s), station_now(), longest);
    EXPECT_EQ(r.remaining, 50s);
    EXPECT_TRUE(r.write_file);
    EXPECT_FALSE(r.set_redis);

    // NTP stepped the wall clock a year on since the lockout began: the
    // boot's clock still says 40 s.
    lockout_now stepped = station_now();
    stepped.wall += std::chrono::hours(24 * 365);
    r = lockout_to_restore(0ms, file_of(60s, 20s), stepped, longest);
    EXPECT_EQ(r.remaining, 40s);

    // A wall clock set back a day says more than the lockout's length: the
    // length caps it.
    lockout_now set_back = station_now();
    set_back.wall -= std::chrono::hours(24);
    r = lockout_to_restore(0ms, file_of(60s, 20s), set_back, longest);
    EXPECT_EQ(r.remaining, 60s);
}

TEST(LockoutRecord, AfterAnotherBootTheLockoutResumesWhole)
{
    // A minute's lockout with 30 s left when the cable was pulled, the
    // board's clock now a day behind or a year ahead, Redis lost or still
    // holding its key: the whole minute, never less.
    for (const milliseconds shift : {milliseconds(0), -milliseconds(std::chrono::hours(24)),
                                     milliseconds(std::chrono::hours(24 * 365))}) {
        lockout_now now = station_now();
        now.wall += shift;
        now.boot_clock = 25s;  // the new boot's clock starts afresh
        for (const std::optional<milliseconds> redis : {std::optional<milliseconds>(), std::optional(0ms),
                                                         std::optional(milliseconds(30s))}) {
            const lockout_restore r = lockout_to_restore(redis, file_of(60s, 30s, last_boot), now, longest);
            EXPECT_EQ(r.why, reason::boot);
            EXPECT_EQ(r.remaining, 60s);
            EXPECT_EQ(r.length, 60s);
            EXPECT_TRUE(r.write_file) << "written anew for this boot";
        }
    }

    // The lockout's time was long up by the wall clock: still whole.
    EXPECT_EQ(lockout_to_restore(0ms, file_of(120s, 5h, last_boot), station_now(), longest).remaining, 120s);

    // Redis with more than the file's length (a clock played with): the longer.
    const lockout_restore r = lockout_to_restore(milliseconds(90s), file_of(60s, 0s, last_boot), station_now(), longest);
    EXPECT_EQ(r.remaining, 90s);
    EXPECT_EQ(r.length, 90s);

    // This boot's id cannot be read: it may be another boot.
    lockout_now unknown = station_now();
    unknown.boot = unknown_boot;
    EXPECT_EQ(lockout_to_restore(0ms, file_of(60s, 50s), unknown, longest).remaining, 60s);
    EXPECT_EQ(lockout_to_restore(0ms, file_of(60s, 50s, unknown_boot), unknown, longest).remaining, 60s)
        << "an unknown boot matches none, not even another unknown one";
}

TEST(LockoutRecord, WithoutAFileRedisAloneCounts)
{
    lockout_restore r = lockout_to_restore(0ms, no_file(), station_now(), longest);
    EXPECT_EQ(r.why, reason::none);
    EXPECT_FALSE(r.write_file);
    EXPECT_FALSE(r.remove_file);

    r = lockout_to_restore(milliseconds(42500), no_file(), station_now(), longest);
    EXPECT_EQ(r.why, reason::restart);
    EXPECT_EQ(r.remaining, 42500ms);
    EXPECT_EQ(r.length, 43s) << "the time left stands for the unknown length";
    EXPECT_TRUE(r.write_file) << "so that a power cut does not end it";

    EXPECT_EQ(lockout_to_restore(std::nullopt, no_file(), station_now(), longest).why, reason::none);
}

TEST(LockoutRecord, AFileThatIsNoRecordIsTheLongestLockout)
{
    for (const lockout_file_found& file : {
             text_file(""),
             text_file("garbage"),
             text_file(std::string(lockout_file_cap, '\xff')),
             text_file(file_of(60s, 0s).text.substr(0, 30)),
             lockout_file_found{lockout_file_found::state::unreadable, ""},
         }) {
        const lockout_restore r = lockout_to_restore(0ms, file, station_now(), longest);
        EXPECT_EQ(r.why, reason::unreadable);
        EXPECT_EQ(r.remaining, milliseconds(longest));
        EXPECT_EQ(r.length, longest);
        EXPECT_TRUE(r.write_file) << "replaced by a record of its own";
        EXPECT_TRUE(r.set_redis);
    }
    EXPECT_EQ(door_code_guard::lockouts_up_to(longest), 7) << "the next lockout is an hour too";
}

TEST(LockoutRecord, AnExpiredLockoutInTheSameBootIsOverAndItsFileGoes)
{
    // Its end passed while orvanel was not running.
    lockout_restore r = lockout_to_restore(0ms, file_of(60s, 61s), station_now(), longest);
    EXPECT_EQ(r.why, reason::none);
    EXPECT_EQ(r.remaining, 0ms);
    EXPECT_TRUE(r.remove_file) << "a later boot must not lock again";

    r = lockout_to_restore(std::nullopt, file_of(60s, 10min), station_now(), longest);
    EXPECT_EQ(r.why, reason::none);
    EXPECT_TRUE(r.remove_file);

    // Redis still holds a little (its key outlived the file's end): Redis's.
    r = lockout_to_restore(milliseconds(2s), file_of(60s, 61s), station_now(), longest);
    EXPECT_EQ(r.why, reason::restart);
    EXPECT_EQ(r.remaining, 2s);
    EXPECT_FALSE(r.remove_file);
}

TEST(DoorCode, ARestoredLengthStillDoublesTheNextLockout)
{
    EXPECT_EQ(door_code_guard::lockouts_up_to(1s), 1);
    EXPECT_EQ(door_code_guard::lockouts_up_to(60s), 1);
    EXPECT_EQ(door_code_guard::lockouts_up_to(99999s), 7);
    for (int earlier = 0; earlier < 10; ++earlier)
        EXPECT_EQ(door_code_guard::lockout_length(door_code_guard::lockouts_up_to(door_code_guard::lockout_length(earlier))),
                  door_code_guard::lockout_length(earlier + 1));
}
