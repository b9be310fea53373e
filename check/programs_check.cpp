// The programs part of the installer's check: /proc for the processes, and
// Redis for the signs that they do their work.
#include "check/programs_check.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <memory>
#include <optional>

#include <chrono>
#include <csignal>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/file_text.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "sipbridge/filter/sip_filter.h"

extern char** environ;

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
// The program that a user-mode emulator runs (qemu-aarch64 [-L SYSROOT]
// PROGRAM ARGS..., as `make cross` starts the station), whose /proc entry
// names the emulator: the first word after the emulator's own that names an
// executable file (the sysroot is a folder).
std::optional<std::string> emulated_program(const std::string& proc_dir)
{
    std::string error;
    const std::optional<std::string> cmdline = read_file_text(proc_dir + "/cmdline", 4096, error);
    if (!cmdline)
        return std::nullopt;
    std::size_t begin = cmdline->find('\0');
    while (begin != std::string::npos && begin + 1 < cmdline->size()) {
        ++begin;
        const std::size_t end = cmdline->find('\0', begin);
        const std::string word = cmdline->substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        struct stat st {};
        const bool program = !word.empty() && word.front() != '-' && stat(word.c_str(), &st) == 0 &&
                             S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
        if (program)
            return word.substr(word.rfind('/') + 1);
        begin = end;
    }
    return std::nullopt;
}

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

// What the program prints on standard output, when it ends with status 0
// or 3 (systemctl is-active: some unit not active) within the time-out;
// nothing otherwise. The program is killed when the time-out passes.
std::optional<std::string> program_output(std::vector<std::string> words, std::chrono::milliseconds timeout)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    write_end.reset();
    if (failed != 0)
        return std::nullopt;

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timed_out = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{read_end.get(), POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (ready == 0) {
            timed_out = true;
            break;
        }
        char buffer[512];
        const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
        if (got > 0 && output.size() < 4096)
            output.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || (got < 0 && errno != EINTR))
            break;
    }
    if (timed_out)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out || !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3))
        return std::nullopt;
    return output;
}

}  // namespace

const std::vector<std::string> station_units = {"orvanel.service",        "outputd.service",
                                                "sipbridge.service",      "station-baresip.service",
                                                "station-filter.service", "station-filter.path",
                                                "station-filter.timer"};

namespace {

// The packet filter's service loads the ruleset and ends: between its runs
// it is inactive, and only a failed run is a fault.
constexpr const char* filter_loader = "station-filter.service";

std::string unit_name(const std::string& unit)
{
    return unit.substr(0, unit.rfind('.'));
}

finding unit_finding(const std::string& unit, const std::string& state)
{
    if (state == "active")
        return {area, unit, verdict::ok, "active"};
    if (state.empty())
        return {area, unit, verdict::warning, "systemd gave no state"};
    if (unit == filter_loader && state != "failed")
        return {area, unit, verdict::ok,
                state + ": it loads the packet filter and ends; `nft list table inet " + std::string(filter_table) +
                    "` as root shows the rules"};
    if (unit == filter_loader)
        return {area, unit, verdict::error,
                "failed: the packet filter that keeps strangers' calls from the user agent may not be loaded; "
                "journalctl -u " + unit_name(unit) + " says why"};
    return {area, unit, verdict::error,
            state + ": the unit does not run; systemctl enable --now " + unit + ", and journalctl -u " +
                unit_name(unit) + " says why it stopped"};
}

}  // namespace

findings check_services(const std::string& is_active_output)
{
    findings out;
    std::size_t begin = 0;
    for (const std::string& unit : station_units) {
        std::string state;
        if (begin < is_active_output.size()) {
            std::size_t end = is_active_output.find('\n', begin);
            if (end == std::string::npos)
                end = is_active_output.size();
            state = is_active_output.substr(begin, end - begin);
            begin = end + 1;
        }
        out.push_back(unit_finding(unit, state));
    }
    return out;
}

findings check_services_now()
{
    struct stat st {};
    if (!station_root().empty() || stat("/run/systemd/system", &st) != 0)
        return {};
    std::vector<std::string> words = {"systemctl", "is-active"};
    words.insert(words.end(), station_units.begin(), station_units.end());
    const std::optional<std::string> states = program_output(words, command_timeout);
    if (!states)
        return {{area, "services", verdict::warning,
                 "systemctl is-active did not answer within " + std::to_string(command_timeout.count()) + " s"}};
    return check_services(*states);
}

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
        if (comm->rfind("qemu-", 0) == 0)
            comm = emulated_program(base);
        if (!comm)
            continue;
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
    const findings services = check_services_now();
    out.insert(out.end(), services.begin(), services.end());
    return out;
}
