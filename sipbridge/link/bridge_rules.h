// The rules by which the bridge turns the station's protocol into the user
// agent's control commands and the user agent's events into the station's:
// pure functions and small records, without sockets.
#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The close reason as the station expects it: the user agent reports a far
// end's hang-up without the error number that the station compares with.
std::string station_close_reason(const std::string& reason);

// The call status that a restarted station reads for each account.
enum class account_call_status { idle, outgoing_ringing, incoming_ringing, answered };
std::string call_status_text(account_call_status status);

// Which accounts have registered since the user agent started: the station
// tells a first registration ("init register") from a refresh ("register").
class registration_record {
public:
    // The class the station's REGISTER_OK takes for this address of record.
    std::string register_class(const std::string& aor);
    // A new user agent registers every account anew.
    void forget_all() { registered_.clear(); }

private:
    std::set<std::string> registered_;
};

// The addresses of record that the user agent's listing shows registered
// ("OK" on their line), in the listing's order.
std::vector<std::string> registered_in_listing(const std::string& listing);

// Those it shows failed ("ERR": the registrar refused it, or did not
// answer). The reason is not in the listing.
std::vector<std::string> failed_in_listing(const std::string& listing);

// The SIP address that a P2P dial's text names: "USER@HOST", "HOST" or
// either with ":PORT", HOST a name, an IPv4 address or a bracketed IPv6
// one. Nothing for anything else, so that no text from Redis reaches the
// user agent that is not exactly one address.
std::optional<std::string> p2p_target(const std::string& address);
