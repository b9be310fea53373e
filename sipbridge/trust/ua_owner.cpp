#include "sipbridge/trust/ua_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "common/file_text.h"
#include "common/system_user.h"
#include "sipbridge/trust/proc_net_tcp.h"
#include "sipbridge/trust/station_users.h"

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

std::string ua_owner_refusal(const std::string& host, int port, int connection)
{
    const std::string given = user_agent_user();
    const std::optional<uid_t> expected = user_id(given);
    const std::string user = shown_user(given);
    if (!expected)
        return "the user agent's user " + user + " is unknown here, so no control socket can be its (STATION_UA_USER)";
    in_addr address {};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1)
        return "no IPv4 address: " + host;
    const std::vector<std::string> tables = {read_table("/proc/net/tcp"), read_table("/proc/net/tcp6")};
    const std::vector<uid_t> owners = listener_owners(tables, address, port);
    if (owners.empty())
        return "no socket listens there in /proc/net/tcp, so its owner cannot be " + user;
    for (const uid_t owner : owners)
        if (owner != *expected)
            return "its control socket belongs to uid " + std::to_string(owner) + ", not " + user;
    if (connection < 0)
        return "";
    sockaddr_in own_end {};
    socklen_t size = sizeof own_end;
    if (::getsockname(connection, reinterpret_cast<sockaddr*>(&own_end), &size) != 0 || own_end.sin_family != AF_INET)
        return "cannot tell this end of the connection";
    const std::vector<uid_t> holders =
        connection_owners(tables, address, port, own_end.sin_addr, ntohs(own_end.sin_port));
    if (holders.empty())
        return "the connection's far end is not in /proc/net/tcp, so its owner cannot be " + user;
    // Root: a kernel before 4.10 shows a connection that waits to be
    // accepted as root's. Its listener still holds it then (closing a
    // listener resets what waits on it), and the listeners are the user's.
    for (const uid_t holder : holders)
        if (holder != *expected && holder != 0)
            return "the connection was taken by uid " + std::to_string(holder) + ", not " + user;
    return "";
}
