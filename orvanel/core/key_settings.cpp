#include "orvanel/core/key_settings.h"

#include "common/config.h"

std::string key_setting(int key, const std::string& name, std::size_t size)
{
    if (key != 1 && key != 2)
        return {};
    const std::string full = (key == 1 ? "button-gpio140:" : "button-gpio67:") + name;
    return config_value(speaker_conf, full.c_str(), size);
}
