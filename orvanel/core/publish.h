// Commands to the SIP user agent (Redis list control-channel) and relay
// requests to the output daemon (Redis list output-channel), as
// common/station_protocol.h spells them.
#pragma once

#include <string>

#include "common/station_protocol.h"

enum : int { TARGET_CONTROL = 0, TARGET_OUTPUT = 1 };

// Target 1 pushes the text onto output-channel, any other onto
// control-channel; in debug mode the text is printed first.
void publish_command(int target, const std::string& text);

void play_sound(const std::string& path, int count);
