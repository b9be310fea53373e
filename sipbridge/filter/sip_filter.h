// The packet filter that lets only trusted hosts open a call with the
// station's SIP user agent: which hosts the settings trust, which ports the
// user agent's configuration opens, and the nftables ruleset made of them.
// Pure rules; resolving names and loading the ruleset is the caller's.
//
// baresip answers an INVITE for its user from any source address, whatever
// the headers say, so the check is the packet's source address: new SIP
// requests to the user agent's ports pass only from the addresses of the
// enabled accounts' domain and server and, with the P2P line on, from
// account_info_p2p:allowed_hosts. Replies to what the user agent itself sent
// pass too (its registrations, its calls), and media passes only as a reply
// to the stream the user agent sends to the peer of its call.
//
// The user agent's control socket obeys whoever connects to it, so only the
// bridge's user may: connections to the control port from other users'
// sockets on this machine are reset, and from other hosts dropped.
#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "tlsrelay/relay_plan.h"

// The table that holds the whole filter; nothing else of the ruleset is
// touched.
inline constexpr const char* filter_table = "orvanel_station";

// An IPv4 or IPv6 address, only ever made from a parsed address, so its text
// is an address and nothing else. An IPv4 address mapped into IPv6
// (::ffff:a.b.c.d) is kept as the IPv4 address that such packets carry.
class ip_address {
public:
    static std::optional<ip_address> from_text(const std::string& text);
    static std::optional<ip_address> from_sockaddr(const sockaddr* address);

    bool v6() const { return family_ == AF_INET6; }
    std::string text() const;
    bool operator<(const ip_address& other) const;
    bool operator==(const ip_address& other) const;

private:
    int family_ = AF_INET;
    std::array<unsigned char, 16> bytes_ {};
};

// The words of account_info_p2p:allowed_hosts: addresses or host names
// separated by blanks or commas. Empty words are dropped; what a word holds
// is judged later, by host_of.
std::vector<std::string> allowed_host_words(const std::string& setting);

struct port_range {
    int first = 0;
    int last = 0;
};

// The ports that the user agent opens, from its configuration file's text as
// baresip 1.0.0 reads it: sip_listen ADDRESS:PORT takes UDP and TCP on PORT
// and TLS on PORT + 1; without a port baresip takes ports of its own choosing
// at each start, which no filter can name. rtp_ports FIRST-LAST is the media
// range. ctrl_tcp_listen ADDRESS:PORT is the control port (without it, or
// without a port there, baresip's own 4444). What is missing is said in the
// notes.
struct ua_ports {
    std::optional<int> sip;
    std::optional<port_range> media;
    int control = 4444;
    std::string sip_note;      // why SIP cannot be filtered, when it cannot
    std::string media_note;    // why media is not filtered, when it is not
    std::string control_note;  // why the control port is baresip's own
};
ua_ports ua_ports_from_config(const std::string& config_text);

// A setting that names a trusted host: "account_info_1", "server", and the
// value as the settings hold it.
struct trusted_setting {
    std::string section;
    std::string key;
    std::string value;
};

// What resolving a host gave: its addresses, or why there are none.
struct resolution {
    std::vector<ip_address> addresses;
    std::string error;
};
using host_resolver = std::function<resolution(const std::string& host)>;

// A TLS destination of the user agent, turned to the relay: its addresses,
// its port, and the relay's port on loopback.
struct relay_redirect {
    std::vector<ip_address> addresses;  // sorted, each once
    int port = 0;
    int local_port = 0;
};

struct filter_rules {
    std::optional<int> sip_port;
    std::optional<port_range> media;
    std::vector<ip_address> trusted;  // sorted, each once
    std::optional<int> control_port;  // the user agent's control socket
    std::optional<uid_t> bridge_uid;  // the one user that may connect to it; none: nobody may
    // The user agent's TLS: its connections to the destinations go to the
    // relay, no other TLS of its user leaves the board, and no one else
    // may use the relay's ports. Nothing of it without the user agent's uid.
    std::vector<relay_redirect> relay;
    std::vector<int> tls_ports;    // 5061 and the destinations' ports, sorted, each once
    std::optional<uid_t> ua_uid;   // the user agent's user
};

// The filter for the user agent's configuration and the trusted settings,
// each host resolved with the resolver. A setting that is no host, or a
// host that does not resolve, is left out and named in a problem; so is a
// configuration that gives no SIP port. The domain of an account whose
// server resolved is only a note when it does not resolve itself (a domain
// served through DNS SRV, its proxy given as the server). Media without a
// range is a note, and so is a control port that is baresip's own. The
// bridge's user is the caller's to fill in.
struct filter_plan {
    filter_rules rules;
    std::vector<std::string> problems;
    std::vector<std::string> notes;
};
filter_plan plan_filter(const std::string& config_text, const std::vector<trusted_setting>& settings,
                        const host_resolver& resolve);

// The relay's part of the plan for the TLS destinations, each host resolved
// with the resolver; a host that does not resolve is named in a problem (the
// user agent's connections to it find no relay and are refused).
void plan_relay(filter_plan& plan, const std::vector<tls_destination>& destinations, const host_resolver& resolve);

// The nft script that replaces the station's table as a whole, in one
// transaction, and touches nothing else: SIP ports (UDP, TCP, and TCP + 1 for
// TLS) take new packets from the trusted addresses only, the media range
// takes replies only; the control port takes connections over loopback
// from the bridge's user alone (an output rule resets the others, an input
// rule drops what comes from another interface); everything else passes as
// before. With the user agent's uid known, its TLS is held to the relay: a
// nat rule on the output hook turns its connections to each destination to
// the relay's port; its new connections to a TLS port that were not turned
// are reset, and the first bytes of a TLS handshake (0x16 0x03) on any other
// connection it begins are dropped, whatever the port; the relay's ports
// reset every other user. Dropped and reset packets are counted in the rule
// that stops them.
std::string filter_ruleset(const filter_rules& rules);

// One line on what the ruleset does, for the one who loads it.
std::string filter_summary(const filter_rules& rules);
