#include "outputd/command_link.h"

#include "common/redis_link.h"
#include "common/station_root.h"

std::unique_ptr<command_link_holder> command_link;

std::unique_ptr<command_link_holder> command_link_open(const char* device_path)
{
    auto link = std::make_unique<command_link_holder>();
    link->path = station_path(device_path);
    link->connection = redis_open(link->path, command_timeout);
    return link;
}

int command_link_check(command_link_holder* link)
{
    if (!link)
        return -1;
    return redis_repair(link->connection, link->path, command_timeout) ? 0 : -1;
}

void command_link_run(const char* format, const std::string& text)
{
    // A connection looks usable until a command on it has failed, so the
    // first command after a Redis restart gets no reply. It is not lost: the
    // connection is made anew and the command sent once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (command_link_check(command_link.get()) != 0)
            return;
        if (redis_command(command_link->connection.get(), format, text.c_str()))
            return;
        const bool timed_out = redis_timed_out(command_link->connection.get());
        command_link->connection.reset();
        if (timed_out)
            return;
    }
}

void push_oplog_over_command_link(const std::string& entry)
{
    command_link_run("LPUSH writelog-channel %s", entry);
}
