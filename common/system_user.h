// The users that the station's programs check others against (who serves
// the Redis socket, who listens on the user agent's control port, who may
// connect to it). Each is named in the environment, else by the build, as a
// user name or a numeric uid. A name is looked up each time it is needed,
// so a user made after a program started counts.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

// The user that the environment variable names when it is set and not
// empty, else the build's.
std::string configured_user(const char* variable, const char* built_in);

// The uid that the text names: decimal digits are the uid itself (up to
// 4294967294; (uid_t)-1 means "no user" to the kernel), anything else is a
// user name looked up in the user database. Nothing for an empty text, a
// name that does not resolve or a number that is no uid.
std::optional<uid_t> user_id(const std::string& user);

// The user as a log line names it: "uid N" for a number, else the name,
// kept to one line (it may come from the environment).
std::string shown_user(const std::string& user);
