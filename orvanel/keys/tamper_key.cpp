#include "orvanel/keys/tamper_key.h"

#include <cstdlib>
#include <string>

#include "common/config.h"
#include "common/http_action.h"
#include "common/oplog.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/dial.h"
#include "orvanel/core/publish.h"

bool tamper_action()
{
    const int mode = std::atoi(setting_value(setting::tamper_active).c_str());
    if (mode == TAMPER_NOT_ACTIVE) {
        write_oplog("BUTTON", "KEY_GPIO3 not active", "");
        return false;
    }
    if (mode == TAMPER_HTTP) {
        const std::string url = setting_value(setting::tamper_api_url);
        if (url.empty()) {
            write_oplog("Other Event", "API URL IS NULL:", "");
            return false;
        }
        run_http_action(url);
        write_oplog("Other Event", "HTTP API URL:", url);
        return true;
    }
    if (mode == TAMPER_SOUND) {
        const std::string file = setting_value(setting::tamper_audio_file);
        const int count = std::atoi(setting_value(setting::tamper_play_count).c_str());
        play_sound(file, count);
        write_oplog("FUNCTION", "KEY1 Play Auido", "File: " + file + "; Repeat: " + std::to_string(count));
        return true;
    }
    if (baresip_status != STATUS_IDLE)
        return true;
    claim_call(tamper_key);
    const std::string number = setting_value(setting::tamper_number);
    const int line = std::atoi(setting_value(setting::tamper_number_line).c_str());
    if (dial_number(number, line, true))
        write_oplog("FUNCTION", "KEY3 Call", "key_gpio3 " + number + " <" + account_label(line) + ">");
    return true;
}
