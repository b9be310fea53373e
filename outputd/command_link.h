// outputd's connection for one-shot commands (operation-log pushes), bounded
// by the one-shot time-out. It is made at start-up and made anew when a
// command finds it failed. Only the thread that takes output-channel uses
// it: nothing locks it.
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

// outputd's operation-log push: LPUSH writelog-channel over command_link.
// A push that found the connection closed is sent once more on a new one;
// one that timed out is dropped (the server may still run it once it
// answers again), and the connection is made anew at the next push.
void push_oplog_over_command_link(const std::string& entry);
