#include "outputd/channel_loop.h"

#include <cstdio>

#include "common/process.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "outputd/output_messages.h"

namespace {

void print_refused_pop(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
}

}  // namespace

void output_channel_loop()
{
    // Each request moves onto outputd's processing list as it is taken and
    // leaves it once its state, entry and action are done: a kill loses
    // none, and the one in flight is carried out again at the next start.
    processing_list requests{output_list, output_processing};
    std::string error;
    redis_ptr connection = redis_open_device(blocking_read_timeout, &error);
    if (!connection) {
        std::puts(error.c_str());
        end_process(255);
    }
    refused_pops refused(output_list, print_refused_pop);
    for (;;) {
        if (const std::optional<std::string> taken = requests.next(connection.get(), refused)) {
            handle_output_text(*taken);
            requests.finish(connection.get(), *taken);
        }
        // The server went away: a command on a dead connection would fail
        // at once for ever, so make it anew.
        if (!redis_usable(connection.get()))
            connection = redis_reconnect(blocking_read_timeout);
    }
}
