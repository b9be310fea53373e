#include "sipbridge/link/bridge_rules.h"

#include <algorithm>

#include "common/station_protocol.h"
#include "sipbridge/config/sip_address.h"

std::string station_close_reason(const std::string& reason)
{
    if (reason == "Connection reset by peer")
        return "Connection reset by peer [104]";
    return reason;
}

std::string call_status_text(account_call_status status)
{
    switch (status) {
    case account_call_status::idle:
        return call_status_idle;
    case account_call_status::outgoing_ringing:
        return call_status_ringing;
    case account_call_status::incoming_ringing:
        return call_status_ring;
    case account_call_status::answered:
        return call_status_answer;
    }
    return call_status_idle;
}

std::string registration_record::register_class(const std::string& aor)
{
    return registered_.insert(aor).second ? "init register" : "register";
}

namespace {

// The status word after an account's address: "OK", "ERR" or "zzz", in a
// colour ("ESC[32mOK ESC[;m"); what follows it (the registrar's Server
// header) is the far end's text and is not read.
std::string listed_status(const std::string& line, std::size_t from)
{
    std::size_t at = line.find_first_not_of(" \t", from);
    if (at != std::string::npos && line[at] == '\x1b') {
        at = line.find('m', at);
        if (at != std::string::npos)
            ++at;
    }
    if (at == std::string::npos)
        return "";
    const std::size_t end = line.find_first_of(" \t\x1b", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The addresses of record of the listing's account lines whose status reads
// as given.
std::vector<std::string> listed_with(const std::string& listing, const char* status)
{
    std::vector<std::string> aors;
    for (std::size_t from = 0; from < listing.size();) {
        const std::size_t to = std::min(listing.find('\n', from), listing.size());
        const std::string line = listing.substr(from, to - from);
        from = to + 1;
        // "> sip:2000@127.0.0.1:15070   ESC[32mOK ESC[;m  Expires 60s": the
        // current account is marked with '>', the others with a blank.
        const std::size_t start = line.find("sip:");
        if (start == std::string::npos || start > 2)
            continue;
        const std::size_t end = line.find_first_of(" \t", start);
        const std::string aor = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end != std::string::npos && listed_status(line, end) == status)
            aors.push_back(aor);
    }
    return aors;
}

}  // namespace

std::vector<std::string> registered_in_listing(const std::string& listing)
{
    return listed_with(listing, "OK");
}

std::vector<std::string> failed_in_listing(const std::string& listing)
{
    return listed_with(listing, "ERR");
}

std::optional<std::string> p2p_target(const std::string& address)
{
    const std::size_t at = address.find('@');
    if (at != std::string::npos && !valid_user_part(address.substr(0, at)))
        return std::nullopt;
    if (!valid_sip_host(at == std::string::npos ? address : address.substr(at + 1)))
        return std::nullopt;
    return "sip:" + address;
}
