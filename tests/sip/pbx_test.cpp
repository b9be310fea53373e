// The station against a real registrar: Kamailio 5.6 with digest
// authentication as registrar and proxy on loopback, and a far phone (a
// second baresip, user 3000, answering on its own) registered at it. The
// station's user agent and bridge are the ones of the SIP tests (sip_stack),
// written from the settings by sipbridge; SIPp plays no part. Each test
// asserts what the station shows (operation log, records, call status, relay)
// and what Kamailio logged (transport, SDP).
#include <chrono>
#include <iostream>

#include "station_kit/pbx.h"
#include "tests/sip/sip_station.h"

namespace {

const std::string station_password = "Door-2000pw";
const std::string phone_password = "Far-3000pw";

// The account part of the settings that the station uses at the registrar.
struct pbx_account {
    std::string password = station_password;
    std::string server;  // empty: the registrar's address (the domain)
    std::string transport;
    std::string auth_user;
    std::string regint;
    std::string mediaenc;
};

bool has_line_with(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

// True when the loopback interface has its IPv6 address.
bool has_ipv6_loopback()
{
    const pipe_ptr ip(::popen("ip -6 addr show lo 2>/dev/null", "r"));
    if (!ip)
        return false;
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, ip.get()))
        text += buffer;
    return text.find("inet6 ::1/128") != std::string::npos;
}

}  // namespace

class Pbx : public SipStation {
protected:
    void SetUp() override { started_ = std::chrono::steady_clock::now(); }

    void TearDown() override
    {
        if (HasFailure()) {
            if (registrar)
                std::cerr << registrar->report();
            if (phone)
                std::cerr << phone->report();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started_;
        std::cout << "[ wall time ] " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << ": "
                  << took.count() << " s\n";
        SipStation::TearDown();
    }

    // Kamailio with the station's user (by its authorization name) and the
    // far phone's.
    void start_registrar(const std::string& host = "127.0.0.1", const std::string& station_auth_name = "2000",
                         const std::optional<test_certificate>& certificate = std::nullopt,
                         const std::string& password = station_password)
    {
        registrar = std::make_unique<pbx>(root, host);
        registrar->add_user(station_auth_name, password);
        registrar->add_user("3000", phone_password);
        if (certificate)
            registrar->use_tls(*certificate);
        ASSERT_TRUE(registrar->start()) << registrar->report();
    }

    void start_phone(far_phone_options options = {})
    {
        options.password = phone_password;
        phone = std::make_unique<far_phone>(root, *registrar, std::move(options));
        ASSERT_TRUE(phone->start()) << phone->report() << registrar->report();
    }

    // The settings of SipStation with key 1 calling the far phone, and the
    // station's account at the registrar instead of SIPp's.
    std::string pbx_settings(const pbx_account& account, const std::string& listen_host = "127.0.0.1",
                             const std::string& sip_section_extra = "") const
    {
        std::string rest = settings("next_number_1 = 3000\n");
        const std::string sipp_account = sip.account_settings();
        EXPECT_EQ(rest.rfind(sipp_account, 0), 0u) << "SipStation::settings() starts with the account";
        rest.erase(0, sipp_account.size());
        const std::string server = account.server.empty() ? registrar->address() : account.server;
        std::string ini = "[account_info_1]\nenable = yes\nusername = 2000\ndomain = " + registrar->address() +
                          "\nserver = " + server + "\npassword = '" + account.password + "'\n";
        if (!account.transport.empty())
            ini += "transport = " + account.transport + "\n";
        if (!account.auth_user.empty())
            ini += "auth_user = " + account.auth_user + "\n";
        if (!account.regint.empty())
            ini += "regint = " + account.regint + "\n";
        if (!account.mediaenc.empty())
            ini += "mediaenc = " + account.mediaenc + "\n";
        return ini + sip.listen_settings(listen_host) + sip_section_extra + rest;
    }

    // outputd, orvanel, the station's user agent and the bridge.
    void start_pbx_station(const std::string& ini)
    {
        ASSERT_NO_FATAL_FAILURE(start_station(ini));
        user_agent_started_ = std::chrono::steady_clock::now();
        ASSERT_TRUE(sip.start_user_agent()) << sip.report();
        ASSERT_TRUE(sip.start_bridge()) << sip.report();
    }

    std::string station_aor() const { return "sip:2000@" + registrar->address(); }
    std::string pbx_registered_entry() const
    {
        return "SIP STATE,SIP REGISTERED,Primary SIP Account <" + station_aor() + ">";
    }
    std::string pbx_status_key() const { return "baresip-call-status-2000-" + registrar->address(); }
    std::optional<std::string> call_status() { return client.get(pbx_status_key()); }

    bool wait_pbx_registered()
    {
        return wait_until([&] { return count_entries(pbx_registered_entry()) >= 1; }, 10s);
    }

    // Key 1 calls the far phone, which answers at once: the call is
    // established, the relay switches, and the far phone's hang-up ends it
    // with an answered call's record.
    void key_call_is_answered()
    {
        tap(140);
        ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }, 10s))
            << joined(oplog()) << joined(registrar->log_lines());
        EXPECT_EQ(count_entries("SIP STATE,OUTGOING CALL,sip:3000@" + registrar->address()), 1u)
            << "the far end as dialled, without the account's transport\n" << joined(oplog());
        EXPECT_EQ(call_status(), std::string(R"({"status":"answer"})"));
        EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s)) << "relay on when the call is answered";

        ASSERT_TRUE(phone->hangup()) << phone->report();
        ASSERT_TRUE(wait_until(
            [&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }, 10s))
            << joined(oplog());
        EXPECT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"idle"})"); }));
        const auto records = wait_records(1);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_EQ(records[0].size(), 9u);
        EXPECT_EQ(records[0][3], station_aor());
        EXPECT_EQ(records[0][4], "3000");
        EXPECT_EQ(records[0][6], "out");
        EXPECT_EQ(records[0][7], "ANSWERED");
    }

    // The far phone dials 2000: the station rings; the far phone gives up.
    void far_phone_rings_the_station()
    {
        ASSERT_TRUE(phone->dial("2000")) << phone->report();
        ASSERT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"ring"})"); }, 5s))
            << joined(oplog()) << joined(registrar->log_lines()) << phone->report();
        EXPECT_TRUE(wait_until([&] { return has_entry_starting("SIP STATE,INCOMING CALL,sip:3000@"); }))
            << joined(oplog());
        ASSERT_TRUE(phone->hangup());
        EXPECT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"idle"})"); }, 5s));
    }

    std::unique_ptr<pbx> registrar;
    std::unique_ptr<far_phone> phone;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point user_agent_started_;
};

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

// TLS to the registrar, and SRTP that both ends insist on: the offer and
// the answer that pass through Kamailio name RTP/SAVP.
TEST_F(Pbx, TlsWithMandatorySrtp)
{
    const test_certificate certificate = make_test_certificate(root.file("/etc/station"));
    ASSERT_NO_FATAL_FAILURE(start_registrar("127.0.0.1", "2000", certificate));
    far_phone_options phone_options;
    phone_options.transport = "tls";
    phone_options.mediaenc = "srtp-mand";
    phone_options.certificate = certificate;
    ASSERT_NO_FATAL_FAILURE(start_phone(phone_options));
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "PBX REGISTERED tls sip:3000@"));

    // The domain stays the registrar's address; the server is its TLS port.
    pbx_account account;
    account.server = registrar->tls_address();
    account.transport = "tls";
    account.mediaenc = "srtp-mand";
    // Device paths: the files are under the station's root.
    ASSERT_NO_FATAL_FAILURE(start_pbx_station(
        pbx_settings(account, "127.0.0.1", "certificate = /etc/station/sip.pem\ncafile = /etc/station/ca.pem\n")));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "PBX REGISTERED tls " + station_aor()))
        << joined(registrar->log_lines());

    ASSERT_NO_FATAL_FAILURE(key_call_is_answered());
    const std::vector<std::string> invites = registrar->log_lines("PBX INVITE tls");
    EXPECT_TRUE(has_line_with(invites, station_aor() + " -> sip:3000@")) << joined(registrar->log_lines());
    for (const std::string& invite : invites) {
        if (invite.find(station_aor() + " -> ") != std::string::npos) {
            EXPECT_NE(invite.find(" RTP/SAVP "), std::string::npos) << invite;
        }
    }
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX INVITE REPLY 200 "), " RTP/SAVP "))
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
