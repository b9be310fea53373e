// station-check as a monitoring plugin (Nagios, Icinga, NRPE): one status
// line first, "STATION OK - ...", "STATION WARNING - ...", "STATION
// CRITICAL - ..." or, when the check could not run, "STATION UNKNOWN -
// ...", with the findings' counts as performance data after '|'; then the
// errors and warnings, one a line (the plugin's long output). The exit
// status is the state's: 0, 1, 2 and 3.
#pragma once

#include <cstddef>
#include <string>

#include "check/findings.h"

// The exit status of a check that could not run: a command line it cannot
// use, a metrics file it cannot write, a root it may not check.
inline constexpr int exit_unknown = 3;

// The longest finding text on the status line; the long output has it whole.
inline constexpr std::size_t plugin_status_text = 160;

// The report of the findings, its status line first.
std::string plugin_report(const findings& all);

// The report of a check that could not run, and why.
std::string plugin_unknown(const std::string& why);
