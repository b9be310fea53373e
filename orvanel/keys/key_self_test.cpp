#include "orvanel/keys/key_self_test.h"

#include <cstdio>
#include <optional>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "common/process.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"

std::string key_test_result_text(int key, bool ok)
{
    const char* names[] = {"key1", "key2", "atKey"};
    if (key < 1 || key > 3)
        return {};
    return std::string(R"({"name": ")") + names[key - 1] + R"(", "result": ")" + (ok ? "0" : "1") + "\"}";
}

void report_key_test(int key, bool ok)
{
    const std::string text = key_test_result_text(key, ok);
    if (!text.empty())
        redis_run(check_result_push, text);
}

void apply_key_test_text(const std::string& text)
{
    log_print(LEVEL_NOTICE, "Msg [%s]\n", text.c_str());
    json_ptr command(cJSON_Parse(text.c_str()));
    if (!command) {
        std::puts("parse failed!");
        return;
    }
    if (!json_has_string(command.get(), "type") || !json_has_string(command.get(), "action")) {
        log_print(LEVEL_WARN, "key test command without \"type\" or \"action\" text, ignored\n");
        return;
    }
    const std::string type = json_string_member(command.get(), "type");
    const std::string action = json_string_member(command.get(), "action");
    const int key = type == "key1" ? 1 : type == "key2" ? 2 : type == "atKey" ? tamper_key : no_key;
    if (key == no_key)
        return;
    if (action == "TestOn") {
        key_test_mode = key;
        set_led_state(key, LED_SELF_TEST);
    } else if (action == "TestOff") {
        key_test_mode = 0;
    }
}

void apply_key_test_command(const redisReply* reply)
{
    if (const std::optional<std::string> text = popped_text(reply))
        apply_key_test_text(*text);
}

void Devie_State()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Devie_State");
    redis_ptr connection = open_own_connection();
    if (!connection)
        end_process(255);
    refused_pops refused(device_state_list, log_refused_pop);
    for (;;) {
        reply_ptr reply = redis_command(connection.get(), "BRPOP %s 60", device_state_list);
        if (refused.wait_out(reply.get()))
            continue;
        apply_key_test_command(reply.get());
        if (!reply || !redis_usable(connection.get())) {
            // A lost connection fails every pop at once: make it anew.
            connection = redis_reconnect(blocking_read_timeout);
        }
    }
}
