// The bridge between the user agent's control socket and the station's
// Redis protocol, in three threads:
//   - the link thread reads the control socket and turns its events into
//     the station's (ua_link, event_translation);
//   - the command thread takes the station's commands from control-channel
//     (BRPOP, oldest first, on a connection of its own) and carries them out
//     on the control socket (command_plan);
//   - the publisher thread owns the connection that publishes on
//     session-channel and keeps the call-status keys, in the order the
//     updates were made, and writes every key afresh when Redis is back.
//     The other threads post each update with the call statuses it leaves,
//     taken under the state's lock; the publisher never reads the state.
#pragma once

#include "sipbridge/link/ua_link.h"

[[noreturn]] void run_bridge(const ua_address& user_agent);
