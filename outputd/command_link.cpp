#include "outputd/command_link.h"

#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "common/station_root.h"

std::unique_ptr<command_link_holder> command_link;

std::unique_ptr<command_link_holder> command_link_open(const char* device_path)
{
    auto link = std::make_unique<command_link_holder>();
    link->path = station_path(device_path);
    link->connection = redis_open(link->path, command_timeout);
    return link;
}

void push_oplog_over_command_link(const std::string& entry)
{
    // The first push after a Redis restart finds the connection closed; it
    // is not lost but sent once more on a new connection. A push that could
    // not be made is not reported: the entry would have nowhere to go.
    if (command_link)
        redis_send(command_link->connection, command_link->path, command_timeout, [&](redisContext* c) {
            return redis_command(c, "LPUSH %s %s", writelog_list, entry.c_str());
        });
}
