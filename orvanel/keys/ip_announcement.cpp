#include "orvanel/keys/ip_announcement.h"

#include "common/config.h"
#include "common/net_address.h"
#include "common/process.h"
#include "common/station_root.h"
#include "orvanel/keys/indicators.h"

namespace {

std::string sound_dir(bool english)
{
    return station_path(english ? "/home/kovrin/target/share/sounds/en/" : "/home/kovrin/target/share/sounds/cn/");
}

}  // namespace

bool read_ip_address(std::string& out)
{
    return eth0_ipv4_address(R"("inet addr")", out);
}

std::string ip_speech_command(const std::string& address, bool english)
{
    std::string command = "cd " + sound_dir(english) + ";mpg123 -r 48000 ";
    for (char c : address) {
        if (c >= '0' && c <= '9')
            command += std::string("digit-") + c + ".mp3 ";
        else if (c == '.')
            command += "dian.mp3 ";
    }
    return command;
}

void announce_ip()
{
    const bool english = setting_value(setting::system_language) == "en";
    run_shell(station_path("/usr/bin/amixer") + " -q sset 'Master',0 29");
    amplifier_on(true);
    std::string address;
    if (!read_ip_address(address)) {
        run_shell("mpg123 -r 48000 " + sound_dir(english) + "get_ip_failed.mp3");
        amplifier_on(false);
        return;
    }
    run_shell(ip_speech_command(address, english));
    amplifier_on(false);
}
