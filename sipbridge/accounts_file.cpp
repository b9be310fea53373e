#include "sipbridge/accounts_file.h"

#include <cctype>

#include "common/accounts.h"
#include "sipbridge/bridge_rules.h"

namespace {

// A host name, an IPv4 address or a bracketed IPv6 address, with a port.
bool valid_host(const std::string& host)
{
    if (host.empty())
        return false;
    for (const char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']')
            return false;
    }
    return true;
}

// A parameter value that the line can carry unquoted.
bool valid_parameter(const std::string& value)
{
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '"' || c == '<' || c == '>' || c == ';' || c == '\\')
            return false;
    }
    return true;
}

}  // namespace

std::vector<settings_account> enabled_settings_accounts()
{
    std::vector<settings_account> accounts;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        accounts.push_back({account_setting(n, "username", 32), account_setting(n, "domain", 128),
                            account_setting(n, "server", 128), account_setting(n, "password", 64)});
    }
    return accounts;
}

accounts_line accounts_file_line(const settings_account& account)
{
    const std::string host = account.domain.empty() ? account.server : account.domain;
    if (!valid_user_part(account.username))
        return {"", "user name \"" + account.username + "\" cannot stand in a SIP address"};
    if (!valid_host(host))
        return {"", "host \"" + host + "\" of " + account.username + " is no host name or address"};
    if (!valid_parameter(account.password))
        return {"", "the password of " + account.username + " holds a blank, quote, '<', '>', ';' or '\\'"};
    const bool outbound = !account.domain.empty() && !account.server.empty() && account.server != account.domain;
    if (outbound && !valid_host(account.server))
        return {"", "server \"" + account.server + "\" of " + account.username + " is no host name or address"};

    std::string line = "<sip:" + account.username + "@" + host + ">";
    if (!account.password.empty())
        line += ";auth_pass=" + account.password;
    if (outbound)
        line += ";outbound=\"sip:" + account.server + "\"";
    line += ";regint=60;answermode=manual";
    return {line, ""};
}
