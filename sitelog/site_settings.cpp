#include "sitelog/site_settings.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/config.h"
#include "sipbridge/config/sip_address.h"
#include "sipbridge/config/ua_files.h"

const std::vector<std::string> site_keys = section_keys("site");

static_assert(setting_entry(setting::site_name).size == site_name_limit + 1,
              "orvanel reads as much of the station's name as the site's log carries");

namespace {

constexpr const char* section = "site";

constexpr std::size_t path_limit = 255;

bool printable_without_blanks(const std::string& text)
{
    for (const char c : text)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

bool all_digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

struct server_address {
    std::string host;
    int port = site_default_port;
    bool ipv4 = false;
    bool ipv6 = false;
};

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT"; why not, in error.
std::optional<server_address> parse_server(const std::string& text, std::string& error)
{
    server_address out;
    std::string port;
    bool has_port = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "an IPv6 address in brackets lacks its ']'";
            return std::nullopt;
        }
        out.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                error = "after ']' only \":PORT\" may follow";
                return std::nullopt;
            }
            has_port = true;
            port = text.substr(close + 2);
        }
        in6_addr bytes {};
        if (out.host.find('%') != std::string::npos || inet_pton(AF_INET6, out.host.c_str(), &bytes) != 1) {
            error = "no IPv6 address in the brackets";
            return std::nullopt;
        }
        out.ipv6 = true;
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
            error = "an IPv6 address goes in brackets: [ADDRESS]:PORT";
            return std::nullopt;
        }
        out.host = text.substr(0, colon);
        if (colon != std::string::npos) {
            has_port = true;
            port = text.substr(colon + 1);
        }
        in_addr bytes {};
        if (inet_pton(AF_INET, out.host.c_str(), &bytes) == 1) {
            out.ipv4 = true;
        } else if (!valid_host_name(out.host)) {
            error = "no host name, IPv4 address or [IPv6 address]: a name takes letters, digits, '-' and '.'";
            return std::nullopt;
        }
    }
    if (has_port) {
        const std::optional<int> number = port_number(port);
        if (!number) {
            error = "the port is not a number from 1 to 65535";
            return std::nullopt;
        }
        out.port = *number;
    }
    return out;
}

}  // namespace

std::string site_forwarding::address() const
{
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

site_settings read_site_settings()
{
    // Each value is read longer than any may be (judged_read_size), so that
    // one too long is seen long rather than cut to a length that passes.
    return {judged_setting_value(setting::site_log_server), judged_setting_value(setting::site_log_ca),
            judged_setting_value(setting::site_log_name), judged_setting_value(setting::site_name)};
}

bool valid_host_name(const std::string& text)
{
    if (text.empty() || text.size() > 253)
        return false;
    std::string last;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t end = std::min(text.find('.', from), text.size());
        const std::string label = text.substr(from, end - from);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (const char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
                return false;
        last = label;
        from = end + 1;
    }
    return !all_digits(last);
}

std::string shown_value(const std::string& value)
{
    std::string out;
    for (const char c : value.substr(0, 80))
        out += (static_cast<unsigned char>(c) < ' ' || c == '\x7f') ? '?' : c;
    return value.size() > 80 ? out + "..." : out;
}

site_plan plan_site(const site_settings& settings, const file_reader& read)
{
    site_plan plan;
    const auto refuse = [&](const char* key, const std::string& value, const std::string& why) {
        plan.refusals.push_back({section, key, shown_value(value), why});
    };

    // The name goes into every message's header, not into the instance's
    // configuration; it is judged all the same, so that [site] is taken
    // whole or not at all.
    if (settings.name.size() > site_name_limit)
        refuse("name", settings.name, "longer than " + std::to_string(site_name_limit) + " bytes");
    else if (!printable_without_blanks(settings.name))
        refuse("name", settings.name, "only printable ASCII without blanks (a syslog HOSTNAME)");

    if (settings.log_server.empty()) {
        // Nothing to forward; the other keys are not used.
        return plan;
    }
    std::string why;
    const std::optional<server_address> server = parse_server(settings.log_server, why);
    if (!server)
        refuse("log_server", settings.log_server, why);

    std::string peer = settings.log_name;
    if (!peer.empty()) {
        if (!valid_host_name(peer))
            refuse("log_name", peer,
                   "no host name (letters, digits, '-' and '.'; no address, no wildcard): the name that the server's "
                   "certificate carries");
    } else if (server && (server->ipv4 || server->ipv6)) {
        refuse("log_name", "",
               "log_server names an IP address: set log_name to the name that the server's certificate carries");
    } else if (server) {
        peer = server->host;
    }

    if (settings.log_ca.empty()) {
        refuse("log_ca", "", "required with log_server: the CA file (PEM) that the server's certificate must chain to");
    } else if (settings.log_ca.front() != '/' || settings.log_ca.size() > path_limit ||
               !printable_without_blanks(settings.log_ca)) {
        refuse("log_ca", settings.log_ca, "no absolute path of printable characters without blanks");
    } else {
        std::string error;
        std::optional<std::string> text = read(settings.log_ca, error);
        if (!text) {
            plan.ca_unreadable_here = error.find(std::strerror(EACCES)) != std::string::npos;
            refuse("log_ca", settings.log_ca, error);
        } else if (text->find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
            refuse("log_ca", settings.log_ca, "holds no certificate in PEM");
        } else if (text->find("PRIVATE KEY-----") != std::string::npos) {
            refuse("log_ca", settings.log_ca,
                   "holds a private key: give the CA's certificate alone, which the station copies");
        } else {
            plan.ca_text = std::move(text);
        }
    }

    if (plan.refusals.empty() && server)
        plan.forwarding = site_forwarding {server->host, server->port, server->ipv6, peer};
    return plan;
}

site_plan current_site_plan()
{
    std::string probe;
    if (!read_setting(setting::site_log_server, probe)) {
        site_plan plan;
        plan.refusals.push_back({section, "log_server", "",
                                 std::string("the settings file ") + speaker_conf + " cannot be read"});
        return plan;
    }
    site_plan plan = plan_site(read_site_settings(), read_named_file);
    std::vector<setting_refusal> cut = cut_settings(section, site_keys);
    for (setting_refusal& refusal : cut)
        refusal.value = shown_value(refusal.value);
    plan.refusals.insert(plan.refusals.begin(), cut.begin(), cut.end());
    if (!cut.empty())
        plan.forwarding.reset();
    return plan;
}
