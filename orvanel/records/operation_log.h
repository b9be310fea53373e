// The operation-log writer: the thread write_opnlog takes the entries that
// any program pushed onto writelog-channel, oldest first, and appends each,
// time-stamped, to /userdata/system.csv through the record logger. It is the
// only writer of that file.
#pragma once

#include <string>

inline constexpr const char* operation_log_file = "/userdata/system.csv";

// How orvanel pushes its own entries: LPUSH onto writelog-channel through a
// pooled connection.
void push_oplog_entry(const std::string& entry);

// Thread entry; never returns.
void write_opnlog();
