#include "sipbridge/accounts_file.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/accounts.h"
#include "common/c_holders.h"
#include "sipbridge/bridge_rules.h"

namespace {

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
    if (!valid_sip_host(host))
        return {"", "host \"" + host + "\" of " + account.username + " is no host name or address"};
    if (!valid_parameter(account.password))
        return {"", "the password of " + account.username + " holds a blank, quote, '<', '>', ';' or '\\'"};
    const bool outbound = !account.domain.empty() && !account.server.empty() && account.server != account.domain;
    if (outbound && !valid_sip_host(account.server))
        return {"", "server \"" + account.server + "\" of " + account.username + " is no host name or address"};

    std::string line = "<sip:" + account.username + "@" + host + ">";
    if (!account.password.empty())
        line += ";auth_pass=" + account.password;
    if (outbound)
        line += ";outbound=\"sip:" + account.server + "\"";
    line += ";regint=60;answermode=manual";
    return {line, ""};
}

accounts_text accounts_file_text()
{
    accounts_text out;
    out.text = "# Written by sipbridge --write-accounts from speaker.conf; edit the settings, not this file.\n";
    for (const settings_account& account : enabled_settings_accounts()) {
        const accounts_line line = accounts_file_line(account);
        if (line.error.empty())
            out.text += line.line + "\n";
        else
            out.refusals.push_back(line.error + ": the account gets no line");
    }
    if (p2p_account_enabled())
        out.text += std::string("<") + p2p_account_aor + ">;regint=0;answermode=manual\n";
    return out;
}

bool write_accounts_file(const std::string& dir, const std::string& text, std::string& error)
{
    const std::string path = dir + "/accounts";
    const std::string fresh = path + ".new";
    {
        file_ptr out(std::fopen(fresh.c_str(), "w"));
        const bool written = out && std::fwrite(text.data(), 1, text.size(), out.get()) == text.size() &&
                             std::fflush(out.get()) == 0;
        if (!written) {
            error = "cannot write " + fresh + ": " + std::strerror(errno);
            return false;
        }
    }
    if (std::rename(fresh.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + fresh + " to " + path + ": " + std::strerror(errno);
        std::remove(fresh.c_str());
        return false;
    }
    const std::string contacts = dir + "/contacts";
    if (::access(contacts.c_str(), F_OK) != 0)
        file_ptr(std::fopen(contacts.c_str(), "w"));
    return true;
}
