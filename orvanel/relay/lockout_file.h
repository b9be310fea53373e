// The door code's lockout file on storage (/userdata/dtmf-lockout, its text
// in lockout_record) and what goes with it: this boot's id and clocks. The
// file is replaced whole, so a power cut leaves the old one or the new one,
// and read defensively: anyone who can write /userdata can put anything
// there, a link, a pipe or a huge file included, and a start still goes on.
// Called by door_code from the event thread and the unlock thread; the
// callers keep them apart.
#pragma once

#include <string>

#include "orvanel/relay/lockout_record.h"

// The device path of the file.
inline constexpr char lockout_file_path[] = "/userdata/dtmf-lockout";

// What is at the device path: absent, a record's text (at most
// lockout_file_cap bytes), or unreadable with the reason in `error`
// (not a plain file, too large, or refused).
lockout_file_found read_lockout_file(const std::string& device_path, std::string& error);

// Replaces the file with the text: a fresh name in the same folder is
// written and synced, renamed over the file, and the folder synced. False,
// with the reason in `error`, when the new text may not be on storage.
bool replace_lockout_file(const std::string& device_path, const std::string& text, std::string& error);

// Removes the file, if there is one, and syncs the folder. False, with the
// reason in `error`, when it may still be there after a power cut.
bool remove_lockout_file(const std::string& device_path, std::string& error);

// This boot's id, clocks and wall time.
lockout_now lockout_clocks();
