#include "outputd/action_urls.h"

#include <cctype>
#include <cstdio>

#include "common/config.h"
#include "common/http_action.h"
#include "common/net_address.h"

namespace {

void relay_action(setting enable_key, setting url_key)
{
    if (setting_value(enable_key) != "yes")
        return;
    std::string url = setting_value(url_key);
    std::string address;
    if (url.find("${ip}") != std::string::npos && lookup_ip_address(address))
        replace_all(url, "${ip}", address);
    if (url.find("${mac}") != std::string::npos && lookup_mac_address(address))
        replace_all(url, "${mac}", address);
    // The URL is used whole, however long the substitutions made it.
    run_http_action(url);
}

}  // namespace

std::string& replace_all(std::string& text, const std::string& placeholder, const std::string& value)
{
    if (placeholder.empty())
        return text;
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

bool is_mac_digits(const std::string& text)
{
    if (text.size() != 12)
        return false;
    for (unsigned char c : text)
        if (!std::isxdigit(c))
            return false;
    return true;
}

int lookup_ip_address(std::string& out)
{
    // "inet" matches the IPv6 line too, but ifconfig prints the IPv4 line
    // first.
    return eth0_ipv4_address("inet", out) ? 1 : 0;
}

int lookup_mac_address(std::string& out)
{
    std::string line;
    if (!first_output_line("ifconfig eth0 | grep HWaddr | tr -d : | awk '{print $5}'", line) || !is_mac_digits(line))
        return 0;
    out = line;
    return 1;
}

void relay_on_action()
{
    relay_action(setting::action_on_enable, setting::action_on_url);
}

void relay_off_action()
{
    relay_action(setting::action_off_enable, setting::action_off_url);
}
