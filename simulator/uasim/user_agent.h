// uasim, the stand-in SIP user agent: on one Redis connection it takes the
// station's commands from control-channel and far-side actions from
// uasim-actions, oldest first, and publishes what a SIP user agent would on
// session-channel. One thread; it blocks only in BRPOP, whose time-out is the
// time to the next scheduled event.
#pragma once

#include <string>

// The list that a person's prompt or a demo scenario pushes action lines on.
inline constexpr const char* actions_list = "uasim-actions";

// A console line: "uasim: " and the text, with control characters shown as
// '?' and an overlong text cut, so a hostile number cannot garble the
// terminal.
std::string console_line(const std::string& text);

// Runs until killed or told to exit. Returns the exit status: 1 when Redis
// cannot be reached at start, 0 after the action "exit".
int uasim_main(int argc, char** argv);
