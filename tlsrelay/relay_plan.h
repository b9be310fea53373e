// The TLS relay between the user agent and its PBXs. baresip 1.0.0 never
// checks the certificate of the server it talks TLS to, so its connections
// to each PBX's TLS port are turned by the packet filter to a local stunnel
// service that ends them (with a certificate of its own, which baresip does
// not check either), and a second service carries the SIP on over TLS that
// verifies the server's chain against the installer's CA and the name the
// certificate must carry. A server that fails gets no byte of SIP.
//
// Per destination (a host and port that an account's requests go to first)
// the relay has:
//   [pbxN-in]   accept = 127.0.0.1:PORT and [::1]:PORT, the filter's
//               redirect target; its peer is the user agent;
//   [pbxN-out]  accept = a Unix socket in the relay's runtime folder; a TLS
//               client to HOST:PORT with verifyChain, checkHost, sni and
//               TLS 1.2 at least.
#pragma once

#include <string>
#include <vector>

// The port of the first destination's local service on loopback; the
// others follow it.
inline constexpr int relay_port_base = 15061;
// At most one destination per account.
inline constexpr int relay_ports = 3;

// The TLS port of SIP, where an address names none.
inline constexpr int sips_default_port = 5061;

// The relay's folder (its configuration, the copies of the CA and of the
// station's certificate, its own certificate): a device path.
inline constexpr const char* relay_dir = STATION_TLS_DIR;
// Its runtime folder: the sockets between its services (in a folder of the
// relay's user alone) and a verdict file per destination that the bridge
// and the installer's check read.
inline constexpr const char* relay_run_dir = "/run/station-tls";

// The TLS client that the relay runs (Debian's stunnel4), found on PATH.
inline constexpr const char* relay_program = "stunnel4";

// The file in the runtime folder that says the relay listens (for an init
// script; systemd is told by the notification socket).
inline constexpr const char* relay_ready_name = "ready";

// The files in the relay's folder.
inline constexpr const char* relay_config_name = "stunnel.conf";
inline constexpr const char* relay_ca_name = "ca.pem";
inline constexpr const char* relay_client_certificate_name = "station.pem";
inline constexpr const char* relay_own_certificate_name = "relay.pem";

struct tls_destination {
    std::string host;  // a name, or an address (IPv6 without brackets)
    int port = sips_default_port;
    bool ipv6 = false;      // the host is an IPv6 address
    std::string name;       // what the server's certificate must carry
    std::vector<int> accounts;  // the numbers of the accounts that go to it
    int local_port = 0;         // its [pbxN-in] service on loopback

    // "HOST:PORT", "[IPV6]:PORT" as the installer writes it.
    std::string address() const;
    // The services' names: "pbx1".
    std::string service() const;
};

// stunnel's configuration for the destinations, with the relay's files in
// dir and its sockets under run_dir (paths as the relay opens them). The
// station's certificate goes to the servers that ask for a client's when
// client_certificate is set.
std::string relay_config_text(const std::vector<tls_destination>& destinations, const std::string& dir,
                              const std::string& run_dir, bool client_certificate);

// The socket between a destination's two services.
std::string relay_socket_path(const std::string& run_dir, const tls_destination& destination);

// Whether text may stand as a name that a certificate must carry: a DNS name
// of letters, digits, '-' and '.', a leading "*." allowed, at most 253
// characters. Nothing else may reach the relay's configuration.
bool valid_certificate_name(const std::string& text);

// Whether text is an IPv4 or IPv6 address (without brackets): a name to
// check as an address in the certificate (checkIP), never sent as SNI.
bool is_ip_address(const std::string& text);
