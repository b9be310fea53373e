#include "sipbridge/config/accounts_file.h"

#include <cctype>

#include "common/accounts.h"
#include "common/settings_line.h"
#include "sipbridge/config/sip_address.h"
#include "sipbridge/config/tls_destinations.h"

namespace {

bool control_character(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// A value that the line can carry unquoted: nothing that ends a parameter,
// starts a quote or an escape, or closes the address.
bool plain_parameter(const std::string& value)
{
    for (const char c : value)
        if (control_character(c) || c == ' ' || c == '"' || c == '<' || c == '>' || c == ';' || c == '\\')
            return false;
    return true;
}

// A ';' followed by a name and '=': baresip finds its parameters by
// searching the line for ";NAME=", also inside a quoted value, so such a
// password would set a parameter that the line does not otherwise have.
bool holds_parameter(const std::string& value)
{
    for (std::size_t at = value.find(';'); at != std::string::npos; at = value.find(';', at + 1)) {
        std::size_t i = at + 1;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        const std::size_t name = i;
        while (i < value.size() && (std::isalnum(static_cast<unsigned char>(value[i])) || value[i] == '_'))
            ++i;
        if (i == name)
            continue;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        if (i < value.size() && value[i] == '=')
            return true;
    }
    return false;
}

}  // namespace

std::string proxy_host(const std::string& value)
{
    return lowered(value.substr(0, 4)) == "sip:" ? value.substr(4) : value;
}

std::optional<std::string> quoted_parameter(const std::string& value)
{
    for (const char c : value)
        if (control_character(c))
            return std::nullopt;
    // baresip's scan of a parameter value: a backslash escapes the next
    // character, a quote opens or closes a quoted part, and outside quotes a
    // blank or ';' ends the value; a value in quotes loses them.
    const std::string quoted = "\"" + value + "\"";
    bool in_quotes = false;
    bool escaped = false;
    std::size_t end = 0;
    for (; end < quoted.size(); ++end) {
        const char c = quoted[end];
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '"') {
            in_quotes = !in_quotes;
        } else if (!in_quotes && (c == ' ' || c == '\t' || c == ';')) {
            break;
        }
    }
    if (end != quoted.size())
        return std::nullopt;
    return quoted;
}

accounts_line accounts_file_line(const settings_account& account)
{
    accounts_line out;
    const std::string section = section_of(account);
    auto refuse = [&](const char* key, const std::string& value, const std::string& why, bool secret = false) {
        out.refusals.push_back({section, key, value, why, secret});
    };

    const std::string host = account.domain.empty() ? account.server : account.domain;
    if (!valid_user_part(account.username))
        refuse("username", account.username, "cannot stand as the user part of a SIP address");
    if (!valid_sip_host(host))
        refuse(account.domain.empty() ? "server" : "domain", host,
               "no host name or address (with an optional :PORT; write the host alone, without sip: or parameters)");

    const std::string transport = lowered(account.transport);
    if (!transport.empty() && transport != "udp" && transport != "tcp" && transport != "tls")
        refuse("transport", account.transport, "not one of udp, tcp, tls");

    if (!account.auth_user.empty() && !plain_parameter(account.auth_user))
        refuse("auth_user", account.auth_user, "holds a blank, quote, '<', '>', ';', '\\' or a control character");
    if (!account.auth_user.empty() && account.password.empty())
        refuse("auth_user", account.auth_user,
               "an authorization name needs a password (without one the user agent would ask for it on its console)");

    int regint = 60;
    if (!account.regint.empty()) {
        const bool digits = account.regint.size() <= 6 &&
                            account.regint.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) {
            refuse("regint", account.regint, "not a number of seconds (1 to 999999)");
        } else {
            regint = std::stoi(account.regint);
            if (regint < regint_floor) {
                out.notes.push_back("[" + section + "] regint = " + account.regint + " is raised to " +
                                    std::to_string(regint_floor) + " seconds");
                regint = regint_floor;
            }
        }
    }

    const std::string mediaenc = lowered(account.mediaenc);
    if (!mediaenc.empty() && mediaenc != "srtp" && mediaenc != "srtp-mand")
        refuse("mediaenc", account.mediaenc, "not one of srtp, srtp-mand (or empty for none)");

    std::string proxy = account_proxy(account);
    if (!proxy.empty() && !valid_sip_host(proxy))
        refuse(account.outbound.empty() ? "server" : "outbound", account.outbound.empty() ? account.server
                                                                                        : account.outbound,
               "no host name or address (with an optional :PORT)");

    std::optional<std::string> password;
    if (!account.password.empty()) {
        password = quoted_parameter(account.password);
        if (!password)
            refuse("password", "", "holds a control character, or a quote followed by a blank or ';' outside "
                                   "quotes, which the user agent cannot read back", true);
        else if (holds_parameter(account.password))
            refuse("password", "", "holds ';' followed by a name and '=', which the user agent would take for a "
                                   "parameter of the account", true);
    }
    if (!out.refusals.empty())
        return out;

    // The transport goes with the proxy's address, never into the address of
    // record: baresip appends the latter's parameters to every number it
    // dials, and the station's records would carry them.
    const std::string transport_parameter = transport.empty() || transport == "udp" ? "" : ";transport=" + transport;
    if (proxy.empty() && !transport_parameter.empty())
        proxy = host;
    // TLS goes to the port written, 5061 when none is: never where a DNS SRV
    // record points, which the relay that verifies the server would not
    // know (tls_destinations.h).
    if (transport == "tls")
        proxy = tls_first_hop(proxy);
    std::string line = "<sip:" + account.username + "@" + host + ">";
    line += ";answermode=manual;regint=" + std::to_string(regint);
    if (!account.auth_user.empty())
        line += ";auth_user=" + account.auth_user;
    if (!mediaenc.empty())
        line += ";mediaenc=" + mediaenc;
    if (!proxy.empty())
        line += ";outbound=\"sip:" + proxy + transport_parameter + "\"";
    if (password)
        line += ";auth_pass=" + *password;
    if (line.size() > accounts_line_max) {
        refuse("username", account.username,
               "the account's line would be " + std::to_string(line.size()) + " bytes; the user agent reads " +
                   std::to_string(accounts_line_max) + " (shorten the host names or the password)");
        return out;
    }
    out.line = std::move(line);
    return out;
}

accounts_text accounts_file_text(const std::vector<settings_account>& accounts)
{
    accounts_text out;
    out.text = "# Written by sipbridge from speaker.conf; edit the settings, not this file.\n";
    for (const settings_account& account : accounts) {
        accounts_line line = accounts_file_line(account);
        for (std::string& note : line.notes)
            out.notes.push_back(std::move(note));
        for (setting_refusal& refusal : cut_settings(section_of(account), account_keys))
            line.refusals.push_back(std::move(refusal));
        if (line.refusals.empty())
            out.text += line.line + "\n";
        for (setting_refusal& refusal : line.refusals)
            out.refusals.push_back(std::move(refusal));
    }
    if (p2p_account_enabled())
        out.text += std::string("<") + p2p_account_aor + ">;regint=0;answermode=manual\n";
    return out;
}

std::optional<std::string> accounts_line_of(const std::string& aor)
{
    for (const settings_account& account : enabled_settings_accounts()) {
        const std::string host = account.domain.empty() ? account.server : account.domain;
        if (account_address_of_record({account.username, host}) != aor)
            continue;
        accounts_line line = accounts_file_line(account);
        if (!line.refusals.empty() || !cut_settings(section_of(account), account_keys).empty())
            return std::nullopt;
        return std::move(line.line);
    }
    return std::nullopt;
}

bool accounts_need_srtp(const std::vector<settings_account>& accounts)
{
    for (const settings_account& account : accounts)
        if (!account.mediaenc.empty())
            return true;
    return false;
}

std::string account_proxy(const settings_account& account)
{
    if (!account.outbound.empty())
        return proxy_host(account.outbound);
    if (!account.domain.empty() && !account.server.empty() && account.server != account.domain)
        return account.server;
    return {};
}

bool accounts_need_tls(const std::vector<settings_account>& accounts)
{
    for (const settings_account& account : accounts)
        if (lowered(account.transport) == "tls")
            return true;
    return false;
}
