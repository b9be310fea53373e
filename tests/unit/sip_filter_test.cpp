// The packet filter's rules: which settings name trusted hosts, which ports
// the user agent opens, and the nft text made of them. Resolving is a fake
// here that answers for a few names and records what it was asked.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sipbridge/config/sip_address.h"
#include "sipbridge/filter/sip_filter.h"

namespace {

std::vector<ip_address> addresses(std::initializer_list<const char*> texts)
{
    std::vector<ip_address> out;
    for (const char* text : texts)
        out.push_back(*ip_address::from_text(text));
    return out;
}

// Answers for the names it knows, fails the rest as DNS would.
struct fake_dns {
    std::map<std::string, std::vector<ip_address>> known;
    std::vector<std::string> asked;

    host_resolver resolver()
    {
        return [this](const std::string& host) {
            asked.push_back(host);
            if (const std::optional<ip_address> numeric = ip_address::from_text(host))
                return resolution {{*numeric}, ""};
            const auto found = known.find(host);
            if (found == known.end())
                return resolution {{}, "Name or service not known"};
            return resolution {found->second, ""};
        };
    }
};

const std::string ua_config =
    "sip_listen       0.0.0.0:5060\nrtp_ports        20000-20099\nctrl_tcp_listen  127.0.0.1:4444\n";

}  // namespace

TEST(SipFilter, AllowedHostsAreSplitAtBlanksAndCommas)
{
    EXPECT_EQ(allowed_host_words("10.0.0.5, door.example  ,2001:db8::5\tpbx"),
              (std::vector<std::string> {"10.0.0.5", "door.example", "2001:db8::5", "pbx"}));
    EXPECT_TRUE(allowed_host_words("").empty()) << "empty: nobody";
    EXPECT_TRUE(allowed_host_words(" ,, \t,").empty());
}

TEST(SipFilter, HostOfADomainServerOrAllowedHost)
{
    const std::vector<std::pair<std::string, std::string>> hosts = {
        {"pbx.example.com", "pbx.example.com"},   {"pbx.example.com:5070", "pbx.example.com"},
        {"10.0.0.9", "10.0.0.9"},                 {"10.0.0.9:5060", "10.0.0.9"},
        {"[2001:db8::9]:5060", "2001:db8::9"},    {"[2001:db8::9]", "2001:db8::9"},
        {"2001:db8::9", "2001:db8::9"},           {"::1", "::1"},
    };
    for (const auto& [text, host] : hosts)
        EXPECT_EQ(host_of(text), host) << text;

    // Nothing that is not exactly one host gets as far as a name lookup.
    for (const char* refused : {"", "a b", "pbx;transport=tcp", "sip:pbx.example.com", "pbx:99999", "pbx:", "-pbx",
                                "[zz::1]", "[::1", "[10.0.0.1]", "}", "1.2.3.4 } accept", "x\nflush ruleset",
                                "\"pbx\"", "$(reboot)", "pbx.example.com:5060:5060"})
        EXPECT_FALSE(host_of(refused)) << refused;
}

TEST(SipFilter, PortsAsTheUserAgentReadsItsConfiguration)
{
    // baresip takes the first line that starts with the key, and the word
    // after it; a comment behind the value or before the key changes that.
    const ua_ports ports = ua_ports_from_config("# sip_listen 0.0.0.0:1111\n"
                                                "sip_listenx 0.0.0.0:2222\n"
                                                "  sip_listen\t192.0.2.1:5070   # the LAN\r\n"
                                                "sip_listen 0.0.0.0:3333\n"
                                                "rtp_ports 10000-10019\n");
    EXPECT_EQ(ports.sip, 5070);
    ASSERT_TRUE(ports.media);
    EXPECT_EQ(ports.media->first, 10000);
    EXPECT_EQ(ports.media->last, 10019);
    EXPECT_EQ(ports.sip_note, "");
    EXPECT_EQ(ports.media_note, "");

    EXPECT_EQ(ua_ports_from_config("sip_listen [2001:db8::1]:5062\n").sip, 5062);

    // Without a port baresip listens where it likes: no SIP port to filter.
    for (const char* no_port : {"", "sip_listen 192.0.2.1\n", "sip_listen 2001:db8::1\n", "sip_listen [::1]\n",
                                "sip_listen 0.0.0.0:0\n", "sip_listen 0.0.0.0:70000\n", "sip_listen\n",
                                "sip_listen 0.0.0.0:50x\n"}) {
        const ua_ports none = ua_ports_from_config(no_port);
        EXPECT_FALSE(none.sip) << no_port;
        EXPECT_NE(none.sip_note.find("SIP is not filtered"), std::string::npos) << no_port;
    }
    for (const char* no_range : {"", "rtp_ports 20099-20000\n", "rtp_ports 20000\n", "rtp_ports 0-100\n",
                                 "rtp_ports 1-2-3\n", "rtp_ports -\n"}) {
        const ua_ports none = ua_ports_from_config(no_range);
        EXPECT_FALSE(none.media) << no_range;
        EXPECT_NE(none.media_note.find("media is not filtered"), std::string::npos) << no_range;
    }
}

TEST(SipFilter, RulesetForIpv4AndIpv6Addresses)
{
    const filter_rules rules {5060, port_range {20000, 20099},
                              addresses({"192.0.2.10", "198.51.100.7", "2001:db8::10"}), 4444, 1000, {}, {}, std::nullopt};
    EXPECT_EQ(filter_ruleset(rules),
              "# The station's packet filter (sipbridge --apply-filter): new SIP requests\n"
              "# reach the user agent only from trusted addresses, media only as replies,\n"
              "# its control port only from the bridge's user.\n"
              "table inet orvanel_station {}\n"
              "delete table inet orvanel_station\n"
              "table inet orvanel_station {\n"
              "\tchain input {\n"
              "\t\ttype filter hook input priority 0; policy accept;\n"
              "\t\tiif != \"lo\" tcp dport 4444 counter drop\n"
              "\t\tudp dport 5060 jump sip\n"
              "\t\ttcp dport { 5060, 5061 } jump sip\n"
              "\t\tudp dport 20000-20099 jump media\n"
              "\t}\n"
              "\tchain output {\n"
              "\t\ttype filter hook output priority 0; policy accept;\n"
              "\t\toif \"lo\" tcp dport 4444 meta skuid != 1000 counter reject with tcp reset\n"
              "\t}\n"
              "\tchain sip {\n"
              "\t\tct state related accept\n"
              "\t\tct direction reply accept\n"
              "\t\tip saddr { 192.0.2.10, 198.51.100.7 } accept\n"
              "\t\tip6 saddr { 2001:db8::10 } accept\n"
              "\t\tcounter drop\n"
              "\t}\n"
              "\tchain media {\n"
              "\t\tct state related accept\n"
              "\t\tct direction reply accept\n"
              "\t\tcounter drop\n"
              "\t}\n"
              "}\n");
    EXPECT_EQ(filter_summary(rules), "new SIP requests to udp 5060, tcp 5060 and 5061 only from 192.0.2.10, "
                                     "198.51.100.7, 2001:db8::10; media to udp 20000-20099 only as replies to "
                                     "the user agent's own; the control port tcp 4444 only from uid 1000 on "
                                     "loopback");
}

TEST(SipFilter, ControlPortIsTheBridgesAlone)
{
    // As baresip reads ctrl_tcp_listen: its port, or its own 4444 when the
    // line or its port is missing, which is said.
    EXPECT_EQ(ua_ports_from_config("ctrl_tcp_listen 127.0.0.1:14444\n").control, 14444);
    EXPECT_EQ(ua_ports_from_config("ctrl_tcp_listen [::1]:14445 # local\n").control, 14445);
    for (const char* unnamed : {"", "ctrl_tcp_listen 127.0.0.1\n", "ctrl_tcp_listen 127.0.0.1:99999\n",
                                "ctrl_tcp_listen 127.0.0.1:4444} accept\n", "#ctrl_tcp_listen 0.0.0.0:5\n"}) {
        const ua_ports ports = ua_ports_from_config(unnamed);
        EXPECT_EQ(ports.control, 4444) << unnamed;
        EXPECT_NE(ports.control_note.find("the control port guarded is the user agent's own 4444"), std::string::npos)
            << unnamed;
    }
    const filter_plan plan = plan_filter("sip_listen 0.0.0.0:5060\nctrl_tcp_listen 127.0.0.1:14444\n", {},
                                         [](const std::string&) { return resolution {}; });
    EXPECT_EQ(plan.rules.control_port, 14444);
    EXPECT_FALSE(plan.rules.bridge_uid) << "the caller names the bridge's user";

    // The bridge's user as root (0) is a user like any other, and a bridge
    // user that is not known lets no one connect.
    const std::string root_only = filter_ruleset({std::nullopt, std::nullopt, {}, 14444, 0, {}, {}, std::nullopt});
    EXPECT_NE(root_only.find("\t\toif \"lo\" tcp dport 14444 meta skuid != 0 counter reject with tcp reset\n"),
              std::string::npos)
        << root_only;
    EXPECT_NE(root_only.find("\t\tiif != \"lo\" tcp dport 14444 counter drop\n"), std::string::npos) << root_only;
    const filter_rules nobody {std::nullopt, std::nullopt, {}, 14444, std::nullopt, {}, {}, std::nullopt};
    EXPECT_NE(filter_ruleset(nobody).find("\t\toif \"lo\" tcp dport 14444 counter reject with tcp reset\n"),
              std::string::npos)
        << filter_ruleset(nobody);
    EXPECT_EQ(filter_summary(nobody), "SIP not filtered; media not filtered; the control port tcp 14444 closed to "
                                      "every user");
}

TEST(SipFilter, RulesetWithoutAddressesOrPorts)
{
    // Nobody trusted: new SIP requests are all dropped, replies still pass.
    const std::string nobody = filter_ruleset({5060, std::nullopt, {}, std::nullopt, std::nullopt, {}, {}, std::nullopt});
    EXPECT_EQ(nobody.find("saddr"), std::string::npos) << nobody;
    EXPECT_NE(nobody.find("\tchain sip {\n\t\tct state related accept\n\t\tct direction reply accept\n"
                          "\t\tcounter drop\n"),
              std::string::npos)
        << nobody;
    EXPECT_EQ(nobody.find("jump media"), std::string::npos) << "no range, no media rule";

    const std::string v6_only = filter_ruleset(
        {5060, std::nullopt, addresses({"::1"}), std::nullopt, std::nullopt, {}, {}, std::nullopt});
    EXPECT_NE(v6_only.find("\t\tip6 saddr { ::1 } accept\n"), std::string::npos);
    EXPECT_EQ(v6_only.find("\t\tip saddr"), std::string::npos);

    // The last port has no TLS port beside it.
    EXPECT_NE(filter_ruleset({65535, std::nullopt, {}, std::nullopt, std::nullopt, {}, {}, std::nullopt}).find("\t\ttcp dport 65535 jump sip\n"), std::string::npos);

    // Without a SIP port only the media rule is left; without any port the
    // table stays empty, so a load still replaces an earlier filter.
    const std::string media_only = filter_ruleset(
        {std::nullopt, port_range {30000, 30000}, {}, std::nullopt, std::nullopt, {}, {}, std::nullopt});
    EXPECT_EQ(media_only.find("jump sip"), std::string::npos) << media_only;
    EXPECT_EQ(media_only.find("chain sip"), std::string::npos) << media_only;
    EXPECT_NE(media_only.find("\t\tudp dport 30000 jump media\n"), std::string::npos) << media_only;
    const std::string empty = filter_ruleset({});
    EXPECT_NE(empty.find("\tchain input {\n\t\ttype filter hook input priority 0; policy accept;\n\t}\n}\n"),
              std::string::npos)
        << empty;
}

TEST(SipFilter, TrustedAddressesComeFromEveryNamedHost)
{
    fake_dns dns;
    dns.known["pbx.example"] = addresses({"192.0.2.20", "2001:db8::20"});
    dns.known["door.example"] = addresses({"192.0.2.30"});
    const filter_plan plan = plan_filter(ua_config,
                                         {{"account_info_1", "domain", "pbx.example:5070"},
                                          {"account_info_1", "server", "pbx.example"},
                                          {"account_info_2", "domain", "[2001:db8::40]:5060"},
                                          {"account_info_p2p", "allowed_hosts", "door.example"},
                                          {"account_info_p2p", "allowed_hosts", "::ffff:192.0.2.50"},
                                          {"account_info_p2p", "allowed_hosts", "192.0.2.20"}},
                                         dns.resolver());
    EXPECT_EQ(plan.rules.trusted,
              addresses({"192.0.2.20", "192.0.2.30", "192.0.2.50", "2001:db8::20", "2001:db8::40"}))
        << "each address once; a mapped IPv4 address as the IPv4 address its packets carry";
    EXPECT_EQ(dns.asked, (std::vector<std::string> {"pbx.example", "2001:db8::40", "door.example",
                                                    "::ffff:192.0.2.50", "192.0.2.20"}))
        << "a name asked once";
    EXPECT_TRUE(plan.problems.empty());
    EXPECT_EQ(plan.rules.sip_port, 5060);
}

TEST(SipFilter, NamesThatDoNotResolveAreSaidAndTheRestApplies)
{
    fake_dns dns;
    dns.known["proxy.example"] = addresses({"192.0.2.60"});
    const filter_plan plan = plan_filter(ua_config,
                                         {{"account_info_1", "domain", "srv-only.example"},
                                          {"account_info_1", "server", "proxy.example"},
                                          {"account_info_2", "domain", "gone.example"},
                                          {"account_info_3", "server", "gone2.example"},
                                          {"account_info_p2p", "allowed_hosts", "nowhere.example"}},
                                         dns.resolver());
    EXPECT_EQ(plan.rules.trusted, addresses({"192.0.2.60"}));
    EXPECT_EQ(plan.problems,
              (std::vector<std::string> {
                  R"(account_info_2:domain "gone.example" does not resolve (Name or service not known): left out of the filter)",
                  R"(account_info_3:server "gone2.example" does not resolve (Name or service not known): left out of the filter)",
                  R"(account_info_p2p:allowed_hosts "nowhere.example" does not resolve (Name or service not known): left out of the filter)"}));
    // A domain served through DNS SRV has its proxy in server: that the
    // domain itself has no address is no fault then.
    EXPECT_EQ(plan.notes, (std::vector<std::string> {
                              R"(account_info_1:domain "srv-only.example" does not resolve (Name or service not known): its server is trusted instead)"}));

    const filter_plan no_port = plan_filter("rtp_ports 20000-20099\n", {}, dns.resolver());
    ASSERT_EQ(no_port.problems.size(), 1u) << "an unfiltered SIP port is a fault";
    EXPECT_NE(no_port.problems[0].find("no sip_listen"), std::string::npos);
    EXPECT_TRUE(plan_filter("sip_listen 0.0.0.0:5060\n", {}, dns.resolver()).problems.empty())
        << "no media range is only a note";
}

TEST(SipFilter, HostileSettingsNeverReachTheRuleset)
{
    fake_dns dns;
    dns.known["pbx.example"] = addresses({"192.0.2.20"});
    // As a domain or server each value is one word; as allowed hosts its
    // words count. None holds a word that is a host with an address other
    // than the trusted server's.
    const std::vector<std::string> hostile = {
        "1.2.3.4} accept",         "pbx.example; flush ruleset", "x\nflush ruleset\n", "\"pbx.example\"",
        "$(reboot)",               "pbx.example:5060 accept",    "{ 0.0.0.0/0 }",      "0.0.0.0/0",
        "[::1]} chain x {",        "pbx.example:0",              "#",                  std::string(300, 'a') + ".x",
    };
    std::vector<trusted_setting> settings = {{"account_info_1", "server", "pbx.example"}};
    for (const std::string& value : hostile) {
        settings.push_back({"account_info_p2p", "allowed_hosts", value});
        for (const std::string& word : allowed_host_words(value))
            settings.push_back({"account_info_p2p", "allowed_hosts", word});
    }
    const filter_plan plan = plan_filter(ua_config, settings, dns.resolver());
    const filter_plan clean = plan_filter(ua_config, {{"account_info_1", "server", "pbx.example"}}, dns.resolver());

    // Only the trusted server's address, only the rules of a clean setting:
    // the hostile values change nothing but the problems said.
    EXPECT_EQ(filter_ruleset(plan.rules), filter_ruleset(clean.rules));
    EXPECT_FALSE(plan.problems.empty());
    for (const std::string& asked : dns.asked)
        EXPECT_EQ(asked.find_first_of(" ;{}\"$()\n#/"), std::string::npos) << "looked up: " << asked;
}
