// outputd's relay-request handling: whatever comes off output-channel sets
// the output states and pushes the relay's operation-log entry over the
// command link, against the fuzz station.
#include "common/oplog.h"
#include "common/redis_link.h"
#include "fuzz/fuzz_station.h"
#include "outputd/command_link.h"
#include "outputd/gpio_status.h"
#include "outputd/output_messages.h"
#include "outputd/output_state.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_station::get();
    set_oplog_push(push_oplog_over_command_link);
    command_link = command_link_open(redis_socket);
    set_relay_state(idle_level(read_output_modes()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_station::get().tidy();
    handle_output_text(fuzz_text(data, size));
    const int state = GPIO135_STATUS.load();
    fuzz_require(state >= OUT_LOW && state <= OUT_SLOW_TOGGLE, "the relay state is one of the output states");
    return 0;
}
