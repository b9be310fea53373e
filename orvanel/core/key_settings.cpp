#include "orvanel/core/key_settings.h"

#include "common/config.h"

std::string key_setting(int key, setting name, int k)
{
    if (key != 1 && key != 2)
        return {};
    return setting_value(name, call_key_lines[key - 1], k);
}
