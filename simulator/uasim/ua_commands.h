// What arrives for the user agent, taken apart: the station's JSON commands
// on control-channel and the far side's action lines on uasim-actions (from
// a person at a prompt or a demo scenario). Parsing decides only whether a
// text is well formed; whether it fits the call in progress is the call's
// business.
#pragma once

#include <cstddef>
#include <string>

// Longest number, address or digit string taken; longer ones are refused
// rather than cut, so that the far end is never a different number.
inline constexpr std::size_t longest_number = 127;
inline constexpr std::size_t longest_digits = 32;

enum class command_kind { dial, accept, hangup, play, malformed, unknown };

struct ua_command {
    command_kind kind = command_kind::malformed;
    std::string name;       // the "cmd" member as given
    std::string number;     // dial: the number or the P2P address
    bool p2p = false;       // dial: no account index given
    long account_index = -1;  // dial with an index
    std::string sound;      // play: the path
    std::string count;      // play: the repeat count
    std::string problem;    // malformed, unknown: why, for the console
    std::string text;       // malformed, unknown: the text as received
};

// {"cmd":"dial","data":"NUMBER IDX"} or {"cmd":"dial","data":"ADDRESS"},
// accept, hangup and hangupall (both give hangup), {"cmd":"play","data":"PATH:COUNT"}.
ua_command parse_command(const std::string& text);

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

// A number or address the user agent can put into a SIP URI: not empty, at
// most longest_number bytes, no blanks or control characters.
bool dialable(const std::string& number);
