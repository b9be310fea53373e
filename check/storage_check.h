// The station's storage: whether /userdata takes writes and how much room it
// has, and the record files (the operation log, the call records, the
// message log): their sizes and whether each ends with a whole line.
#pragma once

#include <string>

#include "check/findings.h"

// Below these free bytes on /userdata a record may no longer fit (error),
// or the message log's hourly files soon fill it (warning).
inline constexpr unsigned long long storage_free_error = 1ull << 20;
inline constexpr unsigned long long storage_free_warning = 8ull << 20;

// orvanel's message log (a device path).
inline constexpr const char* message_log_file = "/userdata/log/orvanel.log";

findings check_storage();

// One record file: its size and whether its last line is whole. A missing
// file is fine (nothing was written yet).
finding check_record_file(const char* item, const std::string& device_path);
