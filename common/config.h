// Settings access. Every setting lives in INI files that other software on
// the device maintains; each read loads the file afresh, so a change on disk
// applies at the next read. Nothing is cached and no state survives a call.
#pragma once

#include <cstddef>
#include <string>

// The two settings files (device paths).
inline constexpr const char* speaker_conf = "/etc/speaker.conf";
inline constexpr const char* volume_conf = "/oem/etc/volctrl.conf";

// Reads "section:key" from the INI file at the device path `path` into dst,
// at most size - 1 bytes of it. Returns 1 when the file was loaded (dst then
// holds the value, empty for a missing key) and 0 when it could not be
// loaded, leaving dst untouched.
int read_config_value(const char* path, const char* key, std::string& dst, std::size_t size);

// The same for a caller that starts from an empty value: a file that cannot
// be loaded gives the empty text.
std::string config_value(const char* path, const char* key, std::size_t size);

// The output daemon prints every read in debug mode; the main program does
// not. Set once at start.
void set_config_read_echo(bool on);

// A file that cannot be loaded is said on standard error at each read; the
// installer's check, which reports it once among its findings, turns that
// off. Set once at start.
void set_config_load_report(bool on);
