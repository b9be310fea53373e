#include "station_kit/settings.h"

#include <sstream>
#include <stdexcept>

namespace {

// The device's settings as the tools start from them; account 1's domain
// and server are set by device_settings().
const char* const device_text = R"([system]
language = en
model = ZR-K11

[account_info_1]
enable = yes
username = 1000
domain =
server =
password =

[account_info_2]
enable = no
username =
domain =
server =
password =

[account_info_3]
enable = no
username =
domain =
server =
password =

[account_info_p2p]
enable = no

[button-gpio140]
key_mode = 1
next_number_1 = 1001
number_1_line = 2
next_number_2 =
number_2_line = 2
next_number_3 =
number_3_line = 2
next_number_4 =
number_4_line = 2
next_number_5 =
number_5_line = 2
no_reply = no
next_time = 6
busy_or_unuse = no
hang_up = yes
api_url =

[button-gpio67]
key_mode = 1
next_number_1 = 2001
number_1_line = 2
no_reply = no
next_time = 10
busy_or_unuse = no
hang_up = yes
api_url =

[unpack-intercom]
active = 3
api_url =
audio_file = /userdata/alarm.mp3
play_count = 2
number =
number_line = 2

[relay_ctrl]
call_state = no
state_info = answered
call_reset_mode = delay
call_reset_duration = 2
type = On
dtmf = no
dtmf_code = 1234
mode = delay
dtmf_reset_duration = 3
relay_mode = singleBToggle
play_music = Disabled
alarm = Disabled

[relay_action_url]
on_enable = no
on_url =
off_enable = no
off_url =
)";

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool has_any(const std::string& text, const char* chars)
{
    return text.find_first_of(chars) != std::string::npos;
}

// The value as the reader gives it back: quoted when it holds a comment
// character, in single quotes when it holds a double one.
std::string written_value(const std::string& value)
{
    if (!has_any(value, ";#"))
        return value;
    if (!has_any(value, "\""))
        return '"' + value + '"';
    if (!has_any(value, "'"))
        return '\'' + value + '\'';
    throw std::invalid_argument("a settings value cannot hold ';' or '#' with both kinds of quote: " + value);
}

}  // namespace

station_settings::station_settings(const std::string& text)
{
    std::istringstream lines(text);
    ini_section* current = nullptr;
    for (std::string line; std::getline(lines, line);) {
        line = trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            current = &section_named(line.substr(1, line.size() - 2));
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string key = trimmed(line.substr(0, equals));
        if (equals == std::string::npos || key.empty() || !current)
            throw std::invalid_argument("not a settings line: " + line);
        // The value stands as written, quotes and all.
        value_of(*current, key) = trimmed(line.substr(equals + 1));
    }
}

station_settings& station_settings::set(const std::string& section, const std::string& key, const std::string& value)
{
    if (has_any(section + key + value, "\r\n") || has_any(section, "]") || has_any(key, "=") || key.empty())
        throw std::invalid_argument("not a settings entry: [" + section + "] " + key);
    const std::string written = written_value(value);
    value_of(section_named(section), key) = written;
    return *this;
}

station_settings::ini_section& station_settings::section_named(const std::string& name)
{
    for (ini_section& s : sections_)
        if (s.name == name)
            return s;
    return sections_.emplace_back(ini_section{name, {}});
}

std::string& station_settings::value_of(ini_section& s, const std::string& key)
{
    for (auto& [name, value] : s.keys)
        if (name == key)
            return value;
    return s.keys.emplace_back(key, "").second;
}

std::string station_settings::text() const
{
    std::string out;
    for (const ini_section& s : sections_) {
        if (!out.empty())
            out += '\n';
        out += '[' + s.name + "]\n";
        for (const auto& [key, value] : s.keys)
            out += value.empty() ? key + " =\n" : key + " = " + value + '\n';
    }
    return out;
}

station_settings device_settings(const std::string& domain)
{
    return station_settings(device_text).set("account_info_1", "domain", domain).set("account_info_1", "server", domain);
}
