#include "outputd/output_messages.h"

#include <cstdio>
#include <optional>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "common/oplog.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/redis_link.h"
#include "outputd/action_urls.h"
#include "outputd/gpio_status.h"
#include "outputd/output_state.h"

namespace {

void handle_relay_request(const std::string& type)
{
    const int state = output_state_for_type(type);
    // The new state reaches the line before the entry and the URL call.
    GPIO135_STATUS = state;
    relay_state_changed();
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
    json_ptr message(cJSON_Parse(text.c_str()));
    if (!message) {
        std::puts("parse failed!");
        return;
    }
    // A request without "id" or "type" text is ignored like an unknown id.
    if (json_has_string(message.get(), "id") && json_has_string(message.get(), "type")) {
        const std::string id = json_string_member(message.get(), "id");
        const std::string type = json_string_member(message.get(), "type");
        if (id == "gpio130") {
            GPIO130_STATUS = output_state_for_type(type);
            if (debug_mode)
                std::printf("gpio130: %s\n", one_line(type).c_str());
        } else if (id == "gpio135") {
            handle_relay_request(type);
        }
    }
    if (debug_mode)
        std::printf("GPIO130_STATUS is: %d; GPIO135_STATUS is: %d\n", GPIO130_STATUS.load(), GPIO135_STATUS.load());
}
