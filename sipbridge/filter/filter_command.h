// The packet filter's commands of sipbridge, run by the station-filter
// service and the init script:
//
//   sipbridge --print-filter DIR   print the nft ruleset for the settings
//   sipbridge --apply-filter DIR   load it into the kernel with nft
//
// Both read /etc/speaker.conf (the trusted hosts) and DIR/config (the user
// agent's ports), take the bridge's user (STATION_BRIDGE_USER) as a uid and
// resolve the trusted names with getaddrinfo, so the
// ruleset follows the settings and the names' current addresses. A setting
// that names no host, or a name that does not resolve, is named on standard
// error and left out, the rest still applies, and the status is 1 so that a
// service shows it. Settings that cannot be read load nothing (status 1):
// the filter in force stays.
#pragma once

#include <string>

int print_filter(const std::string& ua_dir);
int apply_filter(const std::string& ua_dir);
