// Relay requests from output-channel: {"id":"gpio135","type":"On"} and
// friends. A "gpio135" request sets the relay's output state, writes its
// operation-log entry and calls the on or off action URL; "gpio130" only
// records a state. Runs on outputd's main thread, one message at a time.
#pragma once

#include <string>

void handle_output_text(const std::string& text);
