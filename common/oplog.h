// Operation-log entries: "category,event,detail", pushed onto the Redis list
// writelog-channel. Both programs write entries; each pushes them through its
// own Redis access, which its start-up installs. Only orvanel's write_opnlog
// thread takes them off the list and writes them to the file.
#pragma once

#include <string>

// The entry as pushed: the three fields joined by commas, cut to 255 bytes
// (before a UTF-8 character that would not fit whole).
// Fields are not quoted: a comma inside a value simply adds a column. A
// control character inside a field becomes a blank, so the entry stays one
// line of the file, and a byte that is not valid UTF-8 becomes '?'.
std::string oplog_entry(const std::string& category, const std::string& event, const std::string& detail);

// How this program pushes one entry onto writelog-channel.
using oplog_push_fn = void (*)(const std::string& entry);
void set_oplog_push(oplog_push_fn push);

void write_oplog(const std::string& category, const std::string& event, const std::string& detail);
