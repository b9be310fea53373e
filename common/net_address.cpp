#include "common/net_address.h"

#include <arpa/inet.h>
#include <cstdio>

#include "common/c_holders.h"
#include "common/station_root.h"

bool first_output_line(const std::string& command, std::string& line)
{
    pipe_ptr pipe(popen(command.c_str(), "re"));
    if (!pipe)
        return false;
    char text[32] = {};
    if (std::feof(pipe.get()) || !std::fgets(text, sizeof text, pipe.get())) {
        std::puts("ip wrong");
        return false;
    }
    line = text;
    line = line.substr(0, line.find('\n'));
    return true;
}

bool is_ipv4_address(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool eth0_ipv4_address(const std::string& grep_pattern, std::string& out)
{
    const std::string command =
        station_path("/sbin/ifconfig") + " eth0 | grep " + grep_pattern + R"( | cut -d":" -f2 | cut -d" " -f1)";
    std::string line;
    if (!first_output_line(command, line) || !is_ipv4_address(line))
        return false;
    out = line;
    return true;
}
