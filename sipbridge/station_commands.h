// The station's commands on control-channel, taken apart for a user agent:
// the bridge to a real SIP user agent and the stand-in one read them alike.
// Parsing decides only whether a text is well formed; whether it fits the
// call in progress is the user agent's business.
#pragma once

#include <cstddef>
#include <string>

// Longest number or address taken; longer ones are refused rather than cut,
// so that the far end is never a different number.
inline constexpr std::size_t longest_number = 127;

enum class command_kind { dial, accept, hangup, hangupall, play, malformed, unknown };

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
// accept, hangup, hangupall, {"cmd":"play","data":"PATH:COUNT"}.
ua_command parse_command(const std::string& text);

// A number or address the user agent can put into a SIP URI: not empty, at
// most longest_number bytes, no blanks or control characters.
bool dialable(const std::string& number);
