#include "sipbridge/config/sip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

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

bool bare_ipv6(const std::string& text)
{
    in6_addr address {};
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

std::optional<std::string> host_of(const std::string& text)
{
    if (bare_ipv6(text))
        return text;
    if (text.empty() || !valid_sip_host(text))
        return std::nullopt;
    if (text.front() == '[') {
        const std::string inside = text.substr(1, text.find(']') - 1);
        if (!bare_ipv6(inside))
            return std::nullopt;
        return inside;
    }
    return text.substr(0, text.find(':'));
}
