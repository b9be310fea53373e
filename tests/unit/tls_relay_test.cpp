// The TLS relay's rules: where each TLS account's requests go first and the
// name its server must carry, stunnel's configuration made of them (and
// read back by the relay), the verdicts read from stunnel's log, and the
// filter's rules that hold the user agent's TLS to the relay.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/tls_destinations.h"
#include "sipbridge/filter/sip_filter.h"
#include "tlsrelay/relay_plan.h"
#include "tlsrelay/relay_verdicts.h"

namespace {

settings_account tls_account(int n, const std::string& domain, const std::string& server = "",
                             const std::string& tls_name = "")
{
    settings_account a;
    a.n = n;
    a.username = "20" + std::to_string(n);
    a.domain = domain;
    a.server = server;
    a.transport = "tls";
    a.tls_name = tls_name;
    return a;
}

std::string refused(const tls_plan& plan)
{
    std::string out;
    for (const setting_refusal& refusal : plan.refusals)
        out += refusal_text(refusal) + "\n";
    return out;
}

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(TlsDestinations, FirstHopPortAndNameOfEachTlsAccount)
{
    settings_account edge = tls_account(1, "example.com", "pbx.example.com");
    edge.outbound = "sip:Edge.Example.com:5071";
    settings_account plain = tls_account(3, "10.0.0.9");
    plain.transport = "udp";  // no relay for it
    const tls_plan plan = plan_tls_destinations(
        {edge, tls_account(2, "pbx.test"), plain, tls_account(4, "[2001:db8::10]:5062", "", "pbx6.test")});
    EXPECT_EQ(refused(plan), "");
    ASSERT_EQ(plan.destinations.size(), 3u);
    EXPECT_EQ(plan.destinations[0].address(), "Edge.Example.com:5071") << "the outbound proxy comes first";
    EXPECT_EQ(plan.destinations[0].name, "edge.example.com");
    EXPECT_EQ(plan.destinations[1].address(), "pbx.test:5061") << "TLS's own port where none is written";
    EXPECT_EQ(plan.destinations[1].name, "pbx.test");
    EXPECT_EQ(plan.destinations[2].address(), "[2001:db8::10]:5062");
    EXPECT_TRUE(plan.destinations[2].ipv6);
    EXPECT_EQ(plan.destinations[2].name, "pbx6.test");
    for (size_t i = 0; i < plan.destinations.size(); ++i) {
        EXPECT_EQ(plan.destinations[i].local_port, relay_port_base + static_cast<int>(i));
        EXPECT_EQ(plan.destinations[i].service(), "pbx" + std::to_string(i + 1));
    }

    // The accounts line names the port too, so that the user agent goes
    // where the relay waits, never where a DNS SRV record points.
    EXPECT_NE(accounts_file_line(tls_account(2, "pbx.test")).line.find("outbound=\"sip:pbx.test:5061;transport=tls\""),
              std::string::npos);
    EXPECT_NE(accounts_file_line(edge).line.find("outbound=\"sip:Edge.Example.com:5071;transport=tls\""),
              std::string::npos);
    EXPECT_NE(accounts_file_line(tls_account(1, "example.com", "[2001:db8::10]")).line.find(
                  "outbound=\"sip:[2001:db8::10]:5061;transport=tls\""),
              std::string::npos);
}

TEST(TlsDestinations, NamesThatCannotBeCheckedAreRefused)
{
    // An address has no name to check: the installer names it.
    EXPECT_NE(refused(plan_tls_destinations({tls_account(1, "example.com", "192.0.2.10:5061")}))
                  .find("[account_info_1] tls_name = \"\": the account's TLS server 192.0.2.10:5061 is an address"),
              std::string::npos);
    EXPECT_EQ(refused(plan_tls_destinations({tls_account(1, "example.com", "192.0.2.10", "pbx.example.com")})), "");
    EXPECT_EQ(refused(plan_tls_destinations({tls_account(1, "example.com", "192.0.2.10", "192.0.2.10")})), "")
        << "a certificate for the address itself";
    EXPECT_EQ(refused(plan_tls_destinations({tls_account(1, "example.com", "", "*.example.com")})), "");

    // Nothing but a name reaches stunnel's configuration, where a line
    // break would add a setting.
    for (const char* hostile : {"pbx.test\nverifyChain = no", "pbx test", "-pbx.test", "pbx..test", "*", "a.*.test",
                                "pbx.test;", "[pbx]"})
        EXPECT_NE(refused(plan_tls_destinations({tls_account(1, "pbx.test", "", hostile)})).find("tls_name"),
                  std::string::npos)
            << hostile;

    // One server, one name: two accounts that reach it agree, or are refused.
    const tls_plan same = plan_tls_destinations({tls_account(1, "pbx.test"), tls_account(2, "PBX.test")});
    EXPECT_EQ(refused(same), "");
    ASSERT_EQ(same.destinations.size(), 1u);
    EXPECT_EQ(same.destinations[0].accounts, (std::vector<int> {1, 2}));
    EXPECT_NE(refused(plan_tls_destinations({tls_account(1, "pbx.test"), tls_account(2, "pbx.test", "", "other.test")}))
                  .find("account_info_1 reaches pbx.test:5061 too and expects the name pbx.test"),
              std::string::npos);
}

TEST(RelayConfig, EachServiceVerifiesChainAndNameAndIsReadBack)
{
    const tls_plan plan = plan_tls_destinations(
        {tls_account(1, "pbx.test"), tls_account(2, "example.com", "[2001:db8::10]", "pbx6.test"),
         tls_account(3, "example.com", "192.0.2.10:5071", "192.0.2.10")});
    ASSERT_EQ(plan.destinations.size(), 3u) << refused(plan);
    const std::string config = relay_config_text(plan.destinations, "/var/lib/station-tls", "/run/station-tls", true);

    // stunnel ignores checkHost without verifyChain: never one without the
    // other, and never an unverified client service.
    EXPECT_EQ(count(config, "client = yes\n"), 3u) << config;
    EXPECT_EQ(count(config, "verifyChain = yes\n"), 3u) << config;
    EXPECT_EQ(count(config, "sslVersionMin = TLSv1.2\n"), 3u);
    EXPECT_EQ(count(config, "CAfile = /var/lib/station-tls/ca.pem\n"), 3u);
    EXPECT_EQ(count(config, "cert = /var/lib/station-tls/station.pem\n"), 3u) << "for a server that asks";
    EXPECT_EQ(count(config, "verifyChain = no"), 0u);
    EXPECT_NE(config.find("[pbx1-in]\naccept = 127.0.0.1:15061\naccept = ::1:15061\n"
                          "cert = /var/lib/station-tls/relay.pem\nconnect = /run/station-tls/sockets/pbx1.sock\n"),
              std::string::npos)
        << config;
    EXPECT_NE(config.find("[pbx1-out]\nclient = yes\naccept = /run/station-tls/sockets/pbx1.sock\n"
                          "connect = pbx.test:5061\ndelay = yes\n"),
              std::string::npos)
        << config;
    EXPECT_NE(config.find("checkHost = pbx.test\nsni = pbx.test\n"), std::string::npos);
    EXPECT_NE(config.find("connect = 2001:db8::10:5061\n"), std::string::npos) << "stunnel's form of an address";
    EXPECT_NE(config.find("checkIP = 192.0.2.10\n"), std::string::npos) << "an address is checked as one";
    EXPECT_EQ(config.find("sni = 192.0.2.10"), std::string::npos) << "SNI carries names only";
    EXPECT_EQ(relay_config_text(plan.destinations, "/d", "/r", false).find("station.pem"), std::string::npos);

    // The relay reads back what each client service reaches and checks.
    const std::vector<relay_service> services = relay_services(config);
    ASSERT_EQ(services.size(), 3u);
    EXPECT_EQ(services[0].service, "pbx1");
    EXPECT_EQ(services[0].destination, "pbx.test:5061");
    EXPECT_EQ(services[0].name, "pbx.test");
    EXPECT_EQ(services[1].destination, plan.destinations[1].address());
    EXPECT_EQ(services[1].name, "pbx6.test");
    EXPECT_EQ(services[2].destination, "192.0.2.10:5071");
    EXPECT_EQ(services[2].name, "192.0.2.10");
}

TEST(RelayLog, StunnelsLinesSettleEachConnectionsVerdict)
{
    relay_log_reader reader;
    const auto take = [&](const std::string& text) { return reader.take("2026.12.10 08:43:00 " + text); };
    // The service that accepts a connection names it; a server service's
    // lines and unknown connections settle nothing.
    EXPECT_FALSE(take("LOG5[0]: Service [pbx1-in] accepted connection from 127.0.0.1:38258"));
    EXPECT_FALSE(take("LOG5[0]: Service [pbx1-in] connected remote server from unnamed socket"));
    auto started = take("LOG5[1]: Service [pbx1-out] accepted connection from unnamed socket");
    ASSERT_TRUE(started);
    EXPECT_EQ(started->service, "pbx1");
    EXPECT_EQ(started->result, relay_verdict::state::connecting);
    EXPECT_FALSE(take("LOG5[1]: s_connect: connected 127.0.0.1:25061"));
    ASSERT_TRUE(take("LOG5[2]: Service [pbx2-out] accepted connection from unnamed socket"));

    // Two connections at once, each settled by its own lines, once.
    auto untrusted = take("LOG4[1]: CERT: Pre-verification error: unable to get local issuer certificate");
    ASSERT_TRUE(untrusted);
    EXPECT_EQ(untrusted->service, "pbx1");
    EXPECT_EQ(untrusted->result, relay_verdict::state::untrusted);
    EXPECT_EQ(untrusted->detail, "unable to get local issuer certificate");
    EXPECT_FALSE(take("LOG4[1]: Rejected by CERT at depth=0: CN=pbx.test"));
    auto mismatch = take("LOG4[2]: CERT: Subject checks failed");
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->service, "pbx2");
    EXPECT_EQ(mismatch->result, relay_verdict::state::name_mismatch);
    EXPECT_FALSE(take("LOG5[1]: Connection closed/reset: 0 byte(s) sent to TLS, 0 byte(s) sent to socket"));
    EXPECT_FALSE(take("LOG4[1]: CERT: Subject checks failed")) << "a closed connection is forgotten";

    ASSERT_TRUE(take("LOG5[3]: Service [pbx1-out] accepted connection from unnamed socket"));
    auto verified = take("LOG5[3]: Certificate accepted at depth=0: CN=pbx.test");
    ASSERT_TRUE(verified);
    EXPECT_EQ(verified->result, relay_verdict::state::verified);
    ASSERT_TRUE(take("LOG5[4]: Service [pbx1-out] accepted connection from unnamed socket"));
    auto expired = take("LOG4[4]: CERT: Pre-verification error: certificate has expired");
    ASSERT_TRUE(expired);
    EXPECT_EQ(expired->result, relay_verdict::state::refused);
    ASSERT_TRUE(take("LOG5[5]: Service [pbx1-out] accepted connection from unnamed socket"));
    auto refused = take("LOG3[5]: s_connect: connect 192.0.2.10:5061: Connection refused (111)");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->result, relay_verdict::state::unreachable);
    EXPECT_EQ(refused->detail, "Connection refused (111)");

    // Lines that are not stunnel's shape settle nothing.
    for (const char* noise : {"", "LOG", " LOG5[", "x LOG5[1]", "station-tls-relay: relays 1 TLS destination(s)"})
        EXPECT_FALSE(reader.take(noise)) << noise;
}

TEST(RelayLog, VerdictsSurviveTheirFileAndNameTheFailure)
{
    relay_verdict verdict;
    verdict.result = relay_verdict::state::untrusted;
    verdict.destination = "[2001:db8::10]:5061";
    verdict.name = "pbx.test";
    verdict.detail = "unable to get local issuer certificate\nsecond line";
    verdict.time = 1765360000;
    const std::string line = verdict_line(verdict);
    EXPECT_EQ(line, "not-trusted [2001:db8::10]:5061 pbx.test 1765360000 unable to get local issuer certificate "
                    "second line\n");
    const std::optional<relay_verdict> back = parse_verdict_line(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->result, verdict.result);
    EXPECT_EQ(back->destination, verdict.destination);
    EXPECT_EQ(back->time, verdict.time);
    EXPECT_EQ(verdict_failure_reason(*back), "TLS: certificate not trusted");
    for (const char* broken : {"", "verified", "verified a b", "maybe a b 1 x", "verified a b 12x x"})
        EXPECT_FALSE(parse_verdict_line(broken)) << broken;

    verdict.result = relay_verdict::state::name_mismatch;
    EXPECT_EQ(verdict_failure_reason(verdict), "TLS: name mismatch");
    verdict.result = relay_verdict::state::refused;
    verdict.detail = "certificate has expired";
    EXPECT_EQ(verdict_failure_reason(verdict), "TLS: certificate has expired");
    for (const auto fine : {relay_verdict::state::verified, relay_verdict::state::unreachable,
                            relay_verdict::state::connecting}) {
        verdict.result = fine;
        EXPECT_FALSE(verdict_failure_reason(verdict)) << "not the certificate's fault: the user agent's reason";
    }
}

TEST(RelayFilter, TheUserAgentsTlsGoesOnlyThroughTheRelay)
{
    filter_plan plan;
    tls_plan tls = plan_tls_destinations({tls_account(1, "pbx.test"), tls_account(2, "example.com", "gone.test:5071")});
    plan_relay(plan, tls.destinations, [](const std::string& host) {
        if (host == "pbx.test")
            return resolution {{*ip_address::from_text("192.0.2.10"), *ip_address::from_text("2001:db8::10")}, ""};
        return resolution {{}, "Name or service not known"};
    });
    ASSERT_EQ(plan.problems.size(), 1u);
    EXPECT_NE(plan.problems[0].find("the TLS server gone.test:5071 does not resolve"), std::string::npos);
    EXPECT_EQ(plan.rules.tls_ports, (std::vector<int> {5061, 5071}));

    plan.rules.ua_uid = 105;
    const std::string ruleset = filter_ruleset(plan.rules);
    EXPECT_NE(ruleset.find("\tchain relay {\n\t\ttype nat hook output priority -100; policy accept;\n"
                           "\t\tmeta skuid 105 ip daddr { 192.0.2.10 } tcp dport 5061 redirect to :15061\n"
                           "\t\tmeta skuid 105 ip6 daddr { 2001:db8::10 } tcp dport 5061 redirect to :15061\n\t}\n"),
              std::string::npos)
        << ruleset;
    EXPECT_NE(ruleset.find("\t\toif \"lo\" tcp dport 15061-15063 meta skuid != 105 counter reject with tcp reset\n"
                           "\t\tmeta skuid 105 ct state new tcp dport { 5061, 5071 } counter reject with tcp reset\n"
                           "\t\tmeta skuid 105 ct direction original tcp dport != 15061-15063 @ih,0,16 0x1603 "
                           "counter drop\n"),
              std::string::npos)
        << ruleset;
    EXPECT_NE(filter_summary(plan.rules).find("uid 105's TLS only through the relay that verifies 192.0.2.10:5061, "
                                              "[2001:db8::10]:5061"),
              std::string::npos)
        << filter_summary(plan.rules);

    // Without the user agent's uid there is no one to hold.
    plan.rules.ua_uid.reset();
    EXPECT_EQ(filter_ruleset(plan.rules).find("skuid"), std::string::npos);
    // No TLS account: the user agent's TLS still goes nowhere unverified.
    filter_plan none;
    plan_relay(none, {}, [](const std::string&) { return resolution {}; });
    none.rules.ua_uid = 105;
    const std::string closed = filter_ruleset(none.rules);
    EXPECT_EQ(closed.find("chain relay"), std::string::npos);
    EXPECT_NE(closed.find("meta skuid 105 ct state new tcp dport 5061 counter reject with tcp reset"),
              std::string::npos)
        << closed;
    EXPECT_NE(closed.find("@ih,0,16 0x1603 counter drop"), std::string::npos);
}
