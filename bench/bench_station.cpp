#include "bench/bench_station.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "common/station_protocol.h"
#include "station_kit/programs.h"
#include "station_kit/redis.h"
#include "station_kit/settings.h"
#include "station_kit/waits.h"

const char* const bench_station::account_aor = "sip:1000@bench.test";
const char* const bench_station::status_key = "baresip-call-status-1000-bench.test";

namespace {

const int gpio_lines[] = {140, 67, 3, 131, 130, 65, 64, 66};

// The device's tools, doing nothing: the benchmark times the programs, not
// a speaker or an HTTP server.
const char* const tools[] = {"/bin/mpg123", "/bin/curl", "/bin/killall", "/bin/amixer", "/bin/ifconfig",
                             "/usr/bin/amixer", "/sbin/ifconfig", "/etc/scripts/pa_mute.sh"};

void write_file(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << content;
}

}  // namespace

bench_station::bench_station(std::string dir, std::string bin_dir, std::string floor_dir, bool durable)
    : dir_(std::filesystem::absolute(dir).string()), bin_dir_(std::move(bin_dir)), floor_dir_(std::move(floor_dir))
{
    lay_out();
    std::filesystem::remove(socket());
    std::vector<std::string> server = {"redis-server", "--port", "0", "--unixsocket", socket(), "--save", "",
                                       "--daemonize", "no", "--loglevel", "warning"};
    if (durable) {
        std::filesystem::create_directories(dir_ + "/userdata/redis");
        server.insert(server.end(), {"--dir", dir_ + "/userdata/redis", "--appendonly", "yes", "--appendfsync",
                                     "always", "--aof-use-rdb-preamble", "yes", "--auto-aof-rewrite-min-size", "4mb"});
    } else {
        server.insert(server.end(), {"--dir", dir_ + "/tmp", "--appendonly", "no"});
    }
    redis_ = kit_program(server, environment(), dir_ + "/tmp/redis");
    if (!wait_until([&] { return redis_client(socket()).connected(); }, 10s))
        throw std::runtime_error("redis-server did not come up on " + socket());
    redis_client(socket()).command("SET %s %s", status_key, R"({"status":"idle"})");
}

void bench_station::lay_out() const
{
    // A device's settings: key 1 calls 1001 on the primary account, the
    // door code is off (the relay reads its settings and goes no further),
    // no action URLs.
    write_file(dir_ + "/etc/speaker.conf", device_settings("bench.test").text());
    // No key beep: its half-second pause belongs to the press, not to the
    // way from the release to the dial.
    write_file(dir_ + "/oem/etc/volctrl.conf", "[volume]\nkey_beep = no\n");
    for (int line : gpio_lines)
        write_file(dir_ + "/sys/class/gpio/gpio" + std::to_string(line) + "/value", line == 66 ? "0\n" : "1\n");
    for (const char* tool : tools) {
        write_file(dir_ + tool, "#!/bin/sh\nexit 0\n");
        std::filesystem::permissions(dir_ + tool, std::filesystem::perms::owner_all);
    }
    write_file(dir_ + "/home/kovrin/target/share/sounds/beep.mp3", "");
    std::filesystem::create_directories(dir_ + "/userdata/log");
    std::filesystem::create_directories(dir_ + "/tmp");
}

std::vector<std::string> bench_station::environment() const
{
    return station_environment(dir_, dir_ + "/bin");
}

kit_program bench_station::start(const std::string& program, std::vector<std::string> args, const char* stem) const
{
    args.insert(args.begin(), program);
    return kit_program(args, environment(), dir_ + "/tmp/" + stem);
}

bool bench_station::wait_for_subscriber() const
{
    redis_client client(socket());
    return wait_until([&] { return client.subscribers(session_channel) >= 1; }, 10s);
}

kit_program bench_station::start_orvanel() const
{
    kit_program p = start(bin_dir_ + "/orvanel", {}, "orvanel");
    if (!wait_for_subscriber())
        throw std::runtime_error(std::string("orvanel did not subscribe to ") + session_channel);
    // The key watchers set their watches as the threads start, with the
    // subscriber; a moment more lets the start-up work settle.
    std::this_thread::sleep_for(1s);
    return p;
}

kit_program bench_station::start_outputd() const
{
    kit_program p = start(bin_dir_ + "/outputd", {}, "outputd");
    std::this_thread::sleep_for(1s);
    if (!p.running())
        throw std::runtime_error("outputd ended at start; see " + dir_ + "/tmp/outputd.out");
    return p;
}

kit_program bench_station::start_floor(const char* mode) const
{
    kit_program p = start(floor_dir_ + "/bench-floor", {mode}, "floor");
    if (std::string(mode) == "events" && !wait_for_subscriber())
        throw std::runtime_error(std::string("bench-floor did not subscribe to ") + session_channel);
    std::this_thread::sleep_for(500ms);
    return p;
}

void bench_station::set_key(int level) const
{
    std::ofstream(dir_ + "/sys/class/gpio/gpio140/value", std::ios::trunc) << level << '\n';
}
