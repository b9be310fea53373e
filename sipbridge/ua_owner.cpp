#include "sipbridge/ua_owner.h"

#include <arpa/inet.h>

#include <vector>

#include "common/file_text.h"
#include "common/system_user.h"
#include "sipbridge/proc_net_tcp.h"
#include "sipbridge/station_users.h"

namespace {

// Far more than a board's sockets take (150 bytes a line).
constexpr std::size_t table_limit = 4 << 20;

// The whole table; empty when there is none (no IPv6 in the kernel).
std::string read_table(const char* path)
{
    std::string error;
    return read_file_text(path, table_limit, error).value_or("");
}

}  // namespace

std::string ua_owner_refusal(const std::string& host, int port)
{
    const std::string given = user_agent_user();
    const std::optional<uid_t> expected = user_id(given);
    const std::string user = shown_user(given);
    if (!expected)
        return "the user agent's user " + user + " is unknown here, so no control socket can be its (STATION_UA_USER)";
    in_addr address {};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1)
        return "no IPv4 address: " + host;
    const std::vector<uid_t> owners =
        listener_owners({read_table("/proc/net/tcp"), read_table("/proc/net/tcp6")}, address, port);
    if (owners.empty())
        return "no socket listens there in /proc/net/tcp, so its owner cannot be " + user;
    for (const uid_t owner : owners)
        if (owner != *expected)
            return "its control socket belongs to uid " + std::to_string(owner) + ", not " + user;
    return "";
}
