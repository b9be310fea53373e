// Settings access. Every setting lives in INI files that other software on
// the device maintains; each read loads the file afresh, so a change on disk
// applies at the next read. Nothing is cached and no state survives a call.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/settings_keys.h"

// A setting of the table (common/settings_keys.h), read from its file into
// dst, cut to the entry's size - 1 bytes; n and k are the numbers of a
// numbered section and key (setting_name). True when the file was loaded
// (dst then holds the value, empty for a missing key); false when it could
// not be loaded or the numbers are not the entry's, leaving dst untouched.
bool read_setting(setting s, std::string& dst, int n = 0, int k = 0);

// The same for a caller that starts from an empty value: a file that cannot
// be loaded gives the empty text.
std::string setting_value(setting s, int n = 0, int k = 0);

// The setting read at judged_read_size instead of its buffer, for the one
// program that judges it whole (station-sitelog).
std::string judged_setting_value(setting s);

// The INI reader beneath: "section:key" from the INI file at the device path
// `path` into dst, at most size - 1 bytes of it; 1 when the file was loaded
// (dst then holds the value, empty for a missing key), 0 when it could not
// be loaded, leaving dst untouched. The station's programs read their
// settings through the table above; this serves the stand-in user agent's
// own file and the reader's tests.
int read_config_value(const char* path, const char* key, std::string& dst, std::size_t size);

// The same for a caller that starts from an empty value: a file that cannot
// be loaded gives the empty text.
std::string config_value(const char* path, const char* key, std::size_t size);

// The longest line the INI reader takes, in bytes without its line end.
inline constexpr std::size_t settings_line_limit = 1022;

// Whether the INI reader refuses the whole file at the device path `path`
// although the file opens: it does for a line longer than
// settings_line_limit and for one that is neither a section, a key = value
// nor a comment, and every setting of the file then reads empty. Gives the
// line it stopped at, counted from 1 (0 where it did not say which);
// nothing when it takes the file or the file does not open.
std::optional<int> refused_settings_line(const char* path);

// The output daemon prints every read in debug mode; the main program does
// not. Set once at start.
void set_config_read_echo(bool on);

// A file that cannot be loaded is said on standard error at each read; the
// installer's check, which reports it once among its findings, turns that
// off. Set once at start.
void set_config_load_report(bool on);
