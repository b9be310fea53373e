// The users that the station's SIP side runs as: the user agent (baresip)
// under its own, the bridge under the station's. Each is named in the
// environment, else by the build:
//
//   STATION_UA_USER      the user agent's user (default "station-sip")
//   STATION_BRIDGE_USER  the bridge's user (default "station")
//
// A name or a numeric uid; a name is looked up each time it is needed, so a
// user made after the start counts.
#pragma once

#include <string>

// The user as the environment or the build names it.
std::string user_agent_user();
std::string bridge_user();

// Their uids: user_id() of common/system_user.h.
