#include "outputd/output_messages.h"

#include <cstdio>
#include <optional>

#include "common/oplog.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "outputd/action_urls.h"
#include "outputd/gpio_status.h"
#include "outputd/output_state.h"

namespace {

void handle_relay_request(const std::string& type)
{
    const int state = output_state_for_type(type);
    // The new state reaches the line before the entry and the URL call.
    set_relay_state(state);
    if (debug_mode)
        std::printf("GPIO135_STATUS is: %d, recieved type: %s\n", state, one_line(type).c_str());
    if (state != OUT_LOW) {
        write_oplog("FUNCTION", "RELAY Control", type);
        relay_on_action();
    } else {
        if (GPIO135_PREV_STATUS != OUT_LOW)
            write_oplog("FUNCTION", "RELAY Control", "OFF");
        relay_off_action();
    }
    GPIO135_PREV_STATUS = state;
    if (debug_mode)
        std::printf("gpio135: %s\n", one_line(type).c_str());
}

}  // namespace

void handle_output_text(const std::string& text)
{
    if (debug_mode)
        std::printf("Msg [%s]\n", one_line(text).c_str());
    const std::optional<relay_request> request = parse_relay_request(text);
    if (!request) {
        std::puts("parse failed!");
        return;
    }
    // A request without "id" or "type" text names no output and is ignored
    // like an unknown id.
    if (request->id == gpio130_output) {
        GPIO130_STATUS = output_state_for_type(request->type);
        if (debug_mode)
            std::printf("gpio130: %s\n", one_line(request->type).c_str());
    } else if (request->id == relay_output) {
        handle_relay_request(request->type);
    }
    if (debug_mode)
        std::printf("GPIO130_STATUS is: %d; GPIO135_STATUS is: %d\n", GPIO130_STATUS.load(), GPIO135_STATUS.load());
}
