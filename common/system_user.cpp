#include "common/system_user.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

#include <pwd.h>

#include "common/record_text.h"

namespace {

bool all_digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string configured_user(const char* variable, const char* built_in)
{
    const char* given = std::getenv(variable);
    return given && *given ? given : built_in;
}

std::optional<uid_t> user_id(const std::string& user)
{
    if (user.empty())
        return std::nullopt;
    if (all_digits(user)) {
        // Ten digits hold every uid.
        if (user.size() > 10)
            return std::nullopt;
        const unsigned long long number = std::strtoull(user.c_str(), nullptr, 10);
        if (number >= std::numeric_limits<uid_t>::max())
            return std::nullopt;
        return static_cast<uid_t>(number);
    }
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    int rc = 0;
    while ((rc = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found)
        return std::nullopt;
    return found->pw_uid;
}

std::string shown_user(const std::string& user)
{
    return all_digits(user) ? "uid " + user : one_line(user);
}
