// The settings of a call key: section "button-gpio140" for key 1 and
// "button-gpio67" for key 2 of /etc/speaker.conf, read afresh at each use.
#pragma once

#include <cstddef>
#include <string>

// The key's setting cut to size - 1 bytes; empty for any other key or when
// the settings cannot be read.
std::string key_setting(int key, const std::string& name, std::size_t size);
