#include "outputd/channel_loop.h"

#include <cstdio>

#include "common/process.h"
#include "common/redis_link.h"
#include "outputd/output_messages.h"

namespace {

void print_refused_pop(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
}

}  // namespace

void output_channel_loop()
{
    std::string error;
    redis_ptr connection = redis_open_device(blocking_read_timeout, &error);
    if (!connection) {
        std::puts(error.c_str());
        end_process(255);
    }
    refused_pops refused("output-channel", print_refused_pop);
    for (;;) {
        reply_ptr reply = redis_command(connection.get(), "BRPOP %s 60", "output-channel");
        if (refused.wait_out(reply.get()))
            continue;
        handle_output_message(reply.get());
        // The server went away: BRPOP on a dead connection would fail at
        // once for ever, so make it anew.
        if (!reply || !redis_usable(connection.get()))
            connection = redis_reconnect(blocking_read_timeout);
    }
}
