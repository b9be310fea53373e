#include "sipbridge/config/ua_settings.h"

#include "common/accounts.h"
#include "common/config.h"
#include "common/settings_line.h"

const std::vector<std::string> account_keys = section_keys("account_info_N");
const std::vector<std::string> sip_keys = section_keys("sip");

std::string section_of(const settings_account& account)
{
    return "account_info_" + std::to_string(account.n);
}

std::string refusal_text(const setting_refusal& refusal)
{
    std::string text = "[" + refusal.section + "] " + refusal.key;
    text += refusal.secret ? " (value not shown)" : " = \"" + refusal.value + "\"";
    return text + ": " + refusal.why;
}

std::vector<settings_account> enabled_settings_accounts()
{
    std::vector<settings_account> accounts;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        settings_account account;
        account.n = n;
        account.username = account_setting(n, setting::account_username);
        account.domain = account_setting(n, setting::account_domain);
        account.server = account_setting(n, setting::account_server);
        account.password = account_setting(n, setting::account_password);
        account.transport = account_setting(n, setting::account_transport);
        account.auth_user = account_setting(n, setting::account_auth_user);
        account.regint = account_setting(n, setting::account_regint);
        account.mediaenc = account_setting(n, setting::account_mediaenc);
        account.outbound = account_setting(n, setting::account_outbound);
        account.tls_name = account_setting(n, setting::account_tls_name);
        accounts.push_back(std::move(account));
    }
    return accounts;
}

sip_settings read_sip_settings()
{
    return {setting_value(setting::sip_listen), setting_value(setting::sip_certificate),
            setting_value(setting::sip_cafile)};
}

std::vector<setting_refusal> cut_settings(const std::string& section, const std::vector<std::string>& keys)
{
    std::vector<setting_refusal> refusals;
    const auto raw = raw_config_section(speaker_conf, section);
    if (!raw)
        return refusals;
    for (const std::string& key : keys) {
        const auto line = raw->find(key);
        if (line != raw->end() && cut_by_comment(line->second))
            refusals.push_back({section, key, line->second,
                                "the settings reader ends the value at its ';' or '#' and ignores the rest; put the "
                                "whole value in double quotes (or use the key that the part after ';' sets)",
                                key == "password"});
    }
    return refusals;
}
