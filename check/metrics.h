// The figures of station-check for Prometheus (station-check --prometheus
// FILE): whether each account is registered, whether the station is ready,
// the relay and tamper lines, the door code's lockout, what waits in the
// lists between the programs, the findings by verdict and the time of the
// last call. They are read as the checks read them, on the check's one
// Redis connection, and written for node_exporter's textfile collector.
//
// A figure that cannot be read (Redis down, a line not exported, the call
// records unreadable) is left out, never written as a false value, and
// orvanel_station_check_success is 0; the findings say why.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hiredis/hiredis.h>

#include "check/door_check.h"
#include "check/findings.h"
#include "check/metrics_format.h"
#include "check/settings_check.h"

// Every metric's name begins with this.
inline constexpr const char* metrics_prefix = "orvanel_station_";

struct account_registration {
    int account = 0;                // 1 to 3: account_info_<n>
    std::string address_of_record;  // "sip:<user>@<host>"
    bool registered = false;
};

struct station_figures {
    std::vector<account_registration> registrations;  // the enabled accounts whose state is known
    std::optional<int> relay_level;                   // the relay output line, 0 or 1
    std::optional<int> tamper_level;                  // the tamper input: 1 open, 0 closed
    std::optional<door_lockout> lockout;
    std::vector<std::pair<std::string, long long>> list_lengths;  // the lists that could be read
    std::optional<std::time_t> last_call;  // the start of the last recorded call
    bool complete = true;                  // every figure above was read
};

// Reads the figures on the check's Redis connection (null when there is
// none) with what the checks already took from it: the registrations and
// the lockout.
station_figures read_station_figures(redisContext* c, const registration_states& registered,
                                     const std::optional<door_lockout>& lockout);

// The metrics of the figures and the findings; written_at is the Unix time
// of the file.
std::vector<metric_family> station_metrics(const station_figures& figures, const findings& all,
                                           std::time_t written_at);

// The start of the last call in the tail of cdr.csv, in the station's local
// time: the last whole line (ending with a line end) whose date and start
// time are given; nothing when there is none (a record of a call whose
// start the station did not see has them blank).
std::optional<std::time_t> last_call_start(const std::string& records_tail);

// Replaces FILE with the text so that a reader sees the old file or the
// new one whole: a fresh name in the same folder (not ending in ".prom",
// which the collector skips), synced, renamed over FILE, the folder synced.
// The file is readable by everyone (0644): node_exporter runs as its own
// user. Empty when done, else what failed ("cannot write FILE: reason").
std::string write_metrics_file(const std::string& path, const std::string& text);
