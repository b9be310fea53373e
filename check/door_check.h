// The door as an installer must see it before leaving the site: relay
// settings that open without a code, the door code and its tries, a lockout
// of the code now in force, and who may call the station at all (the hosts
// the packet filter trusts, as the bridge builds them from the settings).
//
// Pure rules over the raw settings and the lockout's state; reading the
// lockout from Redis is door_code_guard::read_kept.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/findings.h"
#include "check/settings_check.h"
#include "orvanel/relay/door_code_guard.h"

// The lockout of the door code as orvanel keeps it in Redis: the locked
// calls and lockouts in a row, and what is left of a lockout.
using door_lockout = door_code_guard::kept_state;

// A host the station trusts for calls: the setting that names it and the
// word as written.
struct trusted_caller {
    std::string setting;  // "account_info_1:server"
    std::string word;
};

// The hosts whose calls the packet filter lets through: the domain, server
// and outbound proxy of each enabled account and, with the P2P line on, each
// word of account_info_p2p:allowed_hosts.
std::vector<trusted_caller> trusted_callers(const settings_as_read& settings);

// `lockout` is nothing when its state could not be read.
findings check_door(const settings_as_read& settings, const std::optional<door_lockout>& lockout);
