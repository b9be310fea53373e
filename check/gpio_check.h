// The GPIO lines the station uses, as their sysfs files show them: present,
// with the right direction where the file shows it; the inputs at a
// plausible level at rest (the keys released, the tamper switch closed); the
// outputs writable by this user, who is the station's.
#pragma once

#include <string>

#include "check/findings.h"

// `model` is system:model of the settings: only the two-key model has the
// second key's LEDs.
findings check_gpio(const std::string& model);
