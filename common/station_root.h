// The station root. On the device every path is the absolute device path;
// on a development machine, in the tests and in the simulator the programs
// run under a directory named by STATION_ROOT, and every device path that
// they open, create, connect to, rename or write into a shell command lies
// under it. station_path() is the one place that joins the two.
#pragma once

#include <string>

// Reads STATION_ROOT. Called by each program's main before any thread
// starts; returns false when the root cannot be used safely in shell
// command texts.
bool station_root_init();

// The root in use: empty on the device.
const std::string& station_root();

// The device path as the program must use it: the root followed by the path.
std::string station_path(const std::string& device_path);

// A root is spliced into shell command texts unquoted, as the device paths
// are, so it may hold only characters that mean nothing to the shell.
bool station_root_is_safe(const std::string& root);
