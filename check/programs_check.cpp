// The programs part of the installer's check: /proc for the processes, and
// Redis for the signs that they do their work.
#include "check/programs_check.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

#include <dirent.h>

#include "common/file_text.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"

namespace {

constexpr const char* area = "programs";

struct dir_close {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_close>;

bool all_digits(const char* s)
{
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

// The value of STATION_ROOT in a NUL-separated environment block; empty
// when unset.
std::string root_in_environment(const std::string& environ_block)
{
    static const std::string prefix = "STATION_ROOT=";
    std::size_t at = 0;
    while (at < environ_block.size()) {
        const std::size_t end = std::min(environ_block.find('\0', at), environ_block.size());
        if (environ_block.compare(at, prefix.size(), prefix) == 0 && end - at >= prefix.size())
            return environ_block.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return {};
}

bool running(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::vector<std::string> station_processes(const std::string& root)
{
    std::vector<std::string> names;
    dir_ptr proc(opendir("/proc"));
    if (!proc)
        return names;
    while (const dirent* entry = readdir(proc.get())) {
        if (!all_digits(entry->d_name))
            continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        std::string error;
        std::optional<std::string> comm = read_file_text(base + "/comm", 64, error);
        if (!comm)
            continue;  // ended meanwhile
        while (!comm->empty() && (comm->back() == '\n' || comm->back() == '\0'))
            comm->pop_back();
        const std::optional<std::string> environ_block = read_file_text(base + "/environ", 1 << 20, error);
        const bool same_root = environ_block ? root_in_environment(*environ_block) == root : root.empty();
        if (same_root)
            names.push_back(*comm);
    }
    return names;
}

findings check_programs(const std::vector<std::string>& names, redisContext* c)
{
    findings out;
    if (!running(names, "orvanel")) {
        out.push_back({area, "orvanel", verdict::error,
                       "not running: the keys, calls, door relay and records are dead; start orvanel"});
    } else if (c != nullptr && redis_subscribers(c, session_channel) < 1) {
        out.push_back({area, "orvanel", verdict::error,
                       std::string("running but nobody is subscribed on ") + session_channel +
                           ": calls and registrations go unheard; restart orvanel"});
    } else {
        out.push_back({area, "orvanel", verdict::ok, "running"});
    }

    if (running(names, "outputd"))
        out.push_back({area, "outputd", verdict::ok, "running"});
    else
        out.push_back({area, "outputd", verdict::error,
                       "not running: the door relay and the outputs never switch; start outputd"});

    const bool bridge = running(names, "sipbridge");
    if (bridge || running(names, "uasim")) {
        out.push_back({area, "user agent", verdict::ok, bridge ? "sipbridge running" : "uasim running"});
    } else {
        out.push_back({area, "user agent", verdict::error,
                       "neither sipbridge nor uasim runs: no call can be made or answered; start sipbridge"});
    }
    if (bridge) {
        if (running(names, "baresip"))
            out.push_back({area, "baresip", verdict::ok, "running"});
        else
            out.push_back({area, "baresip", verdict::error,
                           "not running behind sipbridge: no call can be made or answered; start station-baresip"});
    }

    if (c != nullptr) {
        reply_ptr waiting = redis_command(c, "LLEN %s", control_list);
        if (waiting && waiting->type == REDIS_REPLY_INTEGER && waiting->integer > 0)
            out.push_back({area, control_list, verdict::warning,
                           std::to_string(waiting->integer) +
                               " commands wait for the user agent: it does not take them; restart sipbridge"});
    }
    return out;
}
