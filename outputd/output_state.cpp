#include "outputd/output_state.h"

#include "common/config.h"
#include "common/station_protocol.h"

std::atomic<int> GPIO135_STATUS{OUT_LOW};
std::atomic<int> GPIO130_STATUS{OUT_LOW};
std::atomic<int> GPIO135_PREV_STATUS{OUT_LOW};

int mode_state(const std::string& mode)
{
    for (const named_mode& named : output_mode_table)
        if (mode == named.name)
            return named.state;
    return -1;
}

output_modes read_output_modes()
{
    return {setting_value(setting::relay_mode), setting_value(setting::relay_play_music),
            setting_value(setting::relay_alarm)};
}

int idle_level(const output_modes& m)
{
    // The first mode that is not "Disabled" governs; only "singleAToggle"
    // rests high.
    if (m.relay == "singleAToggle")
        return OUT_HIGH;
    if (m.relay == disabled_mode && m.music == "singleAToggle")
        return OUT_HIGH;
    if (m.relay == disabled_mode && m.music == disabled_mode && m.alarm == "singleAToggle")
        return OUT_HIGH;
    return OUT_LOW;
}

int state_for_type(const std::string& type, const output_modes& modes)
{
    if (type == output_on_type) {
        const int state = mode_state(modes.relay);
        return state >= 0 ? state : OUT_LOW;
    }
    const int named = mode_state(type);
    if (named >= 0)
        return named;
    if (type == output_off_type)
        return idle_level(modes);
    return OUT_LOW;
}

int output_state_for_type(const std::string& type)
{
    return state_for_type(type, read_output_modes());
}
