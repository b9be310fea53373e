// The station against a real registrar: Kamailio 5.6 with digest
// authentication as registrar and proxy on loopback, and a far phone (a
// second baresip, user 3000, answering on its own) registered at it. The
// station's user agent and bridge are the ones of the SIP tests (sip_stack),
// written from the settings by sipbridge; SIPp plays no part. Each test
// asserts what the station shows (operation log, records, call status, relay)
// and what Kamailio logged (transport, SDP).
#include "tests/sip/pbx_station.h"

using Pbx = PbxStation;

TEST_F(Pbx, UdpKeyPressCallsTheFarPhoneThatAnswers)
{
    ASSERT_NO_FATAL_FAILURE(start_registrar());
    ASSERT_NO_FATAL_FAILURE(start_phone());
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(pbx_settings({})));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    EXPECT_TRUE(wait_until([&] { return leds_ready(); }));
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "PBX REGISTERED udp " + station_aor()))
        << joined(registrar->log_lines());
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTER CHALLENGED "), "user 2000"))
        << "the registrar asked for the password";

    ASSERT_NO_FATAL_FAILURE(key_call_is_answered());
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX INVITE CHALLENGED "), "from " + station_aor()))
        << "the registrar asked the station to authenticate its call";
}

TEST_F(Pbx, UdpFarPhoneCallRingsTheStation)
{
    ASSERT_NO_FATAL_FAILURE(start_registrar());
    ASSERT_NO_FATAL_FAILURE(start_phone());
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(pbx_settings({})));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    ASSERT_NO_FATAL_FAILURE(far_phone_rings_the_station());
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX INVITE udp"), "-> sip:2000@"));
}

// The registrar knows the station by an authorization name of its own
// ("auth2000"), not by the user name 2000, with a password of blanks,
// semicolons, a backslash and a double quote, which the settings hold in
// single quotes and the accounts line carries as the user agent reads it.
TEST_F(Pbx, TcpWithItsOwnAuthorizationName)
{
    const std::string password = "se;cr et\\x\"yz";
    ASSERT_NO_FATAL_FAILURE(start_registrar("127.0.0.1", "auth2000", std::nullopt, password));
    ASSERT_NO_FATAL_FAILURE(start_phone());
    pbx_account account;
    account.password = password;
    account.transport = "tcp";
    account.auth_user = "auth2000";
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(pbx_settings(account)));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "PBX REGISTERED tcp " + station_aor()))
        << joined(registrar->log_lines());
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "auth 'auth2000'"))
        << joined(registrar->log_lines());

    ASSERT_NO_FATAL_FAILURE(key_call_is_answered());
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX INVITE tcp"), station_aor() + " -> sip:3000@"))
        << joined(registrar->log_lines());
}

TEST_F(Pbx, WrongPasswordIsReportedAsARegisterFailure)
{
    ASSERT_NO_FATAL_FAILURE(start_registrar());
    pbx_account account;
    account.password = "not-the-password";
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(pbx_settings(account)));
    const std::string failed =
        "SIP STATE,Primary Account REGISTER FAILED <" + station_aor() + ">,401 Unauthorized";
    const auto deadline = user_agent_started_ + 10s;
    EXPECT_TRUE(wait_until([&] { return count_entries(failed) >= 1; },
                           std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                 std::chrono::steady_clock::now())))
        << joined(oplog()) << sip.report() << joined(registrar->log_lines());
    // Kamailio's auth module: -2 is a wrong password.
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTER CHALLENGED "), "user 2000 auth '2000' result -2"))
        << joined(registrar->log_lines());
    EXPECT_EQ(count_entries(pbx_registered_entry()), 0u);
    EXPECT_TRUE(wait_until([&] { return leds_no_account(); }));
}

// The user agent's first failure comes when no bridge listens, and the user
// agent tries again only after half a minute: the bridge finds the account
// failed in the listing, registers it anew and the reason arrives. Fixed in
// the settings, the account registers at the next start of the user agent
// without a failed entry of the old episode.
TEST_F(Pbx, WrongPasswordBeforeTheBridgeConnectsIsReportedOnce)
{
    ASSERT_NO_FATAL_FAILURE(start_registrar());
    pbx_account account;
    account.password = "not-the-password";
    const std::string ini = pbx_settings(account);
    start_station(ini);
    ASSERT_TRUE(sip.start_user_agent()) << sip.report();
    // The user agent says the failure once its tries with the password are
    // over (the registrar challenges each anew).
    ASSERT_TRUE(wait_until([&] {
        const std::string said = sip.user_agent()->output() + sip.user_agent()->errors();
        return said.find("401 Unauthorized") != std::string::npos;
    })) << sip.report() << joined(registrar->log_lines());
    const auto bridge_started = std::chrono::steady_clock::now();
    ASSERT_TRUE(sip.start_bridge()) << sip.report();

    const std::string failed = "SIP STATE,Primary Account REGISTER FAILED <" + station_aor() + ">,401 Unauthorized";
    ASSERT_TRUE(wait_until([&] { return count_entries(failed) == 1; }, 10s))
        << joined(oplog()) << sip.report() << joined(registrar->log_lines());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - bridge_started;
    std::cout << "the failure reached the records " << took.count() << " s after the bridge started\n";
    EXPECT_TRUE(sip.bridge()->wait_output("failed to register before the bridge connected: registering it again"));
    EXPECT_TRUE(holds([&] { return count_entries(failed) == 1; }, 500ms)) << "one entry for the episode";
    for (kit_program* program : {sip.bridge(), sip.user_agent()})
        EXPECT_EQ((program->output() + program->errors()).find("not-the-password"), std::string::npos)
            << "the password sent to register anew is never said";

    // The password mended, the user agent restarted: registered.
    sip.stop_user_agent(SIGTERM);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,APP EXIT,") == 1; }));
    std::string mended = ini;
    mended.replace(mended.find("not-the-password"), 16, station_password);
    root.write_settings(mended);
    ASSERT_TRUE(sip.start_user_agent()) << sip.report();
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report();
    EXPECT_EQ(count_entries(failed), 1u);
}

// Kamailio keeps its location table in memory: restarted, it knows the
// station again only once the station refreshes its registration, within
// regint (10 s). A call to 2000 answered 404 in between is tried again.
TEST_F(Pbx, RegistrarRestartReachesTheStationAgainWithinRegint)
{
    ASSERT_NO_FATAL_FAILURE(start_registrar());
    far_phone_options phone_options;
    phone_options.regint = 10;
    ASSERT_NO_FATAL_FAILURE(start_phone(phone_options));
    pbx_account account;
    account.regint = "10";
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(pbx_settings(account)));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTER udp"), station_aor()));

    const std::size_t phone_registrations = phone->registrations();
    ASSERT_TRUE(registrar->restart()) << registrar->report();
    const auto restarted = std::chrono::steady_clock::now();
    const auto deadline = restarted + 15s;  // regint + 5 s
    const auto not_found = [&] { return registrar->log_lines("PBX NOT FOUND INVITE sip:2000@").size(); };
    int tries = 0;
    bool rang = false;
    while (!rang && std::chrono::steady_clock::now() < deadline) {
        const std::size_t refused = not_found();
        ASSERT_TRUE(phone->dial("2000")) << phone->report();
        ++tries;
        // The call rings the station, or the registrar answers 404; then
        // the phone tries again half a second later.
        wait_until([&] { return call_status() == std::string(R"({"status":"ring"})") || not_found() > refused; },
                   3s);
        rang = call_status() == std::string(R"({"status":"ring"})");
        if (!rang)
            wait_until([&] { return std::chrono::steady_clock::now() >= deadline; }, 500ms);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - restarted;
    std::cout << "after the restart the station rang after " << took.count() << " s, " << tries << " calls, "
              << not_found() << " answered 404\n";
    ASSERT_TRUE(rang) << joined(oplog()) << joined(registrar->log_lines()) << phone->report();
    EXPECT_TRUE(wait_until([&] { return has_entry_starting("SIP STATE,INCOMING CALL,sip:3000@"); }));
    ASSERT_TRUE(phone->hangup());
    EXPECT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"idle"})"); }, 5s));
    EXPECT_TRUE(phone->wait_registered(phone_registrations + 1,
                                       std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now())))
        << "the far phone registered again too";
}

TEST_F(Pbx, Ipv6Loopback)
{
    if (!has_ipv6_loopback())
        GTEST_SKIP() << "the loopback interface has no ::1 (ip -6 addr show lo)";
    ASSERT_NO_FATAL_FAILURE(start_registrar("[::1]"));
    ASSERT_NO_FATAL_FAILURE(start_phone());
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(pbx_settings({}, "[::1]")));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "PBX REGISTERED udp " + station_aor()))
        << joined(registrar->log_lines());
    ASSERT_NO_FATAL_FAILURE(key_call_is_answered());
}
