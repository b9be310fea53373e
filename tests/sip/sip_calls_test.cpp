// The station with real SIP: orvanel and outputd under a station root,
// sipbridge, baresip as the station's user agent and SIPp as registrar, far
// ends and a visitor's phone, all on loopback. Each test asserts what
// reaches Redis, the files and the GPIO files, and what SIPp saw.
#include "tests/sip/sip_station.h"

using SipCalls = SipStation;

// The user agent registers before the bridge is there to see it: the
// bridge's listing after it connects brings the station up all the same.
TEST_F(SipCalls, RegistrationMadeBeforeTheBridgeReachesTheStation)
{
    start_station(settings());
    EXPECT_TRUE(wait_until([&] { return leds_no_account(); }));
    ASSERT_TRUE(sip.start_far_end() && sip.start_user_agent()) << sip.report();
    ASSERT_TRUE(has_request(wait_request("REGISTER "), "REGISTER sip:127.0.0.1:")) << sip.far_end_messages();
    ASSERT_TRUE(wait_until([&] { return sip.far_end_messages().find("SIP/2.0 200 OK") != std::string::npos; }));

    ASSERT_TRUE(sip.start_bridge());
    ASSERT_TRUE(wait_registered(1)) << orvanel->output() << sip.report();
    EXPECT_TRUE(wait_until([&] { return leds_ready(); }));
    EXPECT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"idle"})"); }));
    EXPECT_NE(sip.bridge()->output().find(R"("class":"init register")"), std::string::npos);
}

TEST_F(SipCalls, KeyOneCallsTheFarEndAnswersAndHangsUp)
{
    start_registered(settings());
    tap(140);
    const auto requests = wait_request("ACK ");
    EXPECT_TRUE(has_request(requests, "INVITE " + sip.far_uri("1001") + " SIP/2.0")) << sip.far_end_messages();

    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }));
    EXPECT_EQ(client.get(status_key()), std::string(R"({"status":"answer"})"));
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s)) << "relay on when the call is answered";

    // The far end hangs up after 1.5 s with a BYE.
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }));
    EXPECT_NE(sip.far_end_messages().find("BYE sip:2000"), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"idle"})"); }));
    EXPECT_EQ(count_entries("SIP STATE,OUTGOING CALL," + sip.far_uri("1001")), 1u);

    const auto records = wait_records(1);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].size(), 9u);
    EXPECT_EQ(records[0][3], sip.aor());
    EXPECT_EQ(records[0][4], "1001");
    EXPECT_TRUE(records[0][5] == "1" || records[0][5] == "2") << "talked for 1.5 s: " << records[0][5];
    EXPECT_EQ(records[0][6], "out");
    EXPECT_EQ(records[0][7], "ANSWERED");
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 0; }, 4s)) << "relay off two seconds later";
    EXPECT_TRUE(wait_until([&] { return leds_ready(); }));
}

TEST_F(SipCalls, BusyFarEndLeadsToTheNextNumber)
{
    start_registered(settings("next_number_1 = 4861001\nnext_number_2 = 1002\n"));
    tap(140);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,486 Busy Here") == 1; }));
    const auto requests = wait_request("INVITE " + sip.far_uri("1002"));
    EXPECT_TRUE(has_request(requests, "INVITE " + sip.far_uri("4861001"))) << sip.far_end_messages();
    EXPECT_TRUE(has_request(requests, "INVITE " + sip.far_uri("1002"))) << sip.far_end_messages();
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }));

    const auto records = wait_records(2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0][4], "4861001");
    EXPECT_EQ(records[0][7], "NO ANSWER");
    EXPECT_EQ(records[0][8], "486 Busy Here");
    EXPECT_EQ(records[1][4], "1002");
    EXPECT_EQ(records[1][7], "ANSWERED");
}

TEST_F(SipCalls, UnansweredCallIsCancelledAndTheNextNumberDialled)
{
    start_registered(settings("next_number_1 = 4081001\nnext_number_2 = 1002\n"));
    tap(140);
    // After next_time (1 s) without an answer the station ends the call with
    // hangupall: the far end sees the CANCEL, then the next number's INVITE.
    const auto requests = wait_request("INVITE " + sip.far_uri("1002"));
    std::vector<std::string> calls;
    for (const std::string& r : requests)
        if (r.rfind("INVITE", 0) == 0 || r.rfind("CANCEL", 0) == 0)
            calls.push_back(r.substr(0, r.find(" SIP/2.0")));
    EXPECT_EQ(calls, (std::vector<std::string> {"INVITE " + sip.far_uri("4081001"), "CANCEL " + sip.far_uri("4081001"),
                                                "INVITE " + sip.far_uri("1002")}))
        << sip.far_end_messages();
    EXPECT_TRUE(has_request(requests, "CANCEL " + sip.far_uri("4081001"))) << sip.far_end_messages();
    EXPECT_TRUE(has_request(requests, "INVITE " + sip.far_uri("1002"))) << sip.far_end_messages();
    EXPECT_EQ(count_entries("SIP STATE,CALL CLOSED,Connection reset by user"), 0u) << "its own hang-up writes none";

    // The unanswered call that the station ended has its record, and so
    // has the next number's call.
    const auto records = wait_records(2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0][4], "4081001");
    EXPECT_EQ(records[0][7], "NO ANSWER");
    EXPECT_EQ(records[0][8], "Connection reset by user");
    EXPECT_EQ(records[1][4], "1002");
}

TEST_F(SipCalls, VisitorCallAnsweredWithKeyTwoOpensTheDoorWithTheCode)
{
    start_registered(settings("next_number_1 = 1001\n", "call_state = no\n"));
    const auto invited = std::chrono::steady_clock::now();
    const std::unique_ptr<kit_program> visitor = sip.call_station();
    ASSERT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"ring"})"); }))
        << sip.report() << visitor->report("visitor");
    const auto rang = std::chrono::steady_clock::now();
    tap(67);
    ASSERT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"answer"})"); }));
    // What a call costs a caller who tries codes, on loopback with a key
    // pressed at once: the price of each call in a search of the codes.
    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    std::cerr << "call set-up: ringing " << ms(rang - invited) << " ms after the INVITE was sent, answered "
              << ms(std::chrono::steady_clock::now() - rang) << " ms after that by a key\n";
    ASSERT_TRUE(wait_until([&] { return has_entry_starting("SIP STATE,INCOMING CALL,sip:4000@127.0.0.1:"); }));
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,incoming") == 1; }));
    EXPECT_EQ(count_entries("FUNCTION,KEY Answer,"), 1u);

    // The door code arrives as RFC 2833 events, one digit at a time.
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,RECEIVE DTMF,4") == 1; }, 5s)) << orvanel->output();
    for (const char* digit : {"1", "2", "3"})
        EXPECT_EQ(count_entries(std::string("FUNCTION,RECEIVE DTMF,") + digit), 1u) << digit;
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s)) << "the door code switches the relay";

    EXPECT_EQ(visitor->wait_exit(10s), 0) << visitor->report("visitor");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }));
    const auto records = wait_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0][4], "4000");
    EXPECT_EQ(records[0][6], "in");
    EXPECT_EQ(records[0][7], "ANSWERED");
}

TEST_F(SipCalls, UserAgentThatQuitsOrDiesLeavesTheStationNotReady)
{
    start_registered(settings());
    EXPECT_TRUE(wait_until([&] { return leds_ready(); }));

    sip.stop_user_agent(SIGTERM);  // quits: EXIT, after un-registering
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,APP EXIT,") == 1; }));
    EXPECT_TRUE(wait_until([&] { return leds_no_account(); }));
    EXPECT_TRUE(wait_until([&] { return !client.get(status_key()); })) << "no status for a lost account";
    EXPECT_TRUE(has_request(sip.far_end_requests(), "REGISTER ")) << "un-registered";

    // A new user agent: the bridge finds it and the station is ready again.
    ASSERT_TRUE(sip.start_user_agent()) << sip.report();
    ASSERT_TRUE(wait_registered(2)) << sip.report();
    EXPECT_TRUE(wait_until([&] { return leds_ready(); }));

    // Killed, it sends nothing: the closed socket counts as its exit, once.
    sip.stop_user_agent(SIGKILL);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,APP EXIT,") == 2; }));
    EXPECT_TRUE(wait_until([&] { return leds_no_account(); }));
    EXPECT_TRUE(holds([&] { return count_entries("SIP STATE,APP EXIT,") == 2; }, 500ms)) << "reported once";
}

// A user agent that dies in a call takes the call with it without a word
// (a settings change restarts it, too): the station closes the call all
// the same, keeps its record, and the call key 1 made is not in the way of
// key 2 answering the next visitor.
TEST_F(SipCalls, UserAgentThatDiesInACallLeavesNoCallBehind)
{
    start_registered(settings("next_number_1 = 2001001\n"));
    tap(140);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }))
        << sip.report();
    sip.stop_user_agent(SIGKILL);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,User agent gone") == 1; }))
        << orvanel->output();
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,APP EXIT,") == 1; }));
    const auto records = wait_records(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0][4], "2001001");
    EXPECT_EQ(records[0][6], "out");
    EXPECT_EQ(records[0][7], "ANSWERED");
    EXPECT_EQ(records[0][8], "User agent gone");

    ASSERT_TRUE(sip.start_user_agent()) << sip.report();
    ASSERT_TRUE(wait_registered(2)) << sip.report();
    const std::unique_ptr<kit_program> visitor = sip.call_station();
    ASSERT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"ring"})"); }))
        << sip.report() << visitor->report("visitor");
    tap(67);
    EXPECT_TRUE(wait_until([&] { return client.get(status_key()) == std::string(R"({"status":"answer"})"); }))
        << orvanel->output();
    EXPECT_TRUE(wait_until([&] { return count_entries("FUNCTION,KEY Answer,") == 1; }));
}

TEST_F(SipCalls, RedisRestartLosesNeitherTheKeysNorTheCalls)
{
    start_registered(settings());
    // The bridge's command connection is up once it has taken a command.
    client.command("LPUSH control-channel %s", std::string(R"({"cmd":"nothing","data":""})"));
    ASSERT_TRUE(sip.bridge()->wait_output("nothing refused: unknown command"));
    redis.stop();
    redis.start();
    EXPECT_TRUE(sip.bridge()->wait_output("control-channel connection made again", 10s));
    redis_client fresh(root.socket());
    EXPECT_TRUE(wait_until([&] { return fresh.get(status_key()) == std::string(R"({"status":"idle"})"); }, 10s))
        << "the bridge writes the keys of the new server";
    // Both ends have their connections again: a key press still calls.
    ASSERT_TRUE(wait_until([&] { return fresh.subscribers("session-channel") == 1; }, 10s));
    tap(140);
    EXPECT_TRUE(has_request(wait_request("INVITE " + sip.far_uri("1001")), "INVITE " + sip.far_uri("1001")))
        << sip.report();
}

TEST_F(SipCalls, TextsThatAreNoSipAddressNeverReachTheUserAgent)
{
    start_registered(settings());
    for (const char* hostile : {R"(1001@evil.test 0)", R"(1001\"; quit 0)", R"(10 01 0)", R"(1001 7)"})
        client.command("LPUSH control-channel %s", std::string(R"({"cmd":"dial","data":")") + hostile + "\"}");
    client.command("LPUSH control-channel %s", std::string(R"({"cmd":"dial","data":"sip:x@y;evil"})"));
    client.command("LPUSH control-channel %s", std::string(R"({"cmd":"dial","data":"1001 0"})"));
    const auto requests = wait_request("INVITE ");
    std::vector<std::string> invites;
    for (const std::string& r : requests)
        if (r.rfind("INVITE", 0) == 0)
            invites.push_back(r);
    EXPECT_EQ(invites, std::vector<std::string> {"INVITE " + sip.far_uri("1001") + " SIP/2.0"});
    const std::string said = sip.bridge()->output();
    EXPECT_NE(said.find("no enabled account has the index 7"), std::string::npos) << said;
    EXPECT_NE(said.find("cannot stand as a SIP user part"), std::string::npos) << said;
    EXPECT_NE(said.find("is no SIP address"), std::string::npos) << said;
    EXPECT_TRUE(sip.user_agent()->running());
}

TEST_F(SipCalls, P2pCallGoesOutWithoutARegistration)
{
    start_registered(settings("next_number_1 = 1001@" + sip.far_uri("").substr(5) + "\nnumber_1_line = 5\n") +
                     "[account_info_p2p]\nenable = yes\n");
    EXPECT_NE(root.read("/ua/accounts").find(std::string("<") + "sip:p2p@127.0.0.1>;regint=0"), std::string::npos);
    tap(140);
    const auto requests = wait_request("INVITE ");
    EXPECT_TRUE(has_request(requests, "INVITE " + sip.far_uri("1001") + " SIP/2.0")) << sip.far_end_messages();
    EXPECT_NE(sip.far_end_messages().find("From: <sip:p2p@127.0.0.1>"), std::string::npos) << sip.far_end_messages();
    EXPECT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }));
}

TEST_F(SipCalls, PlayUsesTheLocalPlayerForFilesOnlyAndSaysWhenThereIsNone)
{
    root.write_settings(sip.account_settings());
    ASSERT_TRUE(sip.start_far_end() && sip.start_user_agent()) << sip.report();
    ASSERT_TRUE(sip.start_bridge());
    root.write("/userdata/alarm.mp3", "ID3");
    // Only a regular file of the device is played. The commands are carried
    // out in order, so once the last one has played the others have been
    // refused without a player.
    for (const char* data : {"http://127.0.0.1:9/x.mp3:1", "userdata/alarm.mp3:1", "/userdata:1",
                             "/userdata/none.mp3:1", "/userdata/alarm.mp3:2"})
        client.command("LPUSH control-channel %s", std::string(R"({"cmd":"play","data":")") + data + R"("})");
    ASSERT_TRUE(wait_until([&] { return !root.tool_calls().empty(); })) << sip.report();
    const std::vector<tool_call> calls = root.tool_calls();
    ASSERT_EQ(calls.size(), 1u) << calls.back().joined_args();
    EXPECT_EQ(calls[0].name, "mpg123");
    EXPECT_EQ(calls[0].joined_args(), "-q --loop 2 -- " + root.file("/userdata/alarm.mp3"));
    ASSERT_TRUE(sip.bridge()->wait_output("playing " + root.file("/userdata/alarm.mp3") + " 2 times"));
    const std::string said = sip.bridge()->output();
    for (const std::string& refusal :
         {std::string(R"(play refused: "http://127.0.0.1:9/x.mp3" is not an absolute path of a sound file)"),
          std::string(R"(play refused: "userdata/alarm.mp3" is not an absolute path of a sound file)"),
          "play refused: " + root.file("/userdata") + " is a folder, not a file",
          "play refused: " + root.file("/userdata/none.mp3") + " does not exist"})
        EXPECT_NE(said.find(refusal), std::string::npos) << refusal << "\n" << said;
    // A player stopped at once by the next sound may leave no call behind,
    // so the bridge's own lines say what it started.
    EXPECT_EQ(said.find("playing "), said.rfind("playing ")) << said;

    // Without a player on PATH the sound is not played, and the bridge says so.
    std::filesystem::remove(root.bin_dir() + "/mpg123");
    sip.start_bridge({"debug"}, {"PATH=" + root.bin_dir()});
    client.command("LPUSH control-channel %s", std::string(R"({"cmd":"play","data":"/userdata/alarm.mp3:1"})"));
    EXPECT_TRUE(sip.bridge()->wait_output("play: no mpg123 on PATH, " + root.file("/userdata/alarm.mp3") +
                                          " not played"))
        << sip.report();
}
