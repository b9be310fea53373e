// The station's own network addresses, read from the shell pipelines over
// ifconfig that the device offers.
#pragma once

#include <string>

// The first line a pipeline prints (at most 31 characters), without its
// newline. False when the pipeline cannot start or prints nothing; the
// latter is reported on the console as "ip wrong".
bool first_output_line(const std::string& command, std::string& line);

// A dotted IPv4 address, 10.0.0.1 included.
bool is_ipv4_address(const std::string& text);

// The IPv4 address of eth0: the first line of
// "/sbin/ifconfig eth0 | grep <pattern> | cut -d":" -f2 | cut -d" " -f1",
// the pattern as shell text. False, with out untouched, when the line is no
// dotted address.
bool eth0_ipv4_address(const std::string& grep_pattern, std::string& out);
