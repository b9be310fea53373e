#include "common/http_action.h"

#include <cstdio>

#include "common/process.h"

std::string shell_quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string http_action_command(const std::string& url)
{
    return "curl -k --connect-timeout 5 " + shell_quote(url) + " 2>/dev/null &";
}

void run_http_action(const std::string& url)
{
    const std::string command = http_action_command(url);
    if (debug_mode)
        std::printf("Command: %s\n", command.c_str());
    run_shell(command);
}
