// The user agent's files in its folder (config, accounts, contacts and the
// TLS files), written so that no one else reads them and no planted link is
// followed. They hold the SIP passwords and the station's private key.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Writes DIR/NAME whole or not at all: a new file of an unforeseeable name,
// mode 0600, never opened through a link, synced, renamed into place, and
// the folder synced, so that a power cut leaves the old file or the new one.
// When root writes it, it belongs to the folder's owner (the user agent's
// user). False, with the reason in error, when that failed; the old file
// stays. True when the new file is in place; error is then empty, or says
// that the folder could not be synced and the file may not survive a power
// cut.
bool write_ua_file(const std::string& dir, const std::string& name, const std::string& text, std::string& error);

// An empty DIR/NAME made the same way when there is none, the folder synced
// after it (a file, or a link, that is there is left alone).
void ensure_ua_file(const std::string& dir, const std::string& name);

// Removes DIR/NAME (a file the settings no longer name) and syncs the
// folder; true when none is left, with error as write_ua_file leaves it.
bool remove_ua_file(const std::string& dir, const std::string& name, std::string& error);

// DIR/NAME's text, or nothing.
std::optional<std::string> read_ua_file(const std::string& dir, const std::string& name);

// A file of the folder brought to its text, or removed when it has none;
// nothing is written when it holds the text already. changed tells whether
// it differed; true and error as write_ua_file and remove_ua_file leave them.
bool bring_ua_file(const std::string& dir, const std::string& name, const std::optional<std::string>& text,
                   bool& changed, std::string& error);

// bring_ua_file for a command that reports as PROGRAM: what failed, or what
// may not survive a power cut, goes to standard error after its name.
bool bring_ua_file_reported(const char* program, const std::string& dir, const std::string& name,
                            const std::optional<std::string>& text, bool& changed);

// The largest file a setting may name (a CA bundle, a certificate and key).
inline constexpr std::size_t named_file_limit = 1 << 20;

// The text of the file at the device path a setting names (under the
// station root), or nothing with the reason in error as the installer's
// setting names it: "cannot read it: REASON", without the station root.
std::optional<std::string> read_named_file(const std::string& device_path, std::string& error);

// The accounts file and an empty contacts file beside it, which the user
// agent wants; true and error as write_ua_file leaves them.
bool write_accounts_file(const std::string& dir, const std::string& text, std::string& error);
