// Sockets of another user, for tests of what guards the user agent's
// control socket: a child process gives up this process's user for the
// other one, and what it does is the other user's. Needs root.
#pragma once

#include <sys/types.h>

#include <optional>

// The unprivileged user of the tests' attacks.
inline constexpr uid_t nobody_uid = 65534;

// Turns the calling (child) process into the user: no supplementary
// groups, the uid as group too. False when the system refused it (not
// root, or a user namespace without that user).
bool become_user(uid_t uid);

// Connects to 127.0.0.1:port from a child process that became the user and
// closes again: 0 when the connection was made, else the errno of the
// failure (ETIMEDOUT when nothing answered within 2 s). Nothing when the
// child could not become the user.
std::optional<int> connect_as(uid_t uid, int port);
