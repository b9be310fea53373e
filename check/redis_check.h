// The station's Redis as the installer's check sees it: whether the socket
// answers within the command time-out, who serves it (the same peer rule the
// programs apply), and the type and length of each list between the programs.
// A connection made here stays open for the other checks that ask Redis.
#pragma once

#include "check/findings.h"
#include "common/c_holders.h"

// How long a list may grow before the check calls it a backlog: the
// consumers take each element at once, so even a burst leaves a handful.
inline constexpr long long list_backlog = 100;

// Connects to the device's socket (under the station root) and checks it.
// The connection goes to `connection`, null when none could be made or the
// server is not to be trusted.
findings check_redis(redis_ptr& connection);

// The lists alone, on a connection made by the caller.
findings check_redis_lists(redisContext* c);
