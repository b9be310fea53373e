#include "sipbridge/filter/sip_filter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "sipbridge/config/sip_address.h"
#include "sipbridge/config/ua_config.h"

namespace {

constexpr std::array<unsigned char, 12> v4_mapped_prefix {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

// The port of sip_listen's value, as baresip takes it: "ADDRESS:PORT",
// "[IPV6]:PORT"; an address alone (a bare IPv6 address included) has none.
std::optional<std::string> listen_port_text(const std::string& value)
{
    if (bare_ipv6(value))
        return std::nullopt;
    const std::size_t bracket = value.rfind(']');
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
        return std::nullopt;
    return value.substr(colon + 1);
}

std::string port_text(const port_range& range)
{
    if (range.first == range.last)
        return std::to_string(range.first);
    return std::to_string(range.first) + "-" + std::to_string(range.last);
}

// The TLS port beside SIP's, when there is one: baresip listens for TLS on
// the next port.
std::optional<int> tls_port(int sip)
{
    if (sip < 65535)
        return sip + 1;
    return std::nullopt;
}

std::string joined_addresses(const std::vector<ip_address>& addresses, bool v6)
{
    std::string out;
    for (const ip_address& address : addresses) {
        if (address.v6() != v6)
            continue;
        out += (out.empty() ? "" : ", ") + address.text();
    }
    return out;
}

std::string quoted(const trusted_setting& setting)
{
    return setting.section + ":" + setting.key + " \"" + setting.value + "\"";
}

}  // namespace

std::optional<ip_address> ip_address::from_text(const std::string& text)
{
    ip_address out;
    if (inet_pton(AF_INET, text.c_str(), out.bytes_.data()) == 1)
        return out;
    in6_addr v6 {};
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return std::nullopt;
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = v6;
    return from_sockaddr(reinterpret_cast<const sockaddr*>(&address));
}

std::optional<ip_address> ip_address::from_sockaddr(const sockaddr* address)
{
    ip_address out;
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        std::memcpy(out.bytes_.data(), &v4->sin_addr, 4);
        return out;
    }
    if (address->sa_family != AF_INET6)
        return std::nullopt;
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v6->sin6_addr);
    if (std::equal(v4_mapped_prefix.begin(), v4_mapped_prefix.end(), bytes)) {
        std::memcpy(out.bytes_.data(), bytes + 12, 4);
        return out;
    }
    out.family_ = AF_INET6;
    std::memcpy(out.bytes_.data(), bytes, 16);
    return out;
}

std::string ip_address::text() const
{
    char buffer[INET6_ADDRSTRLEN] = {};
    inet_ntop(family_, bytes_.data(), buffer, sizeof buffer);
    return buffer;
}

bool ip_address::operator<(const ip_address& other) const
{
    return family_ != other.family_ ? family_ < other.family_ : bytes_ < other.bytes_;
}

bool ip_address::operator==(const ip_address& other) const
{
    return family_ == other.family_ && bytes_ == other.bytes_;
}

std::vector<std::string> allowed_host_words(const std::string& setting)
{
    std::vector<std::string> words;
    std::string word;
    for (const char c : setting + " ") {
        if (blank(c) || c == ',') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

ua_ports ua_ports_from_config(const std::string& config_text)
{
    ua_ports out;
    const std::optional<std::string> listen = ua_config_word(config_text, "sip_listen");
    const std::optional<std::string> port = listen ? listen_port_text(*listen) : std::nullopt;
    if (port)
        out.sip = port_number(*port);
    if (!out.sip)
        out.sip_note = std::string(listen ? "sip_listen names no port" : "no sip_listen") +
                       ": the user agent listens on ports of its own choosing, which no filter can name; SIP is "
                       "not filtered (give sip_listen ADDRESS:PORT)";

    const std::optional<std::string> range = ua_config_word(config_text, "rtp_ports");
    const std::size_t dash = range ? range->find('-') : std::string::npos;
    if (dash != std::string::npos) {
        const std::optional<int> first = port_number(range->substr(0, dash));
        const std::optional<int> last = port_number(range->substr(dash + 1));
        if (first && last && *first <= *last)
            out.media = port_range {*first, *last};
    }
    if (!out.media)
        out.media_note = range ? "rtp_ports is no range FIRST-LAST: media is not filtered"
                               : "no rtp_ports: media is not filtered";

    const std::optional<std::string> control = ua_config_word(config_text, "ctrl_tcp_listen");
    const std::optional<std::string> control_port = control ? listen_port_text(*control) : std::nullopt;
    if (const std::optional<int> number = control_port ? port_number(*control_port) : std::nullopt)
        out.control = *number;
    else
        out.control_note = std::string(control ? "ctrl_tcp_listen names no port" : "no ctrl_tcp_listen") +
                           ": the control port guarded is the user agent's own " + std::to_string(out.control);
    return out;
}

filter_plan plan_filter(const std::string& config_text, const std::vector<trusted_setting>& settings,
                        const host_resolver& resolve)
{
    filter_plan plan;
    const ua_ports ports = ua_ports_from_config(config_text);
    plan.rules.sip_port = ports.sip;
    plan.rules.media = ports.media;
    if (!ports.sip_note.empty())
        plan.problems.push_back(ports.sip_note);
    if (!ports.media_note.empty())
        plan.notes.push_back(ports.media_note);
    plan.rules.control_port = ports.control;
    if (!ports.control_note.empty())
        plan.notes.push_back(ports.control_note);

    std::map<std::string, resolution> resolved;
    std::set<std::string> sections_with_a_server;
    std::vector<std::pair<trusted_setting, std::string>> unresolved;
    std::set<ip_address> trusted;
    for (const trusted_setting& setting : settings) {
        const std::optional<std::string> host = host_of(setting.value);
        if (!host) {
            plan.problems.push_back(quoted(setting) + " is no host name or address: left out of the filter");
            continue;
        }
        auto found = resolved.find(*host);
        if (found == resolved.end())
            found = resolved.emplace(*host, resolve(*host)).first;
        const resolution& result = found->second;
        if (result.addresses.empty()) {
            unresolved.emplace_back(setting, result.error.empty() ? "no address" : result.error);
            continue;
        }
        trusted.insert(result.addresses.begin(), result.addresses.end());
        if (setting.key == "server")
            sections_with_a_server.insert(setting.section);
    }
    for (const auto& [setting, error] : unresolved) {
        const bool served = setting.key == "domain" && sections_with_a_server.count(setting.section) != 0;
        const std::string line = quoted(setting) + " does not resolve (" + error + ")";
        if (served)
            plan.notes.push_back(line + ": its server is trusted instead");
        else
            plan.problems.push_back(line + ": left out of the filter");
    }
    plan.rules.trusted.assign(trusted.begin(), trusted.end());
    return plan;
}

void plan_relay(filter_plan& plan, const std::vector<tls_destination>& destinations, const host_resolver& resolve)
{
    std::set<int> ports {sips_default_port};
    for (const tls_destination& destination : destinations) {
        ports.insert(destination.port);
        const resolution result = resolve(destination.host);
        if (result.addresses.empty()) {
            plan.problems.push_back("the TLS server " + destination.address() + " does not resolve (" +
                                    (result.error.empty() ? "no address" : result.error) +
                                    "): the user agent's connections to it are refused");
            continue;
        }
        const std::set<ip_address> addresses(result.addresses.begin(), result.addresses.end());
        plan.rules.relay.push_back({{addresses.begin(), addresses.end()}, destination.port, destination.local_port});
    }
    plan.rules.tls_ports.assign(ports.begin(), ports.end());
}

namespace {

std::string relay_port_range()
{
    return std::to_string(relay_port_base) + "-" + std::to_string(relay_port_base + relay_ports - 1);
}

std::string port_set(const std::vector<int>& ports)
{
    if (ports.size() == 1)
        return std::to_string(ports.front());
    std::string out;
    for (const int port : ports)
        out += (out.empty() ? "{ " : ", ") + std::to_string(port);
    return out + " }";
}

// The nat chain that turns the user agent's connections to its TLS
// destinations to the relay, and the output rules that hold its TLS there.
void relay_rules(const filter_rules& rules, std::string& output, std::string& chains)
{
    if (!rules.ua_uid)
        return;
    const std::string ua = "meta skuid " + std::to_string(*rules.ua_uid);
    const std::string relay = relay_port_range();
    if (!rules.relay.empty()) {
        chains += "\tchain relay {\n\t\ttype nat hook output priority -100; policy accept;\n";
        for (const relay_redirect& redirect : rules.relay)
            for (const bool v6 : {false, true}) {
                const std::string addresses = joined_addresses(redirect.addresses, v6);
                if (!addresses.empty())
                    chains += "\t\t" + ua + (v6 ? " ip6" : " ip") + " daddr { " + addresses + " } tcp dport " +
                              std::to_string(redirect.port) + " redirect to :" + std::to_string(redirect.local_port) +
                              "\n";
            }
        chains += "\t}\n";
    }
    // The nat rule has run by the output hook's filter: a connection it
    // turned goes to a relay port on loopback.
    output += "\t\toif \"lo\" tcp dport " + relay + " meta skuid != " + std::to_string(*rules.ua_uid) +
              " counter reject with tcp reset\n";
    output += "\t\t" + ua + " ct state new tcp dport " + port_set(rules.tls_ports) +
              " counter reject with tcp reset\n";
    output += "\t\t" + ua + " ct direction original tcp dport != " + relay +
              " @ih,0,16 0x1603 counter drop\n";
}

}  // namespace

std::string filter_ruleset(const filter_rules& rules)
{
    const std::string table = std::string("table inet ") + filter_table;
    std::string input;
    std::string chains;
    if (rules.sip_port) {
        const int sip = *rules.sip_port;
        const std::optional<int> tls = tls_port(sip);
        input += "\t\tudp dport " + std::to_string(sip) + " jump sip\n";
        input += "\t\ttcp dport " +
                 (tls ? "{ " + std::to_string(sip) + ", " + std::to_string(*tls) + " }" : std::to_string(sip)) +
                 " jump sip\n";
        chains += "\tchain sip {\n\t\tct state related accept\n\t\tct direction reply accept\n";
        for (const bool v6 : {false, true}) {
            const std::string addresses = joined_addresses(rules.trusted, v6);
            if (!addresses.empty())
                chains += std::string("\t\t") + (v6 ? "ip6" : "ip") + " saddr { " + addresses + " } accept\n";
        }
        chains += "\t\tcounter drop\n\t}\n";
    }
    if (rules.media) {
        input += "\t\tudp dport " + port_text(*rules.media) + " jump media\n";
        chains += "\tchain media {\n\t\tct state related accept\n\t\tct direction reply accept\n"
                  "\t\tcounter drop\n\t}\n";
    }
    std::string output;
    if (rules.control_port) {
        // A connection over loopback leaves through the output hook with its
        // socket, whose owner is known there; reset at once, the client is
        // not left waiting. Other hosts never reach the port.
        const std::string port = std::to_string(*rules.control_port);
        input = "\t\tiif != \"lo\" tcp dport " + port + " counter drop\n" + input;
        output = "\t\toif \"lo\" tcp dport " + port +
                 (rules.bridge_uid ? " meta skuid != " + std::to_string(*rules.bridge_uid) : "") +
                 " counter reject with tcp reset\n";
    }
    relay_rules(rules, output, chains);
    if (!output.empty())
        output = "\tchain output {\n\t\ttype filter hook output priority 0; policy accept;\n" + output + "\t}\n";
    // Declaring the table first makes the delete succeed when there is none
    // yet; nft runs the whole file as one transaction, so the old table
    // stays in force until the new one replaces it.
    return "# The station's packet filter (sipbridge --apply-filter): new SIP requests\n"
           "# reach the user agent only from trusted addresses, media only as replies,\n"
           "# its control port only from the bridge's user.\n" +
           table + " {}\n" + "delete " + table + "\n" + table + " {\n" +
           "\tchain input {\n\t\ttype filter hook input priority 0; policy accept;\n" + input + "\t}\n" + output +
           chains + "}\n";
}

std::string filter_summary(const filter_rules& rules)
{
    std::string out;
    if (rules.sip_port) {
        const std::optional<int> tls = tls_port(*rules.sip_port);
        std::string from = joined_addresses(rules.trusted, false);
        const std::string v6 = joined_addresses(rules.trusted, true);
        from += (from.empty() || v6.empty() ? "" : ", ") + v6;
        out = "new SIP requests to udp " + std::to_string(*rules.sip_port) + ", tcp " +
              std::to_string(*rules.sip_port) + (tls ? " and " + std::to_string(*tls) : "") + " only from " +
              (from.empty() ? "no address" : from);
    } else {
        out = "SIP not filtered";
    }
    if (rules.media)
        out += "; media to udp " + port_text(*rules.media) + " only as replies to the user agent's own";
    else
        out += "; media not filtered";
    if (rules.control_port)
        out += "; the control port tcp " + std::to_string(*rules.control_port) +
               (rules.bridge_uid ? " only from uid " + std::to_string(*rules.bridge_uid) + " on loopback"
                                 : " closed to every user");
    if (rules.ua_uid) {
        std::string relayed;
        for (const relay_redirect& redirect : rules.relay)
            for (const ip_address& address : redirect.addresses)
                relayed += (relayed.empty() ? "" : ", ") +
                           (address.v6() ? "[" + address.text() + "]" : address.text()) + ":" +
                           std::to_string(redirect.port);
        out += "; uid " + std::to_string(*rules.ua_uid) + "'s TLS " +
               (relayed.empty() ? std::string("goes nowhere") : "only through the relay that verifies " + relayed);
    }
    return out;
}
