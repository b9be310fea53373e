#include "orvanel/relay/relay_triggers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "common/config.h"
#include "common/oplog.h"
#include "common/process.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/publish.h"
#include "orvanel/records/call_records.h"

namespace {

// The call triggers that switch on for the state_info values given.
void relay_on_call(const char* first, const char* second, const char* opener)
{
    const std::string call_state = setting_value(setting::relay_call_state);
    const std::string state_info = setting_value(setting::relay_state_info);
    if (call_state != "yes" || (state_info != first && state_info != second))
        return;
    open_relay(opener);
    if (setting_value(setting::relay_call_reset_mode) == "delay")
        start_relay_reset(setting::relay_call_reset_duration);
}

}  // namespace

void open_relay(const char* opener)
{
    write_oplog("FUNCTION", "RELAY Request", opener);
    switch_relay(true);
}

void switch_relay(bool on)
{
    publish_relay_request(relay_output, on);
    if (debug_mode)
        std::puts(on ? "GPIO_RELAY set on" : "GPIO_RELAY set off");
}

void start_relay_reset(setting duration_key)
{
    try {
        std::thread(relayDelayControl, duration_key).detach();
    } catch (const std::system_error&) {
        std::puts("create thread_delay relayDelayControl failed");
    }
}

void publish_relay_request(const std::string& id, bool on)
{
    const std::string type = on ? setting_value(setting::relay_type) : std::string();
    publish_command(TARGET_OUTPUT, relay_request_text(id, on, type));
}

void relay_on_incoming()
{
    relay_on_call("incoming", "both", "incoming call");
}

void relay_on_outgoing()
{
    relay_on_call("outgoing", "both", "outgoing call");
}

void relay_on_answered()
{
    const std::string reset_mode = setting_value(setting::relay_call_reset_mode);
    if (reset_mode == "answered") {
        switch_relay(false);
        return;
    }
    if (setting_value(setting::relay_call_state) != "yes" || setting_value(setting::relay_state_info) != "answered")
        return;
    open_relay("answered call");
    if (reset_mode == "delay")
        start_relay_reset(setting::relay_call_reset_duration);
}

void relay_on_hangup(const std::string& reason)
{
    const std::string reset_mode = setting_value(setting::relay_call_reset_mode);
    if (reset_mode == "hangup") {
        switch_relay(false);
    } else {
        const std::string call_state = setting_value(setting::relay_call_state);
        const std::string state_info = setting_value(setting::relay_state_info);
        if (call_state == "yes" && state_info == "hangup") {
            // A relay switched on by a hang-up always goes off after the
            // call reset duration, whatever the reset mode.
            open_relay("call hang-up");
            start_relay_reset(setting::relay_call_reset_duration);
        } else if (call_state == "yes") {
            switch_relay(false);
        }
    }
    cdr_finish(reason);
}

void relayDelayControl(setting duration_key)
{
    const int seconds = std::atoi(setting_value(duration_key).c_str());
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    switch_relay(false);
}
