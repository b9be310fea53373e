// The station's TLS to its PBX through the relay that verifies the server,
// set up as the units set it up on the board: in a network namespace of the
// test, sipbridge --write-config writes the user agent's and the relay's
// configuration, the real sipbridge --apply-filter loads the packet filter
// with the real nft, station-tls-relay runs stunnel4, and then baresip
// starts as a user of its own, whose connections the filter turns to the
// relay. Kamailio's TLS is the registrar, with certificates of two
// authorities that the test makes: the station trusts one of them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/process.h"
#include "station_kit/net_namespace.h"
#include "station_kit/other_user.h"
#include "tests/sip/pbx_station.h"

namespace {

// Why this process has no namespace of its own; empty once it has one.
std::string& namespace_failure()
{
    static std::string failure = "not entered";
    return failure;
}

// The user agent's user: a uid of no one else's, so that the filter's rules
// for it touch neither the test, nor Kamailio, nor the far phone.
constexpr uid_t user_agent_uid = 64101;

// The relay's first port on loopback, where the filter turns the user
// agent's connections to the registrar.
constexpr int relay_port = 15061;

std::string relay_binary()
{
    return STATION_BIN_DIR "/station-tls-relay";
}

}  // namespace

class PbxTls : public PbxStation {
protected:
    // Before any test builds its station, so that every program the test
    // starts lives in the namespace.
    static void SetUpTestSuite()
    {
        if (!namespace_failure().empty())
            namespace_failure() = enter_own_network_namespace();
    }

    void SetUp() override
    {
        PbxStation::SetUp();
        if (!namespace_failure().empty())
            GTEST_SKIP() << "\n*** NOT TESTED: the TLS relay's filter needs a network namespace of the test's own, "
                            "and none could be made: "
                         << namespace_failure() << " ***\n";
        ASSERT_FALSE(find_on_path("stunnel4").empty()) << "install stunnel4: the relay is Debian's stunnel4";
        trusted_ = make_test_authority(root.file("/authorities"), "trusted-ca");
        other_ = make_test_authority(root.file("/authorities"), "other-ca");
        make_test_certificate(root.file("/etc/station"));  // the station's own (sip.pem)
        root.write("/etc/station/ca.pem", read_text_file(trusted_.certificate));
        std::filesystem::create_directories(root.file("/var/lib/station-tls"));
        std::filesystem::create_directories(root.file("/run"));
        // The user agent's user passes through the root to its folder.
        ::chmod(root.path().c_str(), 0711);
        sip.run_user_agent_as(user_agent_uid);
    }

    void TearDown() override
    {
        if (HasFailure()) {
            if (relay_)
                std::cerr << relay_->report("station-tls-relay");
            std::cerr << "sipbridge --apply-filter:\n" << last_apply_ << nft_list();
        }
        PbxStation::TearDown();
    }

    // Kamailio with TLS, its certificate from the authority for the name.
    void start_tls_registrar(const test_authority& authority, const std::string& name, bool record_route = true)
    {
        registrar = std::make_unique<pbx>(root, "127.0.0.1");
        registrar->add_user("2000", station_password);
        registrar->add_user("3000", phone_password);
        registrar->use_tls(make_signed_certificate(root.file("/pbx-certificate"), "pbx", authority, name));
        if (!record_route)
            registrar->skip_record_route();
        ASSERT_TRUE(registrar->start()) << registrar->report();
    }

    // The station's account at the registrar's TLS port, whose certificate
    // must carry pbx.test, with SRTP required.
    std::string tls_settings() const
    {
        pbx_account account;
        account.server = registrar->tls_address();
        account.transport = "tls";
        account.mediaenc = "srtp-mand";
        account.tls_name = "pbx.test";
        return pbx_settings(account, "127.0.0.1",
                            "certificate = /etc/station/sip.pem\ncafile = /etc/station/ca.pem\n");
    }

    // In the units' order: the configuration, the filter, the relay (ready
    // once it listens), then the user agent and the bridge; the bridge only
    // once the relay has judged the server, with bridge_after_verdict.
    void start_tls_station(const std::string& ini, bool bridge_after_verdict = false)
    {
        ASSERT_NO_FATAL_FAILURE(start_station(ini));
        ASSERT_TRUE(sip.write_user_agent_config()) << sip.report();
        kit_program apply(root, sipbridge_binary(), {"--apply-filter", sip.user_agent_dir()},
                          {"STATION_BRIDGE_USER=" + std::to_string(::getuid()),
                           "STATION_UA_USER=" + sip.user_agent_user()});
        const std::optional<int> applied = apply.wait_exit(10s);
        last_apply_ = apply.report("sipbridge --apply-filter");
        ASSERT_EQ(applied, 0) << last_apply_;
        relay_ = std::make_unique<kit_program>(root, relay_binary(), std::vector<std::string> {"--run"});
        ASSERT_TRUE(wait_until([&] { return root.exists("/run/station-tls/ready"); }, 10s))
            << relay_->report("station-tls-relay");
        user_agent_started_ = std::chrono::steady_clock::now();
        ASSERT_TRUE(sip.run_user_agent()) << sip.report();
        if (bridge_after_verdict) {
            ASSERT_TRUE(wait_until([&] { return !verdict().empty() && verdict().rfind("connecting", 0) != 0; }, 10s))
                << verdict() << relay_->report("station-tls-relay");
        }
        ASSERT_TRUE(sip.start_bridge()) << sip.report();
    }

    // The relay's verdict on the registrar ("verified pbx.test ...").
    std::string verdict() const
    {
        return root.exists("/run/station-tls/verdict-pbx1") ? root.read("/run/station-tls/verdict-pbx1") : "";
    }

    std::string failed_entry(const std::string& reason) const
    {
        return "SIP STATE,Primary Account REGISTER FAILED <" + station_aor() + ">," + reason;
    }

    // A registration refused at the relay: no REGISTER reaches Kamailio, and
    // the failed entry names the reason at once (the user agent itself gives
    // up on its request only half a minute later).
    void registration_fails_for(const std::string& verdict_word, const std::string& reason,
                                bool bridge_after_verdict = false)
    {
        ASSERT_NO_FATAL_FAILURE(start_tls_station(tls_settings(), bridge_after_verdict));
        EXPECT_TRUE(wait_until([&] { return verdict().rfind(verdict_word + " ", 0) == 0; }, 10s)) << verdict();
        EXPECT_TRUE(wait_until([&] { return count_entries(failed_entry(reason)) == 1; }, 10s))
            << joined(oplog()) << sip.report();
        EXPECT_EQ(registrar->output().find("sip:2000@"), std::string::npos)
            << "no byte of the station's SIP reached the registrar:\n" << registrar->output();
        EXPECT_EQ(count_entries(pbx_registered_entry()), 0u);
        // The installer's check names the server and why.
        const std::string check = check_output();
        EXPECT_NE(check.find("tls 127.0.0.1:" + std::to_string(registrar->tls_port()) + ": 127.0.0.1:" +
                             std::to_string(registrar->tls_port()) + " (account_info_1): " + reason.substr(5)),
                  std::string::npos)
            << check;
    }

    // What station-check says of the station.
    std::string check_output() const
    {
        kit_program check(root, STATION_BIN_DIR "/station-check", {});
        check.wait_exit(30s);
        return check.output() + check.errors();
    }

    std::string nft_list() const
    {
        const pipe_ptr nft(::popen("nft list table inet orvanel_station 2>&1", "r"));
        std::string text;
        char buffer[512];
        while (nft && std::fgets(buffer, sizeof buffer, nft.get()))
            text += buffer;
        return text;
    }

    test_authority trusted_;
    test_authority other_;
    std::unique_ptr<kit_program> relay_;
    std::string last_apply_;
};

// The registrar's certificate from the trusted authority, for the name the
// account expects: the station registers through the relay and calls with
// SRTP; the registrar saw TLS, and the relay's ports are the user agent's
// alone.
TEST_F(PbxTls, TrustedServerWithTheRightNameRegistersAndCalls)
{
    ASSERT_NO_FATAL_FAILURE(start_tls_registrar(trusted_, "pbx.test"));
    far_phone_options phone_options;
    phone_options.transport = "tls";
    phone_options.mediaenc = "srtp-mand";
    phone_options.certificate = make_test_certificate(root.file("/phone-certificate"));
    ASSERT_NO_FATAL_FAILURE(start_phone(phone_options));
    ASSERT_NO_FATAL_FAILURE(start_tls_station(tls_settings()));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED "), "PBX REGISTERED tls " + station_aor()))
        << joined(registrar->log_lines());
    EXPECT_EQ(verdict().rfind("verified 127.0.0.1:" + std::to_string(registrar->tls_port()) + " pbx.test ", 0), 0u)
        << verdict();
    const std::string check = check_output();
    EXPECT_NE(check.find("its certificate for pbx.test verified against [sip] cafile"), std::string::npos) << check;
    EXPECT_NE(check.find("the TLS relay listens"), std::string::npos) << check;
    // The registrar reaches the station at its own TLS listener, not at the
    // relay.
    EXPECT_TRUE(has_line_with(registrar->log_lines("PBX REGISTERED tls " + station_aor()),
                              "@127.0.0.1:" + std::to_string(sip.sip_port() + 1) + ";transport=tls>"))
        << joined(registrar->log_lines());

    ASSERT_NO_FATAL_FAILURE(key_call_is_answered());
    const std::vector<std::string> invites = registrar->log_lines("PBX INVITE tls");
    EXPECT_TRUE(has_line_with(invites, station_aor() + " -> sip:3000@")) << joined(registrar->log_lines());
    for (const std::string& invite : invites) {
        if (invite.find(station_aor() + " -> ") != std::string::npos) {
            EXPECT_NE(invite.find(" RTP/SAVP "), std::string::npos) << invite;
        }
    }

    // No other user reaches the registrar in the station's name through the
    // relay's port: it resets them at once.
    EXPECT_EQ(connect_as(nobody_uid, relay_port), ECONNREFUSED);
    EXPECT_EQ(connect_as(0, relay_port), ECONNREFUSED) << "root is another user too";
}

TEST_F(PbxTls, ServerOfAnotherAuthorityGetsNoRegister)
{
    ASSERT_NO_FATAL_FAILURE(start_tls_registrar(other_, "pbx.test"));
    registration_fails_for("not-trusted", "TLS: certificate not trusted");
}

TEST_F(PbxTls, ServerWithAnotherNameGetsNoRegister)
{
    ASSERT_NO_FATAL_FAILURE(start_tls_registrar(trusted_, "other.test"));
    // The bridge starts after the relay refused the server: it finds the
    // refusal already there.
    registration_fails_for("name-mismatch", "TLS: name mismatch", true);
}

// A call whose requests within it go to the far end's Contact (the
// registrar adds no Record-Route), a TLS listener whose certificate the
// station does not trust: the station's ACK and BYE never reach it, so the
// far phone still holds the call after the station hung up.
TEST_F(PbxTls, RequestsWithinACallNeverReachAnUnverifiedListener)
{
    ASSERT_NO_FATAL_FAILURE(start_tls_registrar(trusted_, "pbx.test", false));
    far_phone_options phone_options;
    phone_options.transport = "tls";
    phone_options.mediaenc = "srtp-mand";
    phone_options.certificate = make_signed_certificate(root.file("/phone-certificate"), "phone", other_, "phone.test");
    ASSERT_NO_FATAL_FAILURE(start_phone(phone_options));
    ASSERT_NO_FATAL_FAILURE(start_tls_station(tls_settings()));
    ASSERT_TRUE(wait_pbx_registered()) << joined(oplog()) << sip.report() << registrar->report();

    tap(140);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }, 10s))
        << joined(oplog()) << joined(registrar->log_lines()) << phone->report();
    tap(140);  // key 1 hangs up (hang_up = yes): the station sends its BYE
    ASSERT_TRUE(wait_until([&] { return has_entry_starting("SIP STATE,CALL CLOSED,"); }, 10s)) << joined(oplog());
    // A BYE would end the far phone's call at once; unacknowledged, it ends
    // it itself only after half a minute.
    const auto far_calls = [&] { return phone->command("listcalls").value_or("no reply"); };
    EXPECT_NE(far_calls().find("(1)"), std::string::npos) << far_calls();
    EXPECT_FALSE(wait_until([&] { return far_calls().find("(1)") == std::string::npos; }, 3s))
        << "the far phone's call ended: " << far_calls() << phone->report();
    const std::string rules = nft_list();
    EXPECT_EQ(rules.find("@ih,0,16 0x1603 counter packets 0 "), std::string::npos)
        << "the user agent's handshakes with the far phone were dropped:\n" << rules;
}
