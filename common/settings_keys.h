// Every key that the station's programs read from their settings, in one
// table: its file, section and key, the reader's buffer (a value keeps its
// first size - 1 bytes) and what the programs do when it is missing or
// empty. The programs name a setting by its constant here and read it with
// setting_value (common/config.h), which takes the name and the buffer from
// this table, so a key that is not here cannot be read and no reader picks
// its own buffer. speaker.conf(5) documents the same table; the keys test
// holds the two together.
//
// A numbered section or key has a capital letter where its number goes: N
// in account_info_N (the accounts, 1 to 3) and in button-gpioN (the call
// keys' sections, by GPIO line: 140 for key 1, 67 for key 2), K in
// next_number_K and number_K_line (the next numbers, 2 to 5).
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

// The two settings files (device paths). Other software on the device
// maintains both; the station only reads them.
inline constexpr const char* speaker_conf = "/etc/speaker.conf";
inline constexpr const char* volume_conf = "/oem/etc/volctrl.conf";

enum class settings_file { speaker, volume };

constexpr const char* settings_path(settings_file file)
{
    return file == settings_file::volume ? volume_conf : speaker_conf;
}

// The numbers that N or K stands for.
struct setting_numbers {
    const int* values = nullptr;
    std::size_t count = 0;

    constexpr setting_numbers() = default;
    template <std::size_t n>
    constexpr setting_numbers(const int (&list)[n]) : values(list), count(n) {}
};

inline constexpr int account_numbers[] = {1, 2, 3};
inline constexpr int call_key_lines[] = {140, 67};  // key 1, key 2
inline constexpr int next_numbers[] = {2, 3, 4, 5};

// One constant per key, in the order of the table.
enum class setting : unsigned char {
    system_model,
    system_language,

    account_enable,
    account_username,
    account_domain,
    account_server,
    account_password,
    account_transport,
    account_auth_user,
    account_regint,
    account_mediaenc,
    account_outbound,
    account_tls_name,

    p2p_enable,
    p2p_allowed_hosts,

    sip_listen,
    sip_certificate,
    sip_cafile,

    key_mode,
    key_api_url,
    key_next_number_1,
    key_number_1_line,
    key_next_number,  // next_number_K
    key_number_line,  // number_K_line
    key_busy_or_unuse,
    key_no_reply,
    key_next_time,
    key_hang_up,

    tamper_active,
    tamper_api_url,
    tamper_audio_file,
    tamper_play_count,
    tamper_number,
    tamper_number_line,

    relay_mode,
    relay_play_music,
    relay_alarm,
    relay_type,
    relay_call_state,
    relay_state_info,
    relay_call_reset_mode,
    relay_call_reset_duration,
    relay_dtmf,
    relay_dtmf_code,
    relay_dtmf_tries,
    relay_dtmf_mode,  // relay_ctrl:mode
    relay_dtmf_reset_duration,

    action_on_enable,
    action_on_url,
    action_off_enable,
    action_off_url,

    site_log_server,
    site_log_ca,
    site_log_name,
    site_name,

    volume_key_beep,

    count
};

struct setting_key {
    setting id;
    settings_file file;
    const char* section;              // "relay_ctrl"; numbered: "account_info_N"
    setting_numbers section_numbers;  // N; none for a section without a number
    const char* key;                  // "dtmf_code"; numbered: "next_number_K"
    setting_numbers key_numbers;      // K
    std::size_t size;                 // the reader's buffer: the value keeps size - 1 bytes
    const char* fallback;             // what a missing or empty value means
};

inline constexpr setting_key settings_table[] = {
    {setting::system_model, settings_file::speaker, "system", {}, "model", {}, 32, "none"},
    {setting::system_language, settings_file::speaker, "system", {}, "language", {}, 8, "Chinese"},

    {setting::account_enable, settings_file::speaker, "account_info_N", account_numbers, "enable", {}, 8, "no"},
    {setting::account_username, settings_file::speaker, "account_info_N", account_numbers, "username", {}, 32, "none"},
    {setting::account_domain, settings_file::speaker, "account_info_N", account_numbers, "domain", {}, 128, "the server"},
    {setting::account_server, settings_file::speaker, "account_info_N", account_numbers, "server", {}, 128, "the domain"},
    {setting::account_password, settings_file::speaker, "account_info_N", account_numbers, "password", {}, 64, "none"},
    {setting::account_transport, settings_file::speaker, "account_info_N", account_numbers, "transport", {}, 8, "udp"},
    {setting::account_auth_user, settings_file::speaker, "account_info_N", account_numbers, "auth_user", {}, 64, "the user name"},
    {setting::account_regint, settings_file::speaker, "account_info_N", account_numbers, "regint", {}, 16, "60"},
    {setting::account_mediaenc, settings_file::speaker, "account_info_N", account_numbers, "mediaenc", {}, 16, "none"},
    {setting::account_outbound, settings_file::speaker, "account_info_N", account_numbers, "outbound", {}, 128, "none"},
    {setting::account_tls_name, settings_file::speaker, "account_info_N", account_numbers, "tls_name", {}, 128, "the first hop's host"},

    {setting::p2p_enable, settings_file::speaker, "account_info_p2p", {}, "enable", {}, 8, "no"},
    {setting::p2p_allowed_hosts, settings_file::speaker, "account_info_p2p", {}, "allowed_hosts", {}, 256, "none"},

    {setting::sip_listen, settings_file::speaker, "sip", {}, "listen", {}, 64, "eth0's IPv4 address, port 5060"},
    {setting::sip_certificate, settings_file::speaker, "sip", {}, "certificate", {}, 128, "none"},
    {setting::sip_cafile, settings_file::speaker, "sip", {}, "cafile", {}, 128, "none"},

    {setting::key_mode, settings_file::speaker, "button-gpioN", call_key_lines, "key_mode", {}, 32, "0"},
    {setting::key_api_url, settings_file::speaker, "button-gpioN", call_key_lines, "api_url", {}, 256, "none"},
    {setting::key_next_number_1, settings_file::speaker, "button-gpioN", call_key_lines, "next_number_1", {}, 32, "none"},
    {setting::key_number_1_line, settings_file::speaker, "button-gpioN", call_key_lines, "number_1_line", {}, 24, "0"},
    {setting::key_next_number, settings_file::speaker, "button-gpioN", call_key_lines, "next_number_K", next_numbers, 64, "none"},
    {setting::key_number_line, settings_file::speaker, "button-gpioN", call_key_lines, "number_K_line", next_numbers, 32, "0"},
    {setting::key_busy_or_unuse, settings_file::speaker, "button-gpioN", call_key_lines, "busy_or_unuse", {}, 16, "no"},
    {setting::key_no_reply, settings_file::speaker, "button-gpioN", call_key_lines, "no_reply", {}, 16, "no"},
    {setting::key_next_time, settings_file::speaker, "button-gpioN", call_key_lines, "next_time", {}, 16, "0"},
    {setting::key_hang_up, settings_file::speaker, "button-gpioN", call_key_lines, "hang_up", {}, 8, "no"},

    {setting::tamper_active, settings_file::speaker, "unpack-intercom", {}, "active", {}, 16, "0"},
    {setting::tamper_api_url, settings_file::speaker, "unpack-intercom", {}, "api_url", {}, 64, "none"},
    {setting::tamper_audio_file, settings_file::speaker, "unpack-intercom", {}, "audio_file", {}, 32, "none"},
    {setting::tamper_play_count, settings_file::speaker, "unpack-intercom", {}, "play_count", {}, 16, "0"},
    {setting::tamper_number, settings_file::speaker, "unpack-intercom", {}, "number", {}, 32, "none"},
    {setting::tamper_number_line, settings_file::speaker, "unpack-intercom", {}, "number_line", {}, 16, "0"},

    {setting::relay_mode, settings_file::speaker, "relay_ctrl", {}, "relay_mode", {}, 16, "none"},
    {setting::relay_play_music, settings_file::speaker, "relay_ctrl", {}, "play_music", {}, 16, "none"},
    {setting::relay_alarm, settings_file::speaker, "relay_ctrl", {}, "alarm", {}, 16, "none"},
    {setting::relay_type, settings_file::speaker, "relay_ctrl", {}, "type", {}, 32, "none"},
    {setting::relay_call_state, settings_file::speaker, "relay_ctrl", {}, "call_state", {}, 8, "no"},
    {setting::relay_state_info, settings_file::speaker, "relay_ctrl", {}, "state_info", {}, 16, "none"},
    {setting::relay_call_reset_mode, settings_file::speaker, "relay_ctrl", {}, "call_reset_mode", {}, 16, "none"},
    {setting::relay_call_reset_duration, settings_file::speaker, "relay_ctrl", {}, "call_reset_duration", {}, 8, "0"},
    {setting::relay_dtmf, settings_file::speaker, "relay_ctrl", {}, "dtmf", {}, 8, "no"},
    {setting::relay_dtmf_code, settings_file::speaker, "relay_ctrl", {}, "dtmf_code", {}, 32, "none"},
    {setting::relay_dtmf_tries, settings_file::speaker, "relay_ctrl", {}, "dtmf_tries", {}, 8, "3"},
    {setting::relay_dtmf_mode, settings_file::speaker, "relay_ctrl", {}, "mode", {}, 16, "none"},
    {setting::relay_dtmf_reset_duration, settings_file::speaker, "relay_ctrl", {}, "dtmf_reset_duration", {}, 8, "0"},

    {setting::action_on_enable, settings_file::speaker, "relay_action_url", {}, "on_enable", {}, 8, "no"},
    {setting::action_on_url, settings_file::speaker, "relay_action_url", {}, "on_url", {}, 256, "none"},
    {setting::action_off_enable, settings_file::speaker, "relay_action_url", {}, "off_enable", {}, 8, "no"},
    {setting::action_off_url, settings_file::speaker, "relay_action_url", {}, "off_url", {}, 256, "none"},

    // station-sitelog judges [site] whole: it reads each value at
    // judged_read_size, so that one too long for its use is refused, not cut.
    {setting::site_log_server, settings_file::speaker, "site", {}, "log_server", {}, 1024, "none"},
    {setting::site_log_ca, settings_file::speaker, "site", {}, "log_ca", {}, 1024, "none"},
    {setting::site_log_name, settings_file::speaker, "site", {}, "log_name", {}, 1024, "log_server's host"},
    {setting::site_name, settings_file::speaker, "site", {}, "name", {}, 65, "the board's host name"},

    {setting::volume_key_beep, settings_file::volume, "volume", {}, "key_beep", {}, 8, "no"},
};

// The length at which a program that judges a setting (station-sitelog's
// [site]) reads it: more than any value may be, so that a value longer
// than its use allows is seen long, never cut to a length that passes.
inline constexpr std::size_t judged_read_size = 1024;

constexpr bool table_in_constant_order()
{
    if (std::size(settings_table) != static_cast<std::size_t>(setting::count))
        return false;
    for (std::size_t i = 0; i < std::size(settings_table); ++i)
        if (static_cast<std::size_t>(settings_table[i].id) != i)
            return false;
    return true;
}
static_assert(table_in_constant_order(), "settings_table holds every setting once, in the order of the enum");

constexpr const setting_key& setting_entry(setting s)
{
    return settings_table[static_cast<std::size_t>(s)];
}

// The name the settings reader looks up, "section:key", with n for a
// section's N and k for a key's K: "relay_ctrl:dtmf_code",
// "account_info_2:server", "button-gpio67:next_number_3". Empty when n or k
// is not one of the entry's numbers (or is given where the entry has none).
std::string setting_name(setting s, int n = 0, int k = 0);

// "1 to 3" for numbers in a row, else "140 or 67": how the page names them.
std::string numbers_text(const setting_numbers& numbers);

// The keys of a section as the table names them ("account_info_N"), in the
// order of the table.
std::vector<std::string> section_keys(const std::string& section);
