#include "orvanel/relay/relay_triggers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "common/config.h"
#include "common/json_text.h"
#include "common/process.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/publish.h"
#include "orvanel/records/call_records.h"

namespace {

constexpr const char* relay_id = "gpio135";

std::string relay_setting(const char* key, std::size_t size)
{
    return config_value(speaker_conf, (std::string("relay_ctrl:") + key).c_str(), size);
}

void switch_on()
{
    publish_relay_request(relay_id, true);
    if (debug_mode)
        std::puts("GPIO_RELAY set on");
}

void switch_off()
{
    publish_relay_request(relay_id, false);
    if (debug_mode)
        std::puts("GPIO_RELAY set off");
}

void start_reset_thread(const char* duration_key)
{
    try {
        std::thread(relayDelayControl, std::string(duration_key)).detach();
    } catch (const std::system_error&) {
        std::puts("create thread_delay relayDelayControl failed");
    }
}

// The call triggers that switch on for the state_info values given.
void relay_on_call(const char* first, const char* second)
{
    const std::string call_state = relay_setting("call_state", 8);
    const std::string state_info = relay_setting("state_info", 16);
    if (call_state != "yes" || (state_info != first && state_info != second))
        return;
    switch_on();
    if (relay_setting("call_reset_mode", 16) == "delay")
        start_reset_thread("relay_ctrl:call_reset_duration");
}

}  // namespace

std::string relay_request_text(const std::string& id, bool on, const std::string& type)
{
    const std::string head = R"({"id":")" + json_escape(id) + R"(","type":")";
    return head + (on ? json_escape(type) : std::string("Off")) + "\"}";
}

void publish_relay_request(const std::string& id, bool on)
{
    const std::string type = on ? relay_setting("type", 32) : std::string();
    publish_command(TARGET_OUTPUT, relay_request_text(id, on, type));
}

void relay_on_incoming()
{
    relay_on_call("incoming", "both");
}

void relay_on_outgoing()
{
    relay_on_call("outgoing", "both");
}

void relay_on_answered()
{
    const std::string reset_mode = relay_setting("call_reset_mode", 16);
    if (reset_mode == "answered") {
        switch_off();
        return;
    }
    if (relay_setting("call_state", 8) != "yes" || relay_setting("state_info", 16) != "answered")
        return;
    switch_on();
    if (reset_mode == "delay")
        start_reset_thread("relay_ctrl:call_reset_duration");
}

void relay_on_hangup(const std::string& reason)
{
    const std::string reset_mode = relay_setting("call_reset_mode", 16);
    if (reset_mode == "hangup") {
        switch_off();
    } else {
        const std::string call_state = relay_setting("call_state", 8);
        const std::string state_info = relay_setting("state_info", 16);
        if (call_state == "yes" && state_info == "hangup") {
            // A relay switched on by a hang-up always goes off after the
            // call reset duration, whatever the reset mode.
            switch_on();
            start_reset_thread("relay_ctrl:call_reset_duration");
        } else if (call_state == "yes") {
            switch_off();
        }
    }
    cdr_finish(reason);
}

bool collect_dtmf(std::string& collected, const std::string& digits, const std::string& code)
{
    collected += digits;
    if (collected.size() > dtmf_capacity)
        collected.erase(0, collected.size() - dtmf_capacity);
    if (collected.size() < code.size())
        return false;
    return collected.compare(collected.size() - code.size(), code.size(), code) == 0;
}

void relay_on_dtmf(const std::string& digits)
{
    const std::string dtmf = relay_setting("dtmf", 8);
    const std::string code = relay_setting("dtmf_code", 32);
    if (dtmf != "yes")
        return;
    const bool matched = collect_dtmf(dtmf_digits, digits, code);
    if (debug_mode)
        std::printf("DTMF is [%s]\n", dtmf_digits.c_str());
    if (!matched)
        return;
    switch_on();
    if (relay_setting("mode", 16) == "delay")
        start_reset_thread("relay_ctrl:dtmf_reset_duration");
    dtmf_digits.clear();
}

void relayDelayControl(const std::string& duration_key)
{
    const int seconds = std::atoi(config_value(speaker_conf, duration_key.c_str(), 8).c_str());
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    switch_off();
}
