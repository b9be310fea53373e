// What arrives for the stand-in user agent besides the station's commands:
// the far side's action lines on uasim-actions (from a person at a prompt or
// a demo scenario), taken apart.
#pragma once

#include <cstddef>
#include <string>

#include "common/station_protocol.h"

inline constexpr std::size_t longest_digits = 32;

enum class action_kind {
    call_in, dtmf, far_hangup, answer, register_ok, register_fail, listing, exit, malformed, unknown
};

struct ua_action {
    action_kind kind = action_kind::malformed;
    std::string argument;  // call-in: the number; dtmf: the digits
    int account = 0;       // register, register-fail: 1..3
    std::string problem;
    std::string line;      // malformed, unknown: the line as received
};

// "call-in NUMBER", "dtmf DIGITS", "far-hangup", "answer", "register N",
// "register-fail N", "listing", "exit"; words separated by blanks.
ua_action parse_action(const std::string& line);
