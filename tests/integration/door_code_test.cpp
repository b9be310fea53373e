// The door code against the real orvanel, attacked through Redis as a
// caller would through the user agent: digits while a call rings, wrong
// codes in a call, calls in a row, and a restart in the middle of a lockout.
#include "tests/integration/running_station.h"

namespace {

const std::string on_request = R"({"id":"gpio135","type":"On"})";

}  // namespace

class DoorCode : public RunningStation {
protected:
    void SetUp() override
    {
        root.write_settings("[relay_ctrl]\ntype = On\ndtmf = yes\ndtmf_code = 1234\nmode = hold\n");
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
    client.command("PEXPIRE %s %s", "dtmf-lockout", "800");
    start_orvanel();
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,DTMF UNLOCKED,") == 1; }, 5s));
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
