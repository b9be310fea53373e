#include "sipbridge/bridge_rules.h"

#include <cctype>
#include <cstring>
#include <algorithm>

#include "common/station_protocol.h"

std::string station_close_reason(const std::string& reason)
{
    if (reason == "Connection reset by peer")
        return "Connection reset by peer [104]";
    return reason;
}

bool valid_user_part(const std::string& number)
{
    if (number.empty())
        return false;
    for (std::size_t i = 0; i < number.size(); ++i) {
        const auto c = static_cast<unsigned char>(number[i]);
        if (std::isalnum(c) || (c != '\0' && std::strchr("-_.!~*'()&=+$,;?/", c)))
            continue;
        if (c == '%' && i + 2 < number.size() && std::isxdigit(static_cast<unsigned char>(number[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(number[i + 2]))) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
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

namespace {

bool valid_host(const std::string& host)
{
    if (host.empty())
        return false;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        for (std::size_t i = 1; i + 1 < host.size(); ++i)
            if (!std::isxdigit(static_cast<unsigned char>(host[i])) && host[i] != ':' && host[i] != '.')
                return false;
        return true;
    }
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
            return false;
    return host.front() != '-' && host.front() != '.';
}

bool valid_port(const std::string& port)
{
    return port_number(port).has_value();
}

}  // namespace

std::optional<int> port_number(const std::string& text)
{
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    const int value = std::stoi(text);
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

bool valid_sip_host(const std::string& host_port)
{
    // A port follows the last colon, unless that colon is inside an IPv6
    // address's brackets.
    const std::size_t colon = host_port.rfind(':');
    if (colon != std::string::npos && (host_port.front() != '[' || host_port.find(']') < colon))
        return valid_port(host_port.substr(colon + 1)) && valid_host(host_port.substr(0, colon));
    return valid_host(host_port);
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
