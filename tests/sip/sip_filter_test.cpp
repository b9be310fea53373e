// The packet filter as it is attacked: the real station (orvanel, outputd,
// sipbridge, baresip) with SIPp as registrar, visitor and a stranger on
// 127.0.0.2, and the filter loaded by the real `sipbridge --apply-filter`
// with the real nft, all inside a network namespace of the test process's
// own, so the machine's filter is never touched.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "station_kit/net_namespace.h"
#include "station_kit/other_user.h"
#include "station_kit/rtp_dtmf.h"
#include "tests/sip/sip_station.h"

namespace {

// Why this process has no namespace of its own; empty once it has one.
std::string& namespace_failure()
{
    static std::string failure = "not entered";
    return failure;
}

const std::string ringing = R"({"status":"ring"})";

}  // namespace

class SipFilter : public SipStation {
protected:
    // Before any test builds its station, so that every program the test
    // starts lives in the namespace. Each test runs in a process of its own
    // under CTest; run together they share the process's namespace.
    static void SetUpTestSuite()
    {
        if (!namespace_failure().empty())
            namespace_failure() = enter_own_network_namespace();
    }

    void SetUp() override
    {
        if (!namespace_failure().empty())
            GTEST_SKIP() << "\n*** NOT TESTED: the packet filter needs a network namespace of the test's own, and "
                            "none could be made: "
                         << namespace_failure() << " ***\n";
    }

    // sipbridge --apply-filter on the user agent's folder, with the bridge
    // running as this process's user: its exit status.
    int apply_filter(const std::string& bridge_user = std::to_string(::getuid()))
    {
        kit_program apply(root, sipbridge_binary(), {"--apply-filter", sip.user_agent_dir()},
                          {"STATION_BRIDGE_USER=" + bridge_user});
        const std::optional<int> status = apply.wait_exit(10s);
        last_apply = apply.report("sipbridge --apply-filter");
        return status.value_or(-1);
    }

    // The packets that the chain's rule with this verdict has stopped so far
    // ("counter packets N bytes M drop"); -1 when the chain has no such rule.
    long dropped(const std::string& chain, const std::string& verdict_wanted = "drop")
    {
        kit_program list(root, "nft", {"list", "chain", "inet", "orvanel_station", chain});
        if (list.wait_exit(5s) != 0)
            return -1;
        std::istringstream lines(list.output());
        for (std::string line; std::getline(lines, line);) {
            long packets = 0;
            long bytes = 0;
            char verdict[8] = {};
            const std::size_t counter = line.find("counter packets ");
            if (counter != std::string::npos &&
                std::sscanf(line.c_str() + counter, "counter packets %ld bytes %ld %7s", &packets, &bytes, verdict) ==
                    3 &&
                std::string(verdict) == verdict_wanted)
                return packets;
        }
        return -1;
    }

    std::size_t incoming_calls()
    {
        const auto entries = oplog();
        return static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), [](const std::string& e) {
            return e.rfind("SIP STATE,INCOMING CALL,", 0) == 0;
        }));
    }

    // Nothing of the stranger's reached the station: no ringing (polled for
    // as long as the stranger waits), no incoming call in the operation log,
    // no answer at the stranger.
    void expect_no_ringing_from(kit_program& stranger)
    {
        const std::size_t calls = incoming_calls();
        EXPECT_TRUE(holds([&] { return client.get(status_key()) != ringing; }, 2s));
        EXPECT_EQ(stranger.wait_exit(5s), 1) << "the stranger fails, having heard nothing: " << sip.stranger_messages();
        EXPECT_EQ(sip.stranger_messages().find("message received"), std::string::npos) << sip.stranger_messages();
        EXPECT_EQ(incoming_calls(), calls);
    }

    std::string last_apply;
};

TEST_F(SipFilter, StrangerForgedAsTheRegistrarNeverRingsTheStation)
{
    start_registered(settings());
    ASSERT_EQ(apply_filter(), 0) << last_apply;
    EXPECT_NE(last_apply.find("only from 127.0.0.1;"), std::string::npos) << last_apply;
    ASSERT_EQ(dropped("sip"), 0);

    const std::unique_ptr<kit_program> stranger = sip.stranger_calls(true);
    expect_no_ringing_from(*stranger);
    EXPECT_EQ(incoming_calls(), 0u);

    // The INVITE left the stranger and reached the filter, which dropped it;
    // no answer went anywhere, to the stranger or to the registrar it named.
    const std::string sent = sip.stranger_messages();
    EXPECT_NE(sent.find("INVITE sip:2000@127.0.0.1:"), std::string::npos) << sent;
    EXPECT_NE(sent.find("Via: SIP/2.0/UDP " + sip.aor().substr(9)), std::string::npos) << sent;
    EXPECT_GE(dropped("sip"), 1);
    EXPECT_EQ(sip.far_end_messages().find("@127.0.0.2"), std::string::npos) << sip.far_end_messages();
}

// The visitor calls from the registrar's address. Its door code travels as
// RFC 2833 events in the media, which the filter takes only as replies to
// the stream the station sends. A third party's events, sent to every media
// port all the while the visitor sends its code, are dropped; let through,
// they would cut into the visitor's stream and lose its digits.
TEST_F(SipFilter, CallerFromTheRegistrarsAddressIsAnsweredAndItsDoorCodeArrives)
{
    start_registered(settings("next_number_1 = 1001\n", "call_state = no\n"));
    ASSERT_EQ(apply_filter(), 0) << last_apply;
    const std::unique_ptr<kit_program> visitor = sip.call_station();
    ASSERT_TRUE(wait_until([&] { return client.get(status_key()) == ringing; })) << visitor->report("visitor");
    ASSERT_TRUE(wait_until([&] { return has_entry_starting("SIP STATE,INCOMING CALL,sip:4000@127.0.0.1:"); }));
    tap(67);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,incoming") == 1; }));

    // A third party on the trusted address, for 1.2 s from the answer on.
    const long media_drops = dropped("media");
    rtp_dtmf_target target;
    target.ports = sip.media_ports();
    const std::string nines(60, '9');
    ASSERT_EQ(send_rtp_dtmf(nines, target, 50), nines.size());

    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,RECEIVE DTMF,4") == 1; }, 5s)) << orvanel->output();
    for (const char* digit : {"1", "2", "3"})
        EXPECT_EQ(count_entries(std::string("FUNCTION,RECEIVE DTMF,") + digit), 1u) << digit;
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s)) << "the door code switches the relay";
    EXPECT_EQ(count_entries("FUNCTION,RECEIVE DTMF,9"), 0u);
    EXPECT_GE(dropped("media"), media_drops + 2 * 60) << "the third party's start and end packets";

    EXPECT_EQ(visitor->wait_exit(10s), 0) << visitor->report("visitor");
    EXPECT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }));
    EXPECT_EQ(dropped("sip"), 0) << "nothing of the visitor's call was dropped";
}

// An allowed host on the P2P line rings the station; once the settings
// no longer allow it, the renewed filter drops it, even from the very
// address and port whose call the station answered before.
TEST_F(SipFilter, AllowedHostRingsUntilTheSettingsNoLongerAllowIt)
{
    const std::string allowed = settings() + "[account_info_p2p]\nenable = yes\nallowed_hosts = 127.0.0.9, 127.0.0.2\n";
    start_registered(allowed);
    ASSERT_EQ(apply_filter(), 0) << last_apply;

    const std::unique_ptr<kit_program> welcome = sip.stranger_calls(false);
    EXPECT_TRUE(wait_until([&] { return client.get(status_key()) == ringing; })) << welcome->report("stranger");
    EXPECT_EQ(welcome->wait_exit(5s), 0) << "it heard the ringing and cancelled: " << sip.stranger_messages();
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }));
    EXPECT_TRUE(has_entry_starting("SIP STATE,INCOMING CALL,sip:4000@127.0.0.1:"));

    root.write_settings(settings() + "[account_info_p2p]\nenable = yes\nallowed_hosts = 127.0.0.9\n");
    ASSERT_EQ(apply_filter(), 0) << last_apply;
    const long drops = dropped("sip");
    const std::unique_ptr<kit_program> refused = sip.stranger_calls(false);
    expect_no_ringing_from(*refused);
    EXPECT_GT(dropped("sip"), drops);
}

// The user agent's control socket obeys whoever connects, and it serves one
// client: any local user's connection would also knock the bridge off. With
// the filter loaded, another user's connection is reset before it is made
// and the bridge keeps its own; a bridge user that is unknown closes the port
// to everyone.
TEST_F(SipFilter, ControlPortTakesOnlyTheBridgesUser)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "\n*** NOT TESTED: connecting as another user needs root ***\n";
    start_registered(settings());
    ASSERT_EQ(apply_filter(), 0) << last_apply;
    const std::string port = std::to_string(sip.control_port());
    EXPECT_NE(last_apply.find("; the control port tcp " + port + " only from uid 0 on loopback"), std::string::npos)
        << last_apply;

    const std::optional<int> stranger = connect_as(nobody_uid, sip.control_port());
    if (!stranger)
        GTEST_SKIP() << "\n*** NOT TESTED: this process cannot become uid 65534 (a user namespace?) ***\n";
    EXPECT_EQ(*stranger, ECONNREFUSED) << std::strerror(*stranger);
    EXPECT_GE(dropped("output", "reject"), 1) << "reset by the filter, not by the user agent";

    // The bridge still holds the user agent: a press dials.
    tap(140);
    EXPECT_TRUE(has_request(wait_request("INVITE sip:1001@"), "INVITE sip:1001@"));
    EXPECT_EQ(occurrences(sip.bridge()->output(), "connected to the user agent"), 1u) << sip.bridge()->output();
    EXPECT_EQ(sip.bridge()->output().find("control socket closed"), std::string::npos) << sip.bridge()->output();

    // The bridge's user connects (and, served alone, takes the socket over).
    EXPECT_EQ(connect_as(0, sip.control_port()), 0);

    ASSERT_EQ(apply_filter("no-such-station-user"), 1) << last_apply;
    EXPECT_NE(last_apply.find("the bridge's user no-such-station-user is unknown here (STATION_BRIDGE_USER): no one "
                              "may connect to the control port " + port),
              std::string::npos)
        << last_apply;
    EXPECT_EQ(connect_as(0, sip.control_port()), ECONNREFUSED);
}
