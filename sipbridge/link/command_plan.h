// How a command of the station becomes commands of the user agent's control
// socket. The user agent acts on its current account and its newest call,
// so every command first selects the account (uafind) and the call
// (callfind) it means. Pure: the plan is carried out by the command thread.
#pragma once

#include <string>
#include <vector>

#include "common/station_accounts.h"
#include "common/station_protocol.h"
#include "sipbridge/link/call_book.h"

struct ua_request {
    std::string command;
    std::string params;
};

// The longest repeat count of a play command that is carried out.
inline constexpr int most_plays = 99;

struct command_plan {
    std::vector<ua_request> requests;  // sent in order
    bool stop_at_refusal = true;       // a refused request ends the plan
    std::string refusal;               // not empty: nothing is sent, and this says why
    bool play = false;                 // a sound for the local player
    std::string sound;
    int count = 0;
};

// A play path the bridge hands to the local player: an absolute path of the
// device. URLs, relative paths and "-" are refused before any player starts;
// whether the path names a regular file is checked when it is played.
bool playable_path(const std::string& path);

command_plan plan_command(const ua_command& command, const station_view& accounts, const call_book& calls);
