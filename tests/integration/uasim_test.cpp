// The stand-in user agent end to end: the real uasim under a station root
// against a real redis-server, with the test acting as the station (commands
// on control-channel) and as the far side (lines on uasim-actions).
#include <gtest/gtest.h>

#include <iostream>
#include <memory>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "station_kit/station.h"

namespace {

const std::string accounts_1_and_3 =
    "[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\nserver = 10.0.0.9\n"
    "[account_info_2]\nenable = no\nusername = 2000\ndomain = two.test\n"
    "[account_info_3]\nenable = yes\nusername = 3000\ndomain =\nserver = 10.0.0.9\n";
const std::string key_1 = "baresip-call-status-1000-example.test";
const std::string key_3 = "baresip-call-status-3000-10.0.0.9";

}  // namespace

class UasimStation : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure() && uasim)
            std::cerr << uasim->report("uasim");
    }

    // Subscribes first, as the station would be, so uasim does not wait for
    // a listener, then starts uasim and waits until it is ready.
    void start(const std::string& settings, const std::string& behaviours)
    {
        root.write_settings(settings);
        root.write("/sim/uasim.conf", behaviours);
        events = std::make_unique<channel_watch>(root.socket(), "session-channel");
        uasim = std::make_unique<kit_program>(root, uasim_binary(), std::vector<std::string>{"debug"});
        ASSERT_TRUE(uasim->wait_output("uasim: ready\n")) << uasim->output();
    }

    // The next event on session-channel, parsed.
    json_ptr next_event(std::chrono::milliseconds timeout = 5s)
    {
        const auto text = events->next(timeout);
        if (!text)
            return nullptr;
        json_ptr parsed(cJSON_Parse(text->c_str()));
        EXPECT_TRUE(parsed) << *text;
        return parsed;
    }

    // The next event, which must have this type; null otherwise.
    json_ptr expect_event(const std::string& type, std::chrono::milliseconds timeout = 5s)
    {
        json_ptr event = next_event(timeout);
        if (!event) {
            ADD_FAILURE() << "no event, expected " << type;
            return nullptr;
        }
        if (json_string_member(event.get(), "type") != type) {
            ADD_FAILURE() << "expected " << type << ", got " << json_string_member(event.get(), "type");
            return nullptr;
        }
        return event;
    }

    void station_sends(const std::string& command) { client.command("LPUSH control-channel %s", command); }
    void far_side_does(const std::string& action) { client.command("LPUSH uasim-actions %s", action); }
    std::string status(const std::string& key) { return client.get(key).value_or("<unset>"); }

    kit_root root;
    redis_server redis{root};
    redis_client client{root.socket()};
    std::unique_ptr<channel_watch> events;
    std::unique_ptr<kit_program> uasim;
};

TEST_F(UasimStation, StartUpRegistersEachEnabledAccountAndListsForP2p)
{
    start(accounts_1_and_3 + "[account_info_p2p]\nenable = yes\n", "");
    json_ptr first = expect_event("REGISTER_OK");
    ASSERT_TRUE(first);
    EXPECT_EQ(json_string_member(first.get(), "class"), "init register");
    EXPECT_EQ(json_string_member(first.get(), "accountaor"), "sip:1000@example.test");
    json_ptr second = expect_event("REGISTER_OK");
    ASSERT_TRUE(second);
    EXPECT_EQ(json_string_member(second.get(), "accountaor"), "sip:3000@10.0.0.9") << "server when no domain";

    json_ptr listing = next_event();
    ASSERT_TRUE(listing);
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(listing.get(), "event")));
    EXPECT_EQ(json_string_member(listing.get(), "data").rfind("\n--- User Agents (2) ---\n", 0), 0u);

    EXPECT_EQ(status(key_1), R"({"status":"idle"})");
    EXPECT_EQ(status(key_3), R"({"status":"idle"})");
    EXPECT_EQ(status("baresip-call-status-2000-two.test"), "<unset>");
}

TEST_F(UasimStation, DialAnsweredAfterASecondThenHungUpByTheStation)
{
    start(accounts_1_and_3, "[1001]\nbehaviour = answer\nafter = 1\n");
    ASSERT_TRUE(expect_event("REGISTER_OK"));
    ASSERT_TRUE(expect_event("REGISTER_OK"));

    station_sends(R"({"cmd":"dial","data":"1001 0"})");
    json_ptr outgoing = expect_event("CALL_OUTGOING");
    const auto dialled = std::chrono::steady_clock::now();
    ASSERT_TRUE(outgoing);
    EXPECT_EQ(json_string_member(outgoing.get(), "direction"), "outgoing");
    EXPECT_EQ(json_string_member(outgoing.get(), "accountaor"), "sip:1000@example.test");
    EXPECT_EQ(json_string_member(outgoing.get(), "peeruri"), "sip:1001@example.test");
    EXPECT_EQ(status(key_1), R"({"status":"ringing"})");

    json_ptr established = expect_event("CALL_ESTABLISHED", 3s);
    ASSERT_TRUE(established);
    const auto answered_after = std::chrono::steady_clock::now() - dialled;
    EXPECT_GE(answered_after, 800ms);
    EXPECT_LE(answered_after, 1800ms);
    EXPECT_EQ(json_string_member(established.get(), "direction"), "outgoing");
    EXPECT_EQ(status(key_1), R"({"status":"answer"})");
    EXPECT_TRUE(uasim->output().find("uasim: dial 1001 on sip:1000@example.test: answers after 1 s\n") !=
                std::string::npos);

    station_sends(R"({"cmd":"hangup","data":""})");
    json_ptr closed = expect_event("CALL_CLOSED");
    ASSERT_TRUE(closed);
    EXPECT_EQ(json_string_member(closed.get(), "param"), "Connection reset by user");
    EXPECT_EQ(json_string_member(closed.get(), "direction"), "outgoing");
    EXPECT_EQ(status(key_1), R"({"status":"idle"})");
}

TEST_F(UasimStation, BusyNumberAndAHangUpThatCancelsTheAnswer)
{
    start(accounts_1_and_3, "[1003]\nbehaviour = busy\nafter = 0.2\n[default]\nafter = 0.5\n");
    ASSERT_TRUE(expect_event("REGISTER_OK"));
    ASSERT_TRUE(expect_event("REGISTER_OK"));

    station_sends(R"({"cmd":"dial","data":"1003 1"})");
    json_ptr outgoing = expect_event("CALL_OUTGOING");
    ASSERT_TRUE(outgoing);
    EXPECT_EQ(json_string_member(outgoing.get(), "peeruri"), "sip:1003@10.0.0.9");
    json_ptr busy = expect_event("CALL_CLOSED");
    ASSERT_TRUE(busy);
    EXPECT_EQ(json_string_member(busy.get(), "param"), "486 Busy Here");
    EXPECT_EQ(status(key_3), R"({"status":"idle"})");

    // Hung up while it rings: the answer due half a second later never comes.
    station_sends(R"({"cmd":"dial","data":"1002 0"})");
    ASSERT_TRUE(expect_event("CALL_OUTGOING"));
    station_sends(R"({"cmd":"hangupall","data":""})");
    json_ptr closed = expect_event("CALL_CLOSED");
    ASSERT_TRUE(closed);
    EXPECT_EQ(json_string_member(closed.get(), "param"), "Connection reset by user");
    EXPECT_FALSE(events->next(1s)) << "nothing after the hang-up";
}

TEST_F(UasimStation, IncomingCallAcceptedWithDtmfAndAFarEndHangUp)
{
    start(accounts_1_and_3, "");
    ASSERT_TRUE(expect_event("REGISTER_OK"));
    ASSERT_TRUE(expect_event("REGISTER_OK"));

    far_side_does("call-in 2002");
    json_ptr incoming = expect_event("CALL_INCOMING");
    ASSERT_TRUE(incoming);
    EXPECT_EQ(json_string_member(incoming.get(), "direction"), "incoming");
    EXPECT_EQ(json_string_member(incoming.get(), "accountaor"), "sip:1000@example.test");
    EXPECT_EQ(json_string_member(incoming.get(), "peeruri"), "sip:2002@example.test");
    EXPECT_EQ(status(key_1), R"({"status":"ring"})");

    station_sends(R"({"cmd":"accept","data":""})");
    json_ptr established = expect_event("CALL_ESTABLISHED");
    ASSERT_TRUE(established);
    EXPECT_EQ(json_string_member(established.get(), "direction"), "incoming");
    EXPECT_EQ(status(key_1), R"({"status":"answer"})");

    far_side_does("dtmf 12#");
    for (const char* digit : {"1", "2", "#"}) {
        json_ptr dtmf = expect_event("CALL_DTMF_START");
        ASSERT_TRUE(dtmf);
        EXPECT_EQ(json_string_member(dtmf.get(), "param"), digit);
        EXPECT_EQ(json_string_member(dtmf.get(), "direction"), "incoming");
    }

    far_side_does("far-hangup");
    json_ptr closed = expect_event("CALL_CLOSED");
    ASSERT_TRUE(closed);
    EXPECT_EQ(json_string_member(closed.get(), "param"), "Connection reset by peer [104]");
    EXPECT_EQ(status(key_1), R"({"status":"idle"})");
}

TEST_F(UasimStation, HostileInputIsReportedAndExitEndsTheProgram)
{
    start(accounts_1_and_3, "");
    ASSERT_TRUE(expect_event("REGISTER_OK"));
    ASSERT_TRUE(expect_event("REGISTER_OK"));

    station_sends("not json");
    station_sends(R"({"cmd":"dial","data":5})");
    station_sends(R"({"cmd":"dial","data":"1001 7"})");
    station_sends(R"({"cmd":"play","data":"/snd/beep.mp3:2"})");
    far_side_does("dtmf 1x");
    far_side_does("call-in 20\x1b[2J02");
    // A quote in the number stays inside its JSON string.
    station_sends(R"({"cmd":"dial","data":"10\"01 0"})");
    json_ptr outgoing = expect_event("CALL_OUTGOING");
    ASSERT_TRUE(outgoing) << "the malformed texts before published nothing";
    EXPECT_EQ(json_string_member(outgoing.get(), "peeruri"), "sip:10\"01@example.test");

    far_side_does("exit");
    ASSERT_TRUE(expect_event("EXIT"));
    EXPECT_EQ(uasim->wait_exit(5s), 0);
    const std::string out = uasim->output();
    EXPECT_NE(out.find("uasim: play /snd/beep.mp3 2 times\n"), std::string::npos);
    EXPECT_NE(out.find("uasim: dial 1001 refused: no enabled account has index 7\n"), std::string::npos);
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << "control characters never reach the console";
}

TEST(UasimWithoutRedis, EndsWithStatusOne)
{
    kit_root root;
    kit_program uasim(root, uasim_binary());
    EXPECT_EQ(uasim.wait_exit(5s), 1);
    EXPECT_NE(uasim.output().find("uasim: cannot connect to Redis"), std::string::npos) << uasim.output();
}
