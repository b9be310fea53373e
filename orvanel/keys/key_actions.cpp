#include "orvanel/keys/key_actions.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/http_action.h"
#include "common/oplog.h"
#include "common/process.h"
#include "orvanel/call/no_reply_timer.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/dial.h"
#include "orvanel/core/key_settings.h"
#include "orvanel/core/publish.h"
#include "orvanel/keys/ip_announcement.h"
#include "orvanel/records/message_log.h"

namespace {


void not_active(int key)
{
    if (key == 1) {
        log_print(LEVEL_INFO, "GPIO140按键未激活\n");
        write_oplog("BUTTON", "KEY_GPIO140 not active", "");
    } else if (active_key == 3) {
        log_print(LEVEL_INFO, "当前为GPIO3(防拆模式) 跳过当前模式\n");
    } else {
        log_print(LEVEL_INFO, "GPIO67按键未激活\n");
        write_oplog("BUTTON", "KEY_GPIO67 not active", "");
    }
}

void http_request(int key)
{
    log_print(LEVEL_INFO, key == 1 ? "发起HTTP请求\n" : "GPIO67发起HTTP请求\n");
    const std::string url = key_setting(key, setting::key_api_url);
    write_oplog("Other Event", "HTTP API URL:", url);
    if (url.empty())
        return;
    run_http_action(url);
    log_print(LEVEL_INFO, key == 1 ? "GPIO140 快速闪烁\n" : "GPIO67 快速闪烁\n");
    set_led_state(key, LED_HTTP_SENT);
}

void give_up_dial()
{
    release_call_and_idle();
}

void start_call()
{
    const int key = active_key;
    if (next_hop_timer_armed == 1) {
        // A pending busy retry is dropped in favour of the press.
        log_print(LEVEL_INFO, "当前按键:%s 关闭计时器 忽略当次操作\n", key == 1 ? "Key_GPIO140" : "Key_GPIO67");
        cancel_no_reply_alarm();
    }
    request_dial();
    if (key != 1 && key != 2) {
        give_up_dial();
        return;
    }
    const std::string number = key_setting(key, setting::key_next_number_1);
    const std::string line = key_setting(key, setting::key_number_1_line);
    if (number.empty()) {
        give_up_dial();
        return;
    }
    const int line_number = std::atoi(line.c_str());
    if (!dial_number(number, line_number, true)) {
        give_up_dial();
        return;
    }
    const std::string detail = std::string(key == 1 ? "key_gpio140 " : "key_gpio67 ") + number + " <" +
                               account_label(line_number) + ">";
    write_oplog("FUNCTION", "KEY1 Call", detail);
}

void hang_up()
{
    const int key = active_key;
    if (key != 1 && key != 2)
        return;
    const std::string mode = key_setting(key, setting::key_hang_up);
    if (mode != "yes")
        return;
    // Marked before the command goes out: a user agent that reports the
    // close at once must still find the hang-up to be the key's, or the
    // station would dial the next number of a chain the visitor just ended.
    manual_hangup = 1;
    if (debug_mode)
        std::printf("hangup call mode:%s\n", mode.c_str());
    publish_command(TARGET_CONTROL, hangup_command);
    write_oplog("FUNCTION", "KEY1 Hangup", "");
}

void answer()
{
    if (debug_mode)
        std::puts("answer call");
    publish_command(TARGET_CONTROL, accept_command);
    write_oplog("FUNCTION", "KEY Answer", "");
}

}  // namespace

void key_action(int key, double held_seconds)
{
    log_print(LEVEL_INFO, key == 1 ? "按钮类型:gpio140\n" : "按钮类型:gpio67\n");
    const int mode = std::atoi(key_setting(key, setting::key_mode).c_str());

    if (key == 1 && held_seconds >= long_press_seconds) {
        if (active_key == tamper_key) {
            log_print(LEVEL_INFO, "当前为GPIO3(防拆模式) 跳过IP播放\n");
            return;
        }
        log_print(LEVEL_INFO, "播放IP\n");
        write_oplog("Other Event", "Play IP", "");
        announce_ip();
        return;
    }

    if (mode == MODE_HTTP) {
        http_request(key);
        return;
    }
    // Modes other than 1 are not active; a half-started dial helps nobody.
    if (mode != MODE_CALL) {
        not_active(key);
        return;
    }

    const int other = key == 1 ? 2 : 1;
    if (active_key == other)
        return;  // the other key owns the call
    claim_call(key);
    if (baresip_status == STATUS_INCOMING_RINGING)
        end_led_pattern(other, LED_RINGING);  // this key takes the call: the other stops blinking

    const int status = baresip_status;
    log_print(LEVEL_INFO, "BARESIP_STATUS:%d\n", status);
    switch (status) {
    case STATUS_IDLE:
        start_call();
        break;
    case STATUS_IN_CALL:
    case STATUS_OUTGOING_RINGING:
        hang_up();
        break;
    case STATUS_INCOMING_RINGING:
        answer();
        break;
    default:
        break;
    }
}
