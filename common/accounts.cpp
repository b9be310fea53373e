#include "common/accounts.h"

#include "common/config.h"

namespace {

constexpr std::size_t formatted_max = 191;

std::string cut(std::string text)
{
    if (text.size() > formatted_max)
        text.resize(formatted_max);
    return text;
}

}  // namespace

std::string account_setting(int n, setting key)
{
    return setting_value(key, n);
}

bool account_enabled(int n)
{
    return account_setting(n, setting::account_enable) == "yes";
}

bool p2p_account_enabled()
{
    return setting_value(setting::p2p_enable) == "yes";
}

account_identity account_identity_of(int n)
{
    account_identity id;
    id.username = account_setting(n, setting::account_username);
    id.host = account_setting(n, setting::account_domain);
    if (id.host.empty())
        id.host = account_setting(n, setting::account_server);
    return id;
}

std::string account_address_of_record(const account_identity& id)
{
    return cut("sip:" + id.username + "@" + id.host);
}

std::string account_status_key(const account_identity& id)
{
    return cut("baresip-call-status-" + id.username + "-" + id.host);
}
