// outputd's connection for one-shot commands (operation-log pushes), bounded
// by the one-shot time-out. It is made once at start-up; the check itself
// sends nothing to the server.
#pragma once

#include <memory>
#include <string>

#include "common/c_holders.h"

struct command_link_holder {
    redis_ptr connection;  // may be absent or failed
    std::string path;      // the socket, under the station root
};

extern std::unique_ptr<command_link_holder> command_link;

std::unique_ptr<command_link_holder> command_link_open(const char* device_path);
// 0 when the connection is usable or could be made anew, -1 otherwise.
int command_link_check(command_link_holder* link);
// Runs one command with one text argument and drops the reply unread. A
// command that found the connection closed is sent once more on a new one;
// one that timed out is dropped (the server may still run it once it
// answers again), and the connection is made anew at the next use.
void command_link_run(const char* format, const std::string& text);

// outputd's operation-log push: LPUSH writelog-channel over command_link.
void push_oplog_over_command_link(const std::string& entry);
