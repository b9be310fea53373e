// The section [site] of speaker.conf: where the station's own rsyslogd
// instance forwards the operation-log entries and call records, and how it
// knows the server. Read afresh like every setting, and judged here once:
// station-sitelog writes the instance's configuration only from settings
// that pass, and station-check reports the same refusals, from this code.
//
//   [site]
//   log_server = logs.example:6514   host name, IPv4 address or [IPv6], :PORT (6514 by default)
//   log_ca = /etc/ssl/site-ca.pem    the CA (PEM) that the server's certificate must chain to
//   log_name = logs.example          the name the certificate must carry; log_server's host by default
//   name = door-3                    the station in the site's log; the board's host name by default
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sipbridge/config/ua_config.h"
#include "sipbridge/config/ua_settings.h"

// RFC 5425's port for syslog over TLS.
inline constexpr int site_default_port = 6514;

// The longest station name that the site's log carries (orvanel reads that
// much of it).
inline constexpr std::size_t site_name_limit = 64;

struct site_settings {
    std::string log_server;
    std::string log_ca;
    std::string log_name;
    std::string name;
};

// The keys of [site], as the settings reader's cut is checked for them.
extern const std::vector<std::string> site_keys;

site_settings read_site_settings();

// Where and to whom the instance forwards: the host as omfwd connects to it
// (an IPv6 address without its brackets), the port, and the name that the
// server's certificate must carry.
struct site_forwarding {
    std::string host;
    int port = site_default_port;
    bool ipv6 = false;
    std::string peer_name;
    // "HOST:PORT" as a TLS client connects ("[IPV6]:PORT" for IPv6).
    std::string address() const;
};

// What the settings give: forwarding and the CA's text, or nothing to
// forward (log_server empty), and the settings refused. The CA is read
// through the reader (a device path under the station root); a CA that
// this user may not read is said apart, for a check that runs as another
// user than the writer.
struct site_plan {
    std::optional<site_forwarding> forwarding;
    std::optional<std::string> ca_text;
    std::vector<setting_refusal> refusals;
    bool ca_unreadable_here = false;
};

site_plan plan_site(const site_settings& settings, const file_reader& read);

// The settings of speaker.conf judged as station-sitelog judges them: the
// values, the reader's cut at ';' or '#', the CA file.
site_plan current_site_plan();

// A host name as DNS has it: labels of letters, digits and '-' (not at
// either end), 1 to 63 bytes each, 253 in all, the last not all digits
// (so that no partial IPv4 address passes for a name).
bool valid_host_name(const std::string& text);

// A value as a refusal shows it: control characters as '?', at most 80
// bytes of it.
std::string shown_value(const std::string& value);
