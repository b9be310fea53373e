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
// subscription on session-channel, and the user agent's list waiting; and,
// where systemd runs the device, the states of the station's units.
findings check_programs(const std::vector<std::string>& running, redisContext* c);

// The station's systemd units, in the order `systemctl is-active` is asked
// about them.
extern const std::vector<std::string> station_units;

// The findings for the output of `systemctl is-active` over station_units:
// one state a line ("active", "inactive", "failed"...).
findings check_services(const std::string& is_active_output);

// Asks systemd for the units' states, when systemd runs this device (not
// under a station root): the findings, or none where there is no systemd.
// systemctl gets command_timeout to answer.
findings check_services_now();
