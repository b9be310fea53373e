// The settings as the station will use them: every key the programs read,
// taken from its raw line in the file, with the value that reaches them
// after the settings reader ends it at a comment, strips its quotes and cuts
// it to the reader's buffer, and the number that atoi makes of it. What an
// installer most likely meant differently is flagged: a yes/no written
// another way, a number with text after it, a cut value, a mode no rule
// knows, a next number on a line that cannot dial, a number that a SIP user
// part cannot hold, an action URL and its enable that disagree.
//
// Pure rules over the raw sections; reading the files is read_station_settings.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "check/findings.h"
#include "common/settings_keys.h"

// A section's keys (lower case) and the text after each key's '=' as the
// line stands.
using raw_section = std::map<std::string, std::string>;
using raw_sections = std::map<std::string, raw_section>;

// The line at which the settings reader refused a file as a whole: its
// number from 1 (0 where the reader did not say) and its length in bytes.
struct refused_line {
    int number = 0;
    std::size_t length = 0;
};

// The two settings files, each by section; nothing for a file that cannot
// be read. A file the settings reader refuses has no sections, as every
// read of it then gives the empty text, and the line it refused.
struct settings_as_read {
    std::optional<raw_sections> speaker;
    std::optional<raw_sections> volume;
    std::optional<refused_line> speaker_refused;
    std::optional<refused_line> volume_refused;
};

// How a key's value is used.
enum class setting_kind {
    text,        // used as it is
    yes_no,      // only "yes" switches on
    number,      // through atoi
    digits,      // a whole number, passed on as it stands (empty: the user agent's default)
    secret,      // used as it is, never shown
    key_mode,    // atoi: 0 not active, 1 call, 2 HTTP request
    tamper_mode, // atoi: 0 not active, 2 HTTP request, 3 sound, any other a call
    output_mode, // a mode name of the relay output
    relay_type,  // the type a relay request carries
    line,        // atoi: which account dials
    sip_number,  // dialled: becomes the user part of a SIP address
    url,         // fetched
    choice,      // one of the words in `choices`
};

// A key of the settings table (common/settings_keys.h) in one numbered
// section, with how it is used.
struct checked_key {
    bool volume_file = false;  // volume settings file, else speaker.conf
    std::string section;       // "button-gpio67"
    std::string key;           // "next_number_3"
    std::size_t size = 0;      // the reader's buffer: the value keeps size - 1 bytes
    setting_kind kind = setting_kind::text;
    std::vector<std::string> choices;
};

// The keys the programs read that an installer sets for the station's
// behaviour, with their buffers from the table and how each is used ([site]
// and the accounts' TLS have checks of their own).
const std::vector<checked_key>& station_setting_keys();

// The value the programs get for a setting of the table, from the raw
// sections; n and k are its numbers (setting_name).
std::string setting_as_read(const settings_as_read& settings, setting s, int n = 0, int k = 0);

// The value the programs get from a raw value: a quoted value without its
// quotes, an unquoted one up to the first ';' or '#' without trailing
// blanks, cut to size - 1 bytes.
std::string value_as_read(const std::string& raw, std::size_t size);

// Whether each account (1 to 3) is registered, as the user agent reported
// it; nothing where it is not known (no Redis).
using registration_states = std::array<std::optional<bool>, 4>;

// The findings for every key set in the files, in the order of the table,
// then the rules that join keys (lines to accounts, action URLs).
findings check_settings(const settings_as_read& settings, const registration_states& registered);

// Reads the sections of the table from the station's files (under the
// station root).
settings_as_read read_station_settings();

// A value from outside as a report line shows it: quoted, with what is not
// printable as '?', so that it cannot break the line or drive the terminal.
std::string report_value(const std::string& value);

// The raw value of section:key, empty when absent.
std::string raw_value(const std::optional<raw_sections>& file, const std::string& section, const std::string& key);
