#include "outputd/startup.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include "common/config.h"
#include "common/oplog.h"
#include "common/process.h"
#include "common/redis_link.h"
#include "common/redis_trust.h"
#include "outputd/channel_loop.h"
#include "outputd/command_link.h"
#include "outputd/gpio_status.h"
#include "outputd/output_state.h"

void outputd_main(int argc, char** argv)
{
    start_program(argc, argv);
    set_config_read_echo(debug_mode != 0);
    set_oplog_push(push_oplog_over_command_link);
    set_server_trust_report([](bool, const std::string& line) { std::printf("%s\n", line.c_str()); });

    command_link = command_link_open(redis_socket);
    // The relay rests at the idle level of its modes until the first request.
    set_relay_state(idle_level(read_output_modes()));
    try {
        std::thread(gpio_status).detach();
    } catch (const std::system_error&) {
        std::puts("create thread1 gpio_status failed");
        end_process(1);
    }
    output_channel_loop();
}
