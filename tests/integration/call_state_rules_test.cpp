// How registration events, the user agent's exit and the start-up status
// move the shared call state.
#include "orvanel/call/start_status.h"
#include "tests/integration/in_process.h"

namespace {

const std::string two_accounts =
    "[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\n"
    "[account_info_2]\nenable = yes\nusername = 2000\ndomain =\nserver = 10.0.0.9\n";

}  // namespace

class Registrations : public InProcessStation {
protected:
    void SetUp() override
    {
        InProcessStation::SetUp();
        root.write_settings(two_accounts);
    }
    void registration(const char* type, const std::string& aor, const std::string& extra = "")
    {
        event(std::string(R"({"type":")") + type + R"(","accountaor":")" + aor + "\"" + extra + "}");
    }
};

TEST_F(Registrations, AcceptedAccountMakesTheStationReady)
{
    registration("REGISTER_OK", "sip:1000@example.test");
    EXPECT_EQ(account_flag(1), 1);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    EXPECT_EQ(led_state_gpio140, LED_READY);
    EXPECT_EQ(led_state_gpio67, LED_READY);
    registration("REGISTER_OK", "sip:2000@10.0.0.9");  // empty domain: the server stands in
    EXPECT_EQ(account_flag(2), 1);
    EXPECT_EQ(oplog_entries(), (std::vector<std::string>{
                                   "SIP STATE,SIP REGISTERED,Primary SIP Account <sip:1000@example.test>",
                                   "SIP STATE,SIP REGISTERED,Secondary SIP Account-1 <sip:2000@10.0.0.9>"}));
}

TEST_F(Registrations, InitRegisterResetsAnyStatusButOthersOnlyNotReady)
{
    establish_call();
    registration("REGISTER_OK", "sip:nobody@x");
    EXPECT_EQ(baresip_status, STATUS_IN_CALL);
    registration("REGISTER_OK", "sip:nobody@x", R"(,"class":"init register")");
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    EXPECT_EQ(led_state_gpio140, LED_NO_ACCOUNT) << "no account matched";
}

TEST_F(Registrations, LosingOneOfTwoAccountsKeepsTheStationReady)
{
    account_flag(1) = 1;
    account_flag(2) = 1;
    enter_idle();
    set_led_states(LED_READY);
    registration("REGISTER_FAIL", "sip:2000@10.0.0.9", R"(,"param":"403 Forbidden")");
    EXPECT_EQ(account_flag(1), 1);
    EXPECT_EQ(account_flag(2), 0);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    EXPECT_EQ(led_state_gpio140, LED_READY);
    EXPECT_TRUE(root.tool_calls().empty());
    EXPECT_EQ(oplog_entries(),
              std::vector<std::string>{"SIP STATE,Secondary Account-1 REGISTER FAILED <sip:2000@10.0.0.9>,403 Forbidden"});
}

TEST_F(Registrations, LosingTheLastAccountWithP2pKeepsTheStatus)
{
    account_flag(1) = 1;
    p2p_enabled = 1;
    enter_idle();
    set_led_states(LED_READY);
    registration("UNREGISTERING", "sip:1000@example.test");
    EXPECT_EQ(account_flag(1), 0);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    EXPECT_EQ(led_state_gpio67, LED_READY);
    EXPECT_TRUE(root.tool_calls().empty());
    EXPECT_TRUE(oplog_entries().empty()) << "giving an account up on purpose is no failure";
}

// A registrar that refuses an account refuses every retry alike: the
// failure and its reason are entered once per episode, whether or not the
// account was ever registered.
TEST_F(Registrations, FailuresAreEnteredOncePerEpisodeWithTheirReason)
{
    const std::string failed = "SIP STATE,Primary Account REGISTER FAILED <sip:1000@example.test>,";
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"401 Unauthorized")");
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"401 Unauthorized")");
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"408 Request Timeout")");
    EXPECT_EQ(account_flag(1), 0);
    EXPECT_EQ(oplog_entries(), (std::vector<std::string> {failed + "401 Unauthorized", failed + "408 Request Timeout"}));

    // Registered, then lost: a new episode, entered as before, once.
    registration("REGISTER_OK", "sip:1000@example.test");
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"408 Request Timeout")");
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"408 Request Timeout")");
    EXPECT_EQ(oplog_entries().size(), 4u);
    EXPECT_EQ(oplog_entries().back(), failed + "408 Request Timeout");

    // A new user agent starts a new episode; a disabled account or another
    // address enters nothing.
    event(R"({"type":"EXIT"})");
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"408 Request Timeout")");
    registration("REGISTER_FAIL", "sip:9999@example.test", R"(,"param":"403 Forbidden")");
    root.write_settings("[account_info_1]\nenable = no\nusername = 1000\ndomain = example.test\n");
    registration("REGISTER_FAIL", "sip:1000@example.test", R"(,"param":"403 Forbidden")");
    const std::vector<std::string> entries = oplog_entries();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[4], "SIP STATE,APP EXIT,");
    EXPECT_EQ(entries[5], failed + "408 Request Timeout");
}

TEST_F(Registrations, FailureOfAnUnknownAccountWhileNothingIsRegistered)
{
    enter_idle();
    set_led_states(LED_READY);
    registration("REGISTER_FAIL", "sip:9999@x");
    EXPECT_EQ(led_state_gpio140, LED_NO_ACCOUNT);
    EXPECT_EQ(led_state_gpio67, LED_NO_ACCOUNT);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
}

TEST_F(Registrations, ExitClearsTheAccountsButNotP2p)
{
    account_flag(1) = account_flag(2) = account_flag(3) = 1;
    p2p_enabled = 1;
    event(R"({"type":"EXIT"})");
    EXPECT_EQ(account_flag(1) + account_flag(2) + account_flag(3), 0);
    EXPECT_EQ(p2p_enabled, 1);
    EXPECT_EQ(baresip_status, STATUS_NOT_READY);
    EXPECT_EQ(led_state_gpio140, LED_NO_ACCOUNT);
    EXPECT_EQ(oplog_entries(), std::vector<std::string>{"SIP STATE,APP EXIT,"});
}

TEST_F(Registrations, SecondIncomingCallDuringATalkOnlyBlinksAndRecords)
{
    establish_call();
    root.write_settings("[relay_ctrl]\ncall_state = yes\nstate_info = incoming\n");
    event(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2001@h"})");
    EXPECT_EQ(baresip_status, STATUS_IN_CALL);
    EXPECT_EQ(led_state_gpio140, LED_RINGING);
    EXPECT_EQ(led_state_gpio67, LED_RINGING);
    EXPECT_EQ(client.list("output-channel"), std::vector<std::string>{});
}

using StartStatus = InProcessStation;

TEST_F(StartStatus, FirstRingingStatusStaysAndLaterAccountsCount)
{
    root.write_settings(two_accounts);
    client.command("SET %s %s", "baresip-call-status-1000-example.test", R"({"status":"ring"})");
    client.command("SET %s %s", "baresip-call-status-2000-10.0.0.9", R"({"status":"idle"})");
    read_start_call_status();
    EXPECT_EQ(baresip_status, STATUS_INCOMING_RINGING);
    EXPECT_EQ(account_flag(1), 1);
    EXPECT_EQ(account_flag(2), 1);
    EXPECT_EQ(led_state_gpio140, LED_READY);
}

TEST_F(StartStatus, MissingKeyOfALaterAccountLeavesNotReady)
{
    root.write_settings(two_accounts);
    client.command("SET %s %s", "baresip-call-status-1000-example.test", R"({"status":"idle"})");
    read_start_call_status();
    EXPECT_EQ(baresip_status, STATUS_NOT_READY);
    EXPECT_EQ(account_flag(1), 1);
    EXPECT_EQ(account_flag(2), 0);
    EXPECT_EQ(led_state_gpio67, LED_READY);
}

TEST_F(StartStatus, OnlyP2pEnabledReadsNoKey)
{
    root.write_settings("[account_info_p2p]\nenable = yes\n");
    read_start_call_status();
    EXPECT_EQ(baresip_status, STATUS_NOT_READY);
    EXPECT_EQ(p2p_enabled, 1);
    EXPECT_EQ(led_state_gpio140, LED_READY);
}

TEST_F(StartStatus, ValuesAreComparedWholeAndWithoutRedisNothingCounts)
{
    root.write_settings(two_accounts);
    client.command("SET %s %s", "baresip-call-status-1000-example.test", R"({"status": "idle"})");
    EXPECT_EQ(query_call_status("baresip-call-status-1000-example.test"), STATUS_NOT_READY);
    client.command("SET %s %s", "baresip-call-status-1000-example.test", R"({"status":"answer"})");
    EXPECT_EQ(query_call_status("baresip-call-status-1000-example.test"), STATUS_IN_CALL);
    EXPECT_EQ(baresip_status, STATUS_IN_CALL);

    enter_not_ready();
    redis.stop();
    testing::internal::CaptureStdout();
    read_start_call_status();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(account_flag(1), 0);
    EXPECT_EQ(led_state_gpio140, LED_NO_ACCOUNT);
}
