// What the far end of a dialled number does, from the user agent's own
// behaviour file /sim/uasim.conf (INI, read afresh for each dial):
//
//   [default]            numbers without a section of their own
//   behaviour = answer
//   [1001]               one section per number or address
//   behaviour = busy     answer | noanswer | busy | reject | unavailable
//   after = 1.5          seconds until the answer or the failure
//   hangup_after = 10    seconds after the answer until the far end hangs up
//
// Each key is taken from the number's section, else from [default], else
// from the built-in: answer after 2 seconds and never hang up. A value that
// is not one of the words or not a plain number of seconds counts as unset.
#pragma once

#include <chrono>
#include <functional>
#include <string>

inline constexpr const char* behaviour_file = "/sim/uasim.conf";

enum class far_end { answer, noanswer, busy, reject, unavailable };

struct number_behaviour {
    far_end what = far_end::answer;
    std::chrono::milliseconds after{2000};
    std::chrono::milliseconds hangup_after{0};  // zero: the far end never hangs up
};

// Reads "section:key" as config_value does; empty when unset.
using setting_reader = std::function<std::string(const std::string& key)>;

number_behaviour behaviour_from(const setting_reader& read, const std::string& number);

// The behaviour of the number from /sim/uasim.conf; the built-in one when the
// file is missing.
number_behaviour behaviour_of(const std::string& number);

// The reason a failing call closes with ("486 Busy Here"); empty for the
// behaviours that do not fail.
const char* failure_reason(far_end what);

// "answers after 2 s, hangs up 10 s later", "nobody answers", "busy after 1 s".
std::string describe(const number_behaviour& b);

// A plain decimal number of seconds, "2" or "0.5", up to one day; -1 ms for
// anything else.
std::chrono::milliseconds parse_seconds(const std::string& text);
