#include "sipbridge/station_users.h"

#include <pwd.h>

#include <cstdlib>
#include <vector>

namespace {

std::string named_user(const char* variable, const char* built_in)
{
    const char* given = std::getenv(variable);
    return given && *given ? given : built_in;
}

}  // namespace

std::string user_agent_user()
{
    return named_user("STATION_UA_USER", STATION_UA_USER);
}

std::string bridge_user()
{
    return named_user("STATION_BRIDGE_USER", STATION_BRIDGE_USER);
}

std::optional<uid_t> user_id(const std::string& user)
{
    if (user.empty())
        return std::nullopt;
    if (user.find_first_not_of("0123456789") == std::string::npos) {
        // (uid_t)-1 means "no user" to the kernel's calls.
        if (user.size() > 10 || std::stoull(user) >= 0xFFFFFFFFull)
            return std::nullopt;
        return static_cast<uid_t>(std::stoull(user));
    }
    passwd entry {};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return found->pw_uid;
}
