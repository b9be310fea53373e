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
