#include "orvanel/keys/ip_announcement.h"

#include <arpa/inet.h>
#include <cstdio>
#include <memory>

#include "common/config.h"
#include "common/process.h"
#include "common/station_root.h"
#include "orvanel/keys/indicators.h"

namespace {

struct pipe_close {
    void operator()(std::FILE* f) const noexcept { pclose(f); }
};
using pipe_ptr = std::unique_ptr<std::FILE, pipe_close>;

std::string sound_dir(bool english)
{
    return station_path(english ? "/home/kovrin/target/share/sounds/en/" : "/home/kovrin/target/share/sounds/cn/");
}

}  // namespace

bool is_ipv4_address(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool read_ip_address(std::string& out)
{
    const std::string command =
        station_path("/sbin/ifconfig") + R"( eth0 | grep "inet addr" | cut -d":" -f2 | cut -d" " -f1)";
    pipe_ptr pipe(popen(command.c_str(), "r"));
    if (!pipe)
        return false;
    char line[32] = {};
    if (std::feof(pipe.get()) || !std::fgets(line, sizeof line, pipe.get())) {
        std::puts("ip wrong");
        return false;
    }
    pipe.reset();
    std::string address = line;
    address = address.substr(0, address.find('\n'));
    // Any dotted address counts, 10.0.0.1 included; other text is no address.
    if (!is_ipv4_address(address))
        return false;
    out = address;
    return true;
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
    const bool english = config_value(speaker_conf, "system:language", 8) == "en";
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
