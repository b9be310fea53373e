#include "check/settings_check.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>

#include "common/config.h"
#include "common/settings_line.h"
#include "common/station_root.h"
#include "orvanel/keys/key_actions.h"
#include "orvanel/keys/tamper_key.h"
#include "outputd/output_state.h"

namespace {

constexpr const char* area = "settings";

// The names outputd knows: the modes a setting may give the relay, music
// and alarm, and the types a relay request may carry.
std::vector<std::string> output_names(const char* besides_modes, bool first)
{
    std::vector<std::string> names;
    for (const named_mode& mode : output_mode_table)
        names.emplace_back(mode.name);
    names.insert(first ? names.begin() : names.end(), besides_modes);
    return names;
}
const std::vector<std::string> output_mode_names = output_names(disabled_mode, false);
const std::vector<std::string> relay_type_names = output_names(output_on_type, true);

// The edits (a letter added, left out or changed) that turn one text into
// the other, ignoring case.
std::size_t edit_distance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The name a misspelt value most likely meant: the one within two edits
// of it, nearest first; empty when none is that near.
std::string meant_name(const std::string& value, const std::vector<std::string>& names)
{
    std::string meant;
    std::size_t best = 3;
    for (const std::string& name : names) {
        const std::size_t distance = edit_distance(value, name);
        if (distance < best) {
            best = distance;
            meant = name;
        }
    }
    return meant;
}

std::vector<checked_key> make_table()
{
    using k = setting_kind;
    std::vector<checked_key> table;
    // Name and buffer come from the settings table; n and k are the
    // section's and the key's numbers.
    auto add = [&table](setting s, int n, int number, k kind, std::vector<std::string> choices = {}) {
        const std::string name = setting_name(s, n, number);
        const std::size_t colon = name.find(':');
        const setting_key& entry = setting_entry(s);
        table.push_back({entry.file == settings_file::volume, name.substr(0, colon), name.substr(colon + 1),
                         entry.size, kind, std::move(choices)});
    };
    for (const int line : call_key_lines) {
        add(setting::key_mode, line, 0, k::key_mode);
        add(setting::key_api_url, line, 0, k::url);
        add(setting::key_next_number_1, line, 0, k::sip_number);
        add(setting::key_number_1_line, line, 0, k::line);
        for (const int n : next_numbers) {
            add(setting::key_next_number, line, n, k::sip_number);
            add(setting::key_number_line, line, n, k::line);
        }
        add(setting::key_busy_or_unuse, line, 0, k::yes_no);
        add(setting::key_no_reply, line, 0, k::yes_no);
        add(setting::key_next_time, line, 0, k::number);
        add(setting::key_hang_up, line, 0, k::yes_no);
    }
    add(setting::relay_mode, 0, 0, k::output_mode);
    add(setting::relay_play_music, 0, 0, k::output_mode);
    add(setting::relay_alarm, 0, 0, k::output_mode);
    add(setting::relay_type, 0, 0, k::relay_type);
    add(setting::relay_call_state, 0, 0, k::yes_no);
    add(setting::relay_state_info, 0, 0, k::choice, {"answered", "incoming", "outgoing", "both", "hangup"});
    add(setting::relay_call_reset_mode, 0, 0, k::choice, {"delay", "answered", "hangup"});
    add(setting::relay_call_reset_duration, 0, 0, k::number);
    add(setting::relay_dtmf, 0, 0, k::yes_no);
    add(setting::relay_dtmf_code, 0, 0, k::secret);
    add(setting::relay_dtmf_tries, 0, 0, k::number);
    add(setting::relay_dtmf_mode, 0, 0, k::choice, {"delay"});
    add(setting::relay_dtmf_reset_duration, 0, 0, k::number);
    add(setting::action_on_enable, 0, 0, k::yes_no);
    add(setting::action_on_url, 0, 0, k::url);
    add(setting::action_off_enable, 0, 0, k::yes_no);
    add(setting::action_off_url, 0, 0, k::url);
    add(setting::tamper_active, 0, 0, k::tamper_mode);
    add(setting::tamper_api_url, 0, 0, k::url);
    add(setting::tamper_audio_file, 0, 0, k::text);
    add(setting::tamper_play_count, 0, 0, k::number);
    add(setting::tamper_number, 0, 0, k::sip_number);
    add(setting::tamper_number_line, 0, 0, k::line);
    for (const int n : account_numbers) {
        add(setting::account_enable, n, 0, k::yes_no);
        add(setting::account_username, n, 0, k::text);
        add(setting::account_auth_user, n, 0, k::text);
        add(setting::account_password, n, 0, k::secret);
        add(setting::account_domain, n, 0, k::text);
        add(setting::account_server, n, 0, k::text);
        add(setting::account_outbound, n, 0, k::text);
        add(setting::account_transport, n, 0, k::text);
        add(setting::account_regint, n, 0, k::digits);
        add(setting::account_mediaenc, n, 0, k::text);
    }
    add(setting::p2p_enable, 0, 0, k::yes_no);
    add(setting::p2p_allowed_hosts, 0, 0, k::text);
    add(setting::sip_listen, 0, 0, k::text);
    add(setting::sip_certificate, 0, 0, k::text);
    add(setting::sip_cafile, 0, 0, k::text);
    add(setting::system_model, 0, 0, k::text);
    add(setting::system_language, 0, 0, k::text);
    add(setting::volume_key_beep, 0, 0, k::yes_no);
    return table;
}

bool contains(const std::vector<std::string>& words, const std::string& word)
{
    for (const std::string& w : words)
        if (w == word)
            return true;
    return false;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : ", ") + w;
    return text;
}

std::string shown(const std::string& value)
{
    return report_value(value);
}

// The value before the buffer cut: what the reader takes from the line.
std::string parsed_value(const std::string& raw)
{
    // A quoted value runs to its closing quote, or to the end of the line
    // when there is none; blanks inside the quotes stay.
    if (raw.size() >= 2 && (raw[0] == '"' || raw[0] == '\'') && raw[1] != raw[0]) {
        const std::size_t close = raw.find(raw[0], 1);
        return raw.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    std::string value = raw.substr(0, raw.find_first_of(";#"));
    const std::size_t last = value.find_last_not_of(" \t\r");
    value.resize(last == std::string::npos ? 0 : last + 1);
    if (value == "\"\"" || value == "''")
        value.clear();  // an empty value written in quotes
    return value;
}

// What the station does without a yes/no key switched on, where an
// installer would not guess it.
std::string off_effect(const std::string& key)
{
    static const std::map<std::string, std::string> effects = {
        {"no_reply", "an unanswered call is not ended and no next number follows"},
        {"busy_or_unuse", "a busy or failed call is not followed by the next number"},
        {"hang_up", "the key does not end a call"},
        {"call_state", "calls do not switch the relay"},
        {"dtmf", "no door code opens the door"},
        {"enable", "it is not used"},
        {"on_enable", "the on URL is never fetched"},
        {"off_enable", "the off URL is never fetched"},
    };
    const auto e = effects.find(key);
    return e == effects.end() ? std::string() : " (" + e->second + ")";
}

bool looks_yes(const std::string& value)
{
    static const std::set<std::string> words = {"yes", "true", "1", "on", "y", "enable", "enabled"};
    return words.count(lowered(value)) > 0;
}

bool looks_no(const std::string& value)
{
    static const std::set<std::string> words = {"", "no", "false", "0", "off", "n", "disable", "disabled"};
    return words.count(lowered(value)) > 0;
}

// A whole number, as an installer writes one: digits with an optional sign.
bool whole_number(const std::string& value)
{
    std::size_t i = (!value.empty() && (value[0] == '-' || value[0] == '+')) ? 1 : 0;
    if (i == value.size())
        return false;
    for (; i < value.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(value[i])))
            return false;
    return true;
}

// Characters a SIP user part holds as they are (unreserved and the user's
// own marks); anything else needs escaping, which no station setting does.
bool user_part_character(unsigned char c)
{
    if (std::isalnum(c))
        return true;
    static const std::string marks = "-_.!~*'()&=+$,;?/%";
    return marks.find(static_cast<char>(c)) != std::string::npos;
}

std::string item_of(const checked_key& key)
{
    return key.section + ":" + key.key;
}

void add(findings& out, const std::string& item, verdict level, const std::string& text)
{
    out.push_back({area, item, level, text});
}

// The rules of one key over its value as read.
void check_value(findings& out, const checked_key& key, const std::string& value)
{
    const std::string item = item_of(key);
    const int number = std::atoi(value.c_str());
    switch (key.kind) {
    case setting_kind::secret:
        add(out, item, verdict::ok, value.empty() ? "empty" : "set (not shown)");
        return;
    case setting_kind::yes_no:
        if (value == "yes")
            add(out, item, verdict::ok, "\"yes\": on");
        else if (looks_yes(value))
            add(out, item, verdict::warning,
                shown(value) + ": the station takes only \"yes\" for on, so this is off" + off_effect(key.key) +
                    "; write yes");
        else if (looks_no(value))
            add(out, item, verdict::ok, shown(value) + ": off");
        else
            add(out, item, verdict::warning, shown(value) + " is neither yes nor no: the station takes it for off; write yes or no");
        return;
    case setting_kind::number:
    case setting_kind::digits:
    case setting_kind::key_mode:
    case setting_kind::tamper_mode:
    case setting_kind::line:
        if (key.kind == setting_kind::digits && !value.empty() && !whole_number(value)) {
            add(out, item, verdict::warning,
                shown(value) + " is not a whole number: the user agent's configuration cannot carry it; write the number alone");
            return;
        }
        if (!value.empty() && !whole_number(value)) {
            const std::string uses = std::to_string(number);
            add(out, item, verdict::warning,
                shown(value) + " is not a whole number: the station uses " + uses + "; write " +
                    (number != 0 ? uses : std::string("the number alone")));
            return;
        }
        if (key.kind == setting_kind::key_mode && number != MODE_NOT_ACTIVE && number != MODE_CALL &&
            number != MODE_HTTP) {
            add(out, item, verdict::warning,
                "mode " + std::to_string(number) + " is none the key knows: a press does nothing; write " +
                    std::to_string(MODE_NOT_ACTIVE) + " (not active), " + std::to_string(MODE_CALL) + " (call) or " +
                    std::to_string(MODE_HTTP) + " (HTTP request)");
            return;
        }
        if (key.kind == setting_kind::tamper_mode && tamper_calls(number) && number != TAMPER_CALL) {
            add(out, item, verdict::warning,
                "mode " + std::to_string(number) +
                    " is none the tamper switch knows: opening the station calls unpack-intercom:number; write " +
                    std::to_string(TAMPER_NOT_ACTIVE) + " (not active), " + std::to_string(TAMPER_CALL) + " (call), " + std::to_string(TAMPER_HTTP) +
                    " (HTTP request) or " + std::to_string(TAMPER_SOUND) + " (sound) to say which is meant");
            return;
        }
        if (value.empty())
            add(out, item, verdict::ok, key.kind == setting_kind::digits ? "empty" : "empty: 0");
        else
            add(out, item, verdict::ok, shown(value));
        return;
    case setting_kind::output_mode:
    case setting_kind::relay_type: {
        const std::vector<std::string>& names =
            key.kind == setting_kind::output_mode ? output_mode_names : relay_type_names;
        if (value.empty() || contains(names, value)) {
            add(out, item, verdict::ok, value.empty() ? "empty" : shown(value));
            return;
        }
        if (key.kind == setting_kind::relay_type)
            return;  // what it does depends on the modes: check_relay_type
        const std::string meant = meant_name(value, names);
        const bool relay = key.key == "relay_mode";
        add(out, item, relay ? verdict::error : verdict::warning,
            shown(value) + " is no mode outputd knows: " +
                (relay ? "the door relay is never switched on" : "it is taken for none") + "; write " +
                (meant.empty() ? "one of " + joined(names) : meant));
        return;
    }
    case setting_kind::choice:
        if (!value.empty() && !contains(key.choices, value)) {
            add(out, item, verdict::warning,
                shown(value) + " is none of " + joined(key.choices) + ": the station acts as if it were empty");
            return;
        }
        add(out, item, verdict::ok, value.empty() ? "empty" : shown(value));
        return;
    case setting_kind::sip_number: {
        // The number goes into the dial command up to an '@' and its host.
        std::string user = value.substr(0, value.find('@'));
        if (user.compare(0, 4, "sip:") == 0)
            user.erase(0, 4);
        for (unsigned char c : user)
            if (!user_part_character(c)) {
                add(out, item, verdict::error,
                    shown(value) + " holds a character that a SIP address cannot carry as it is: the call fails; "
                                   "use digits, letters and - _ . * only");
                return;
            }
        add(out, item, verdict::ok, value.empty() ? "empty" : shown(value));
        return;
    }
    case setting_kind::text:
    case setting_kind::url:
        add(out, item, verdict::ok, value.empty() ? "empty" : shown(value));
        return;
    }
}

// A number on a line: whether the line can dial now.
void check_line(findings& out, const settings_as_read& settings, const registration_states& registered,
                const std::string& item, const std::string& number, int line)
{
    const auto enabled = [&settings](int n) {
        return setting_as_read(settings, setting::account_enable, n) == "yes";
    };
    if (line == 1) {
        bool any_enabled = false;
        bool any_registered = false;
        bool known = true;
        for (int n = 1; n <= 3; ++n) {
            if (!enabled(n))
                continue;
            any_enabled = true;
            if (!registered[static_cast<std::size_t>(n)])
                known = false;
            else if (*registered[static_cast<std::size_t>(n)])
                any_registered = true;
        }
        if (!any_enabled)
            add(out, item, verdict::error,
                shown(number) + " on line 1 (Auto): no account is enabled, so the call is not made; enable an account");
        else if (known && !any_registered)
            add(out, item, verdict::warning,
                shown(number) + " on line 1 (Auto): no enabled account is registered now, so the call is not made");
        return;
    }
    if (line >= 2 && line <= 4) {
        const int account = line - 1;
        const std::string name = "account " + std::to_string(account);
        const std::optional<bool>& state = registered[static_cast<std::size_t>(account)];
        if (!enabled(account))
            add(out, item, verdict::error,
                shown(number) + " on line " + std::to_string(line) + " (" + name + "): " + name +
                    " is not enabled, so the call is not made; enable it or choose another line");
        else if (state && !*state)
            add(out, item, verdict::warning,
                shown(number) + " on line " + std::to_string(line) + " (" + name + "): " + name +
                    " is not registered now, so the call is not made");
        return;
    }
    if (line == 5) {
        if (setting_as_read(settings, setting::p2p_enable) != "yes")
            add(out, item, verdict::warning,
                shown(number) + " on line 5 (P2P): account_info_p2p:enable is not yes, so the user agent "
                                "has no P2P line; enable it or choose another line");
        return;
    }
    add(out, item, verdict::error,
        shown(number) + " on line " + std::to_string(line) +
            ": no such line, so the call is not made; choose 1 (Auto), 2 to 4 (accounts 1 to 3) or 5 (P2P)");
}

// The type a relay request carries when it switches the relay on. A type
// outputd has no state for sets the line low; that switches the relay only
// where the modes make the line rest high (outputd/output_state).
void check_relay_type(findings& out, const settings_as_read& settings)
{
    const std::string type = setting_as_read(settings, setting::relay_type);
    if (contains(relay_type_names, type))
        return;
    const bool used = setting_as_read(settings, setting::relay_call_state) == "yes" ||
                      setting_as_read(settings, setting::relay_dtmf) == "yes";
    if (type.empty() && !used)
        return;
    const output_modes modes{setting_as_read(settings, setting::relay_mode),
                             setting_as_read(settings, setting::relay_play_music),
                             setting_as_read(settings, setting::relay_alarm)};
    const bool rests_high = idle_level(modes) == OUT_HIGH;
    std::string meant = meant_name(type, relay_type_names);
    if (meant.empty())
        meant = output_on_type;
    const std::string what = (type.empty() ? std::string("no type") : shown(type) + " is no type outputd knows") + ": ";
    if (rests_high)
        add(out, "relay_ctrl:type", verdict::warning,
            what + "a relay request sets the line low, the opposite of where it rests; write " + meant +
                " to say what is meant");
    else
        add(out, "relay_ctrl:type", verdict::error,
            what + "a relay request leaves the line low, where it rests, so the door relay never switches; write " +
                meant);
}

void check_action_url(findings& out, const settings_as_read& settings, setting enable_key, setting url_key)
{
    const std::string enable_name = setting_entry(enable_key).key;
    const bool on = setting_as_read(settings, enable_key) == "yes";
    const std::string url = setting_as_read(settings, url_key);
    const std::string item = setting_name(url_key);
    const bool placeholders = url.find("${ip}") != std::string::npos || url.find("${mac}") != std::string::npos;
    if (on && url.empty())
        add(out, item, verdict::warning, enable_name + " is yes but the URL is empty: nothing is fetched");
    else if (!on && placeholders)
        add(out, item, verdict::warning,
            "the URL has placeholders but " + enable_name + " is not yes: it is never fetched; set " + enable_name +
                " = yes");
    // A placeholder written another way is sent as it stands.
    for (std::size_t at = url.find('$'); at != std::string::npos; at = url.find('$', at + 1)) {
        const std::string rest = url.substr(at);
        if (rest.compare(0, 5, "${ip}") != 0 && rest.compare(0, 6, "${mac}") != 0) {
            add(out, item, verdict::warning,
                "the URL holds " + shown(rest.substr(0, rest.find_first_of("}/&?") + 1)) +
                    ", which is not replaced: only ${ip} and ${mac} are");
            break;
        }
    }
}

// A file the settings reader refuses: the line, and what it costs.
void check_refusal(findings& out, const char* file, const std::optional<refused_line>& refused)
{
    if (!refused)
        return;
    std::string what = "the settings reader refuses the whole file";
    std::string fix = "look for a long or broken line";
    if (refused->number > 0) {
        const std::string line = "line " + std::to_string(refused->number);
        if (refused->length > settings_line_limit) {
            what = line + " is " + std::to_string(refused->length) + " bytes, longer than the " +
                   std::to_string(settings_line_limit) + " the settings reader takes: it refuses the whole file";
            fix = "shorten the line";
        } else {
            what = line + " is neither a [section], a key = value nor a comment: " + what;
            fix = "mend or remove the line";
        }
    }
    add(out, file, verdict::error, what + ", and the station runs with every setting of it empty; " + fix);
}

}  // namespace

std::string report_value(const std::string& value)
{
    std::string text = "\"";
    for (unsigned char c : value)
        text += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    return text + "\"";
}

const std::vector<checked_key>& station_setting_keys()
{
    static const std::vector<checked_key> table = make_table();
    return table;
}

std::string setting_as_read(const settings_as_read& settings, setting s, int n, int k)
{
    const std::string name = setting_name(s, n, k);
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos)
        return {};
    const setting_key& entry = setting_entry(s);
    const std::optional<raw_sections>& file =
        entry.file == settings_file::volume ? settings.volume : settings.speaker;
    return value_as_read(raw_value(file, name.substr(0, colon), name.substr(colon + 1)), entry.size);
}

std::string value_as_read(const std::string& raw, std::size_t size)
{
    std::string value = parsed_value(raw);
    if (size == 0)
        value.clear();
    else if (value.size() > size - 1)
        value.resize(size - 1);
    return value;
}

std::string raw_value(const std::optional<raw_sections>& file, const std::string& section, const std::string& key)
{
    if (!file)
        return {};
    const auto s = file->find(section);
    if (s == file->end())
        return {};
    const auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

findings check_settings(const settings_as_read& settings, const registration_states& registered)
{
    findings out;
    if (!settings.speaker) {
        add(out, speaker_conf, verdict::error, "cannot be read: the station runs with every setting empty");
        return out;
    }
    check_refusal(out, speaker_conf, settings.speaker_refused);
    check_refusal(out, volume_conf, settings.volume_refused);
    for (const checked_key& key : station_setting_keys()) {
        const std::optional<raw_sections>& file = key.volume_file ? settings.volume : settings.speaker;
        if (!file)
            continue;
        const auto s = file->find(key.section);
        if (s == file->end() || s->second.count(key.key) == 0)
            continue;
        const std::string& raw = s->second.at(key.key);
        const std::string whole = parsed_value(raw);
        const std::string value = value_as_read(raw, key.size);
        const bool secret = key.kind == setting_kind::secret;
        if (cut_by_comment(raw)) {
            add(out, item_of(key), verdict::error,
                (secret ? std::string("the value is cut short") : shown(raw) + " reaches the station as " + shown(value)) +
                    ": the settings reader ends a value at ';' or '#'; put the value in double quotes");
            continue;
        }
        if (whole.size() > value.size()) {
            add(out, item_of(key), verdict::error,
                "the value is " + std::to_string(whole.size()) + " bytes; the station reads only the first " +
                    std::to_string(key.size - 1) + (secret ? std::string() : ": " + shown(value)) + "; shorten it");
            continue;
        }
        check_value(out, key, value);
    }

    for (const int key_line : call_key_lines) {
        for (int n = 1; n <= 5; ++n) {
            const setting number_key = n == 1 ? setting::key_next_number_1 : setting::key_next_number;
            const setting line_key = n == 1 ? setting::key_number_1_line : setting::key_number_line;
            const int k = n == 1 ? 0 : n;
            const std::string number = setting_as_read(settings, number_key, key_line, k);
            if (number.empty())
                continue;
            const int line = std::atoi(setting_as_read(settings, line_key, key_line, k).c_str());
            check_line(out, settings, registered, setting_name(line_key, key_line, k), number, line);
        }
    }
    const int tamper_mode = std::atoi(setting_as_read(settings, setting::tamper_active).c_str());
    const std::string tamper_number = setting_as_read(settings, setting::tamper_number);
    if (tamper_calls(tamper_mode) && !tamper_number.empty())
        check_line(out, settings, registered, "unpack-intercom:number_line", tamper_number,
                   std::atoi(setting_as_read(settings, setting::tamper_number_line).c_str()));

    check_relay_type(out, settings);
    check_action_url(out, settings, setting::action_on_enable, setting::action_on_url);
    check_action_url(out, settings, setting::action_off_enable, setting::action_off_url);
    return out;
}

namespace {

// The line the settings reader refused the file at, with its length; the
// file's sections are then emptied, as the station sees them.
std::optional<refused_line> refusal_of(const char* path, std::optional<raw_sections>& sections)
{
    if (!sections)
        return std::nullopt;
    const std::optional<int> number = refused_settings_line(path);
    if (!number)
        return std::nullopt;
    sections->clear();
    refused_line refused;
    refused.number = *number;
    // A line that ends in '\\' goes on in the next, and the reader's limit
    // holds for the lines joined.
    std::ifstream file(station_path(path));
    std::string line;
    std::size_t carried = 0;
    for (int n = 1; n <= *number && std::getline(file, line); ++n) {
        refused.length = carried + line.size();
        const std::size_t last = line.find_last_not_of(" \t\r\n\v\f");
        carried = last != std::string::npos && line[last] == '\\' ? carried + last : 0;
    }
    return refused;
}

}  // namespace

settings_as_read read_station_settings()
{
    settings_as_read settings;
    bool unreadable[2] = {false, false};
    settings.speaker.emplace();
    settings.volume.emplace();
    for (const checked_key& key : station_setting_keys()) {
        const int which = key.volume_file ? 1 : 0;
        std::optional<raw_sections>& file = key.volume_file ? settings.volume : settings.speaker;
        if (unreadable[which] || file->count(key.section))
            continue;
        std::optional<raw_section> section =
            raw_config_section(key.volume_file ? volume_conf : speaker_conf, key.section);
        if (!section) {
            unreadable[which] = true;
            continue;
        }
        (*file)[key.section] = std::move(*section);
    }
    if (unreadable[0])
        settings.speaker.reset();
    if (unreadable[1])
        settings.volume.reset();
    settings.speaker_refused = refusal_of(speaker_conf, settings.speaker);
    settings.volume_refused = refusal_of(volume_conf, settings.volume);
    return settings;
}
