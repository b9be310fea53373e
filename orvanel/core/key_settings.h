// The settings of a call key: section "button-gpio140" for key 1 and
// "button-gpio67" for key 2 of /etc/speaker.conf, read afresh at each use.
#pragma once

#include <string>

#include "common/settings_keys.h"

// The call key's setting (setting::key_...), with k for next_number_K and
// number_K_line; empty for any other key or when the settings cannot be
// read.
std::string key_setting(int key, setting name, int k = 0);
