// Who may serve the station's Redis socket. Whoever can write into the
// socket's folder while the server is down (/tmp on the device: anyone) can
// put a server of his own there, and the programs would take its lists and
// messages for the station's: relay requests, calls, operation-log entries.
// So a connection counts only when the process at the other end runs as
// root or as the Redis user. The kernel says who that is (SO_PEERCRED),
// whatever the socket file's owner and mode.
//
// The Redis user is named by STATION_REDIS_USER in the environment (a user
// name or a numeric uid), else by the build (-DSTATION_REDIS_USER=..., "redis"
// unless given). A name that the user database does not know leaves root
// alone to be trusted.
//
// Library-like code: nothing here prints. Each program gives a report
// function at start-up; it hears the first refusal of an episode and the
// first trusted server after it, from whichever thread met them.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

// The Redis user as this process names it: STATION_REDIS_USER when set and
// not empty, else the build's.
std::string redis_user();

// Nothing when a server that runs as peer may be trusted by a process whose
// Redis user is `user` (resolved to user_uid): root always, the Redis user
// when the name resolves. Else the reason, "it runs as uid N, not ...".
std::optional<std::string> untrusted_server(uid_t peer, const std::string& user, std::optional<uid_t> user_uid);

// Checks the server at the other end of a connected Unix socket. Nothing
// when it is trusted; else the refusal, "refusing the Redis server at PATH:
// ...", which also goes to the program's report when it begins an episode.
std::optional<std::string> check_redis_server(int fd, const std::string& path);

// How a program reports: refused is true for the first refusal of an
// episode and false for the first trusted server after it. The line has no
// line end. Until a program sets one nothing is reported and no episode
// begins. Safe to call from any thread.
using server_trust_report = void (*)(bool refused, const std::string& line);
void set_server_trust_report(server_trust_report report);
