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

std::string account_setting(int n, const char* key, std::size_t size)
{
    const std::string name = "account_info_" + std::to_string(n) + ":" + key;
    return config_value(speaker_conf, name.c_str(), size);
}

bool account_enabled(int n)
{
    return account_setting(n, "enable", 8) == "yes";
}

bool p2p_account_enabled()
{
    return config_value(speaker_conf, "account_info_p2p:enable", 8) == "yes";
}

account_identity account_identity_of(int n)
{
    account_identity id;
    id.username = account_setting(n, "username", 32);
    id.host = account_setting(n, "domain", 128);
    if (id.host.empty())
        id.host = account_setting(n, "server", 128);
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
