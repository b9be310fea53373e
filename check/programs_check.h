// Whether the station's programs run: orvanel, outputd and the SIP user
// agent's side (sipbridge with baresip behind it, or uasim in the
// simulator). A program counts when a process of that name runs with the
// same station root as this check (none on the device).
#pragma once

#include <string>
#include <vector>

#include "check/findings.h"
#include "common/c_holders.h"

// The names of the running processes whose STATION_ROOT is `root` (empty:
// unset). A process whose environment this user may not read counts only
// for the device's root, where every process is the station's.
std::vector<std::string> station_processes(const std::string& root);

// The programs among `running` (from station_processes), with what Redis
// says of them on `c` (null when Redis is unreachable): orvanel's
// subscription on session-channel, and the user agent's list waiting.
findings check_programs(const std::vector<std::string>& running, redisContext* c);
