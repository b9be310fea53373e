// Where the user agent's TLS goes: for each enabled account with transport
// tls, the first hop of its requests (outbound, else the server when it is
// not the domain, else the domain) on its port, 5061 when none is written,
// and the name the server's certificate must carry: tls_name, else the
// first hop's host. The relay verifies each of them (tlsrelay/), and the
// packet filter turns the user agent's connections to their addresses
// there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sipbridge/config/ua_settings.h"
#include "tlsrelay/relay_plan.h"

// "HOST:PORT" of a first hop as the accounts line names it for TLS: the
// port 5061 added where none is written ("[IPV6]" keeps its brackets).
std::string tls_first_hop(const std::string& proxy);

// The destinations, each once, in the order of the accounts that go to them
// first, with their relay ports. Refused: a first hop that is an address
// with no tls_name (there is no name to check), a tls_name that is no DNS
// name or address, and two accounts that reach one destination with
// different names.
struct tls_plan {
    std::vector<tls_destination> destinations;
    std::vector<setting_refusal> refusals;
};
tls_plan plan_tls_destinations(const std::vector<settings_account>& accounts);

// The destination of the account with this address of record ("sip:%s@%s"
// as the station builds it), read from the settings; nothing for an
// account that does not use TLS.
std::optional<tls_destination> tls_destination_of(const std::string& aor);

// The addresses of record of the enabled TLS accounts that reach the
// destination ("HOST:PORT") first, read from the settings.
std::vector<std::string> tls_accounts_reaching(const std::string& destination);

// The reason a registration of the account failed by when the relay found
// its server's certificate wanting at the last connection, within the last
// two minutes ("TLS: certificate not trusted", "TLS: name mismatch", ...):
// the user agent itself sees only a connection that ends, and says
// "Connection timed out" half a minute later. Nothing otherwise.
std::optional<std::string> tls_failure_reason(const std::string& aor);
