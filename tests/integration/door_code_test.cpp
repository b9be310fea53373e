// The door code against the real orvanel, attacked through Redis as a
// caller would through the user agent: digits while a call rings, wrong
// codes in a call, calls in a row, and a restart, a reboot or a power cut in
// the middle of a lockout.
#include <filesystem>

#include <sys/stat.h>

#include "orvanel/relay/lockout_file.h"
#include "orvanel/relay/lockout_record.h"
#include "tests/integration/running_station.h"

namespace {

const std::string on_request = R"({"id":"gpio135","type":"On"})";
const std::string first_boot = "3d4f5a6b-1c2d-4e3f-8a9b-0c1d2e3f4a5b";
const std::string second_boot = "9e8d7c6b-5a49-4382-b716-05f4e3d2c1b0";
const std::string boot_id_file = "/proc/sys/kernel/random/boot_id";

}  // namespace

class DoorCode : public RunningStation {
protected:
    void SetUp() override
    {
        root.write_settings("[relay_ctrl]\ntype = On\ndtmf = yes\ndtmf_code = 1234\nmode = hold\n");
        root.write(boot_id_file, first_boot + "\n");
        start_orvanel();
        publish(R"({"type":"REGISTER_OK","class":"init register"})");  // ready: status idle
    }

    void ring() { publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:4000@h"})"); }
    void answer() { publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})"); }
    void close() { publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by peer [104]"})"); }
    void digits(const std::string& text)
    {
        for (const char d : text)
            publish(std::string(R"({"type":"CALL_DTMF_START","param":")") + d + "\"}");
    }
    // A call answered at the station, its digits, and its close; returns
    // once the close is in the operation log.
    void call(const std::string& sent)
    {
        const size_t closed = count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]");
        ring();
        answer();
        digits(sent);
        close();
        ASSERT_TRUE(wait_until(
            [&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") > closed; }, 10s));
    }
    // True when a switch-on request arrives within the time.
    bool opens(std::chrono::milliseconds within = 1s)
    {
        return client.pop_oldest("output-channel", within) == std::optional<std::string>(on_request);
    }
    std::string message_log() { return root.message_log(); }

    // Three calls that use up their tries: the station is locked for a minute.
    void lock_the_station()
    {
        for (int n = 0; n < 3; ++n)
            call(std::string(12, '0' + static_cast<char>(n)));
        ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF LOCKED,60 s") == 1; }, 10s));
    }

    // The lockout file as it stands; nothing when there is none or it is
    // no record.
    std::optional<lockout_record> lockout_file()
    {
        if (!root.exists(lockout_file_path))
            return std::nullopt;
        return parse_lockout_record(root.read(lockout_file_path));
    }

    // The lockout is about to end: its file and Redis's key say so, as they
    // would with `left` to run in this boot.
    void lockout_ends_in(std::chrono::milliseconds left)
    {
        const lockout_now now = lockout_clocks();
        lockout_record record{60s, std::chrono::ceil<std::chrono::seconds>(now.wall + left),
                              boot_id_of_text(root.read(boot_id_file)), now.boot_clock + left};
        root.write(lockout_file_path, lockout_record_text(record));
        client.command("PEXPIRE %s %s", "dtmf-lockout", std::to_string(left.count()));
    }

    // orvanel started anew with the lockout's time nearly up: it takes the
    // lockout back and writes its end when it comes. The time left outlasts
    // a start under a sanitizer on a loaded machine (a lockout that ended
    // while orvanel was away is only forgotten, with no entry).
    void restart_near_the_lockouts_end()
    {
        const size_t restarts = occurrences(message_log(), "a lockout from before the restart");
        lockout_ends_in(3s);
        start_orvanel();
        ASSERT_TRUE(wait_until(
            [&] { return occurrences(message_log(), "a lockout from before the restart") > restarts; }, 3s))
            << "orvanel took over 3 s to take the lockout back";
        ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF UNLOCKED,") == 1; }, 20s));
    }

    // orvanel stops as in a power cut: no unlock thread runs, Redis's data
    // is lost (as it may be in a cut, whatever its configuration), and the
    // board comes up with another boot id when it is a boot.
    void power_cut(const std::string& next_boot)
    {
        orvanel.reset();
        client.command("FLUSHALL");
        root.write(boot_id_file, next_boot + "\n");
    }

    long long lockout_ms_in_redis() { return client.command("PTTL %s", "dtmf-lockout")->integer; }
};

TEST_F(DoorCode, DigitsBeforeTheAnswerNeverOpen)
{
    ring();
    digits("12341234");
    EXPECT_FALSE(opens(500ms)) << "a ringing call's digits open nothing";
    answer();
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,incoming") == 1; }));
    EXPECT_EQ(count_entries("FUNCTION,RECEIVE DTMF,1"), 0u) << "nor are they recorded";
    EXPECT_EQ(occurrences(message_log(), "DTMF ignored: no call is established"), 1u) << "said once for the call";

    // The same call once answered: the code opens.
    digits("1234");
    EXPECT_TRUE(opens());
    EXPECT_TRUE(wait_until([&] { return count_entries("FUNCTION,RECEIVE DTMF,4") == 1; }));
    close();

    // An outgoing call that still rings is no different, and each call
    // says it once.
    publish(R"({"type":"CALL_OUTGOING","direction":"outgoing","peeruri":"sip:1001@h"})");
    digits("1234");
    EXPECT_FALSE(opens(500ms));
    EXPECT_TRUE(wait_until([&] { return occurrences(message_log(), "DTMF ignored") == 2; }));
}

TEST_F(DoorCode, WrongTriesAreLimitedPerCall)
{
    // The right code after two wrong tries opens.
    call("98769876" "1234");
    EXPECT_TRUE(opens());

    // Three wrong tries lock the call: the right code then opens nothing,
    // and a flood of further digits leaves no entry.
    ring();
    answer();
    digits("987698769876");
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF LOCKED,call") == 1; }));
    digits("1234");
    digits(std::string(200, '5'));
    close();
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 2; }));
    EXPECT_FALSE(opens(300ms));
    size_t received = 0;
    for (const std::string& entry : oplog())
        received += entry.rfind("FUNCTION,RECEIVE DTMF,", 0) == 0;
    EXPECT_EQ(received, 12u + 12u) << "the first call's twelve digits and the locked call's twelve";
    EXPECT_EQ(count_entries("FUNCTION,DTMF LOCKED,call"), 1u);
    EXPECT_NE(message_log().find("DTMF locked for this call: 3 wrong tries of the door code"), std::string::npos);

    // The next call has its tries again, and its match forgets the wrong
    // digits that the station counted.
    call("1234");
    EXPECT_TRUE(opens());

    // A setting of its own.
    root.write_settings("[relay_ctrl]\ntype = On\ndtmf = yes\ndtmf_code = 1234\ndtmf_tries = 1\n");
    ring();
    answer();
    digits("9999" "1234");
    EXPECT_FALSE(opens(500ms)) << "one try of four digits";
    close();
    call("1234");
    EXPECT_TRUE(opens());
}

// Three calls that use up their tries lock every code for a minute; the
// lockout is kept in Redis, so a restart of orvanel does not end it.
TEST_F(DoorCode, LockedCallsInARowLockTheStationThroughARestart)
{
    const auto started = std::chrono::steady_clock::now();
    for (int n = 0; n < 3; ++n)
        call(std::string(12, '0' + static_cast<char>(n)));
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF LOCKED,60 s") == 1; }, 10s));
    std::cerr << "lockout entry in system.csv "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count()
              << " ms after the first digit\n";
    EXPECT_EQ(count_entries("FUNCTION,DTMF LOCKED,call"), 3u);
    const long long left = client.command("PTTL %s", "dtmf-lockout")->integer;
    EXPECT_GT(left, 50000);
    EXPECT_LE(left, 60000);

    call("1234");
    EXPECT_FALSE(opens(300ms)) << "the right code in a fourth call is refused";
    EXPECT_NE(message_log().find("DTMF ignored: the door code is locked for"), std::string::npos);

    // A restart: the lockout holds.
    start_orvanel();
    EXPECT_TRUE(wait_until([&] { return message_log().find("a lockout from before the restart") != std::string::npos; }));
    call("1234");
    EXPECT_FALSE(opens(300ms)) << "a restart is no way around the lockout";

    // Its end, taken after another restart with the time nearly up: the
    // entry says so, and the right code opens again.
    restart_near_the_lockouts_end();
    if (HasFatalFailure())
        return;
    EXPECT_FALSE(root.exists(lockout_file_path)) << "the ended lockout leaves no file for the next boot";
    call("1234");
    EXPECT_TRUE(opens());
    EXPECT_TRUE(wait_until([&] { return client.command("EXISTS %s", "dtmf-guard")->integer == 0; }))
        << "a match forgets the locked calls and the doubling";
}

// A caller who hangs up one digit short of a call's tries and calls again
// is counted by the digits: the fourth such call brings the lockout at the
// 36th wrong digit, and the count survives a restart in between.
TEST_F(DoorCode, CallsThatHangUpShortOfTheirTriesLockTheStationToo)
{
    for (int n = 0; n < 3; ++n)
        call(std::string(11, '0' + static_cast<char>(n)));
    EXPECT_EQ(count_entries("FUNCTION,DTMF LOCKED,call"), 0u) << "no call used up its tries";
    EXPECT_TRUE(wait_until([&] {
        const reply_ptr kept = client.command("GET %s", "dtmf-guard");
        return kept && kept->type == REDIS_REPLY_STRING && std::string(kept->str, kept->len) == "33 0";
    })) << "the wrong digits are kept at each call's end";

    start_orvanel();
    ring();
    answer();
    digits("987");
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF LOCKED,60 s") == 1; }, 10s));
    digits("1234");
    close();
    EXPECT_FALSE(opens(300ms));
    EXPECT_GT(client.command("PTTL %s", "dtmf-lockout")->integer, 50000);
    EXPECT_NE(message_log().find("DTMF locked for 60 s: wrong digits worth 3 calls' tries"), std::string::npos);
}

// The empty code keeps its meaning: any digit opens, in an answered call.
TEST_F(DoorCode, EmptyCodeOpensOnAnyDigitOnlyInAnAnsweredCall)
{
    root.write_settings("[relay_ctrl]\ntype = On\ndtmf = yes\ndtmf_code =\n");
    ring();
    digits("5");
    EXPECT_FALSE(opens(500ms));
    answer();
    digits("5");
    EXPECT_TRUE(opens());
}

// The lockout is on storage before the station says it is locked, and a
// power cut that takes Redis's data with it ends it neither within the
// boot nor across one: after another boot it resumes for its whole length,
// however long the wall clock says the station was off.
TEST_F(DoorCode, ALockoutOutlastsAPowerCutAndAfterABootResumesWhole)
{
    lock_the_station();
    std::optional<lockout_record> kept = lockout_file();
    ASSERT_TRUE(kept) << root.read(lockout_file_path);
    EXPECT_EQ(kept->length, 60s);
    EXPECT_EQ(kept->boot, first_boot);

    // The cable pulled an hour before the new boot: by the wall clock the
    // lockout ended long ago, and Redis holds nothing.
    power_cut(second_boot);
    kept->end -= std::chrono::hours(1);
    root.write(lockout_file_path, lockout_record_text(*kept));
    start_orvanel();
    ASSERT_TRUE(wait_until([&] {
        return message_log().find("DTMF locked for 60 s more: a lockout from before the station's last boot, "
                                  "resumed for its whole length") != std::string::npos;
    }));
    EXPECT_GT(lockout_ms_in_redis(), 55000) << "Redis holds the resumed lockout again";
    const std::optional<lockout_record> rewritten = lockout_file();
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(rewritten->boot, second_boot) << "kept for this boot, so a restart now counts on";
    EXPECT_EQ(rewritten->length, 60s);

    call("1234");
    EXPECT_FALSE(opens(300ms)) << "the right code in a new call after the boot";
    EXPECT_TRUE(wait_until([&] { return message_log().find("DTMF ignored: the door code is locked for") != std::string::npos; }));

    // A restart within the new boot counts on from there, not from the
    // start again.
    const size_t restarts = occurrences(message_log(), "a lockout from before the restart");
    start_orvanel();
    EXPECT_TRUE(wait_until([&] { return occurrences(message_log(), "a lockout from before the restart") > restarts; }));
    call("1234");
    EXPECT_FALSE(opens(300ms));

    // The doubling is taken back with the lockout, although Redis lost the
    // count: once this lockout ends, the next one is 120 s.
    restart_near_the_lockouts_end();
    if (HasFatalFailure())
        return;
    EXPECT_FALSE(root.exists(lockout_file_path));
    for (int n = 0; n < 3; ++n)
        call(std::string(12, '5'));
    EXPECT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF LOCKED,120 s") == 1; }, 10s));
}

// A power cut within the boot (or a restart of orvanel whose Redis lost its
// data): the time left in the file holds, and when the lockout ends its
// file goes, so a later boot does not lock the code again.
TEST_F(DoorCode, ALockoutKeepsItsTimeLeftFromTheFileWithinTheBoot)
{
    lock_the_station();
    power_cut(first_boot);
    start_orvanel();
    ASSERT_TRUE(wait_until([&] { return message_log().find("a lockout from before the restart") != std::string::npos; }));
    const long long left = lockout_ms_in_redis();
    EXPECT_GT(left, 45000);
    EXPECT_LE(left, 60000);
    call("1234");
    EXPECT_FALSE(opens(300ms)) << "the right code in a new call while the file's time runs";

    // Its end: the unlock removes the file, and a later boot finds none.
    power_cut(first_boot);
    restart_near_the_lockouts_end();
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(wait_until([&] { return !root.exists(lockout_file_path); }));
    power_cut(second_boot);
    start_orvanel();
    call("1234");
    EXPECT_TRUE(opens()) << "no lockout comes back after the boot";
    EXPECT_EQ(occurrences(message_log(), "resumed for its whole length"), 0u);
}

// Whoever can write /userdata may put anything at the lockout file's name.
// orvanel starts all the same, takes it for the longest lockout rather than
// none, and puts a record of its own in its place.
TEST_F(DoorCode, AFileThatIsNoLockoutLocksForTheLongestAndNeverStopsTheStart)
{
    const std::string path = root.file(lockout_file_path);
    const std::vector<std::pair<std::string, std::function<void()>>> files{
        {"garbage", [&] { root.write(lockout_file_path, "open sesame\n"); }},
        {"ten megabytes", [&] { root.write(lockout_file_path, std::string(10 << 20, '7')); }},
        {"a pipe nobody writes", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
        {"a link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", path); }},
        {"a folder", [&] { std::filesystem::create_directory(path); }},
    };
    size_t said = 0;
    for (const auto& [what, make] : files) {
        SCOPED_TRACE(what);
        power_cut(first_boot);
        std::filesystem::remove_all(path);
        make();
        start_orvanel();
        ASSERT_TRUE(wait_until([&] { return occurrences(message_log(), "DTMF locked for 3600 s more") > said; }));
        said = occurrences(message_log(), "DTMF locked for 3600 s more");
        EXPECT_GT(lockout_ms_in_redis(), 3500000);
        if (what != "a folder") {
            const std::optional<lockout_record> replaced = lockout_file();
            ASSERT_TRUE(replaced) << "replaced by a record of orvanel's own";
            EXPECT_EQ(replaced->length, 3600s);
        }
    }
    call("1234");
    EXPECT_FALSE(opens(300ms));
    EXPECT_EQ(count_entries("FUNCTION,DTMF UNLOCKED,"), 0u);
}
