#include "outputd/channel_loop.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "common/config.h"
#include "common/oplog.h"
#include "common/process.h"
#include "common/redis_retry.h"
#include "common/station_root.h"
#include "outputd/command_link.h"
#include "outputd/gpio_status.h"
#include "outputd/output_messages.h"
#include "outputd/output_state.h"

namespace {

const char* const redis_socket = "/tmp/redis.sock";

void print_refused_pop(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
}

}  // namespace

void output_channel_loop()
{
    redis_ptr connection(redisConnectUnix(station_path(redis_socket).c_str()));
    if (!connection || connection->err) {
        if (connection)
            std::puts(connection->errstr);
        end_process(255);
    }
    refused_pops refused("output-channel", print_refused_pop);
    for (;;) {
        reply_ptr reply = redis_command(connection.get(), "BRPOP %s 60", "output-channel");
        if (refused.wait_out(reply.get()))
            continue;
        if (reply && reply->type == REDIS_REPLY_ARRAY)
            handle_output_message(reply.get());
        if (!reply || connection->err) {
            // The server went away: BRPOP on a dead connection would fail at
            // once for ever, so pause and connect again.
            do {
                std::this_thread::sleep_for(redis_retry_pause);
                connection.reset(redisConnectUnix(station_path(redis_socket).c_str()));
            } while (!connection || connection->err);
        }
    }
}

void outputd_main(int argc, char** argv)
{
    start_program(argc, argv);
    set_config_read_echo(debug_mode != 0);
    set_oplog_push(push_oplog_over_command_link);

    command_link = command_link_open(redis_socket);
    initial_output_state();
    try {
        std::thread(gpio_status).detach();
    } catch (const std::system_error&) {
        std::puts("create thread1 gpio_status failed");
        end_process(1);
    }
    output_channel_loop();
}
