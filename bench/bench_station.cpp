#include "bench/bench_station.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <sys/wait.h>

#include "station_kit/programs.h"
#include "station_kit/redis.h"
#include "station_kit/waits.h"

const char* const bench_station::account_aor = "sip:1000@bench.test";
const char* const bench_station::status_key = "baresip-call-status-1000-bench.test";

namespace {

// Settings of the size and shape a device carries: key 1 calls 1001 on the
// primary account, the door code is off (the relay reads its settings and
// goes no further), no action URLs.
const char* const settings = R"([system]
language = en
model = ZR-K11

[account_info_1]
enable = yes
username = 1000
domain = bench.test
server = bench.test
password =

[account_info_2]
enable = no
username =
domain =
server =
password =

[account_info_3]
enable = no
username =
domain =
server =
password =

[account_info_p2p]
enable = no

[button-gpio140]
key_mode = 1
next_number_1 = 1001
number_1_line = 2
next_number_2 =
number_2_line = 2
next_number_3 =
number_3_line = 2
next_number_4 =
number_4_line = 2
next_number_5 =
number_5_line = 2
no_reply = no
next_time = 6
busy_or_unuse = no
hang_up = yes
api_url =

[button-gpio67]
key_mode = 1
next_number_1 = 2001
number_1_line = 2
no_reply = no
next_time = 10
busy_or_unuse = no
hang_up = yes
api_url =

[unpack-intercom]
active = 3
api_url =
audio_file = /userdata/alarm.mp3
play_count = 2
number =
number_line = 2

[relay_ctrl]
call_state = no
state_info = answered
call_reset_mode = delay
call_reset_duration = 2
type = On
dtmf = no
dtmf_code = 1234
mode = delay
dtmf_reset_duration = 3
relay_mode = singleBToggle
play_music = Disabled
alarm = Disabled

[relay_action_url]
on_enable = no
on_url =
off_enable = no
off_url =
)";

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

bench_process::bench_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& output_stem)
    : pid_(spawn(argv, env, output_stem + ".out", output_stem + ".err"))
{
}

bench_process::bench_process(bench_process&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

bench_process& bench_process::operator=(bench_process&& other) noexcept
{
    end();
    pid_ = std::exchange(other.pid_, -1);
    return *this;
}

bool bench_process::running() const
{
    return pid_ > 0 && ::kill(pid_, 0) == 0;
}

void bench_process::end()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bench_station::bench_station(std::string dir, std::string bin_dir, std::string floor_dir)
    : dir_(std::filesystem::absolute(dir).string()), bin_dir_(std::move(bin_dir)), floor_dir_(std::move(floor_dir))
{
    lay_out();
    std::filesystem::remove(socket());
    redis_ = bench_process({"redis-server", "--port", "0", "--unixsocket", socket(), "--save", "", "--appendonly",
                            "no", "--daemonize", "no", "--dir", dir_ + "/tmp", "--loglevel", "warning"},
                           environment(), dir_ + "/tmp/redis");
    if (!wait_until([&] { return redis_client(socket()).connected(); }, 10s))
        throw std::runtime_error("redis-server did not come up on " + socket());
    redis_client(socket()).command("SET %s %s", status_key, R"({"status":"idle"})");
}

void bench_station::lay_out() const
{
    write_file(dir_ + "/etc/speaker.conf", settings);
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

bench_process bench_station::start(const std::string& program, std::vector<std::string> args, const char* stem) const
{
    args.insert(args.begin(), program);
    return bench_process(args, environment(), dir_ + "/tmp/" + stem);
}

bool bench_station::wait_for_subscriber() const
{
    redis_client client(socket());
    return wait_until([&] { return client.subscribers("session-channel") >= 1; }, 10s);
}

bench_process bench_station::start_orvanel() const
{
    bench_process p = start(bin_dir_ + "/orvanel", {}, "orvanel");
    if (!wait_for_subscriber())
        throw std::runtime_error("orvanel did not subscribe to session-channel");
    // The key watchers set their watches as the threads start, with the
    // subscriber; a moment more lets the start-up work settle.
    std::this_thread::sleep_for(1s);
    return p;
}

bench_process bench_station::start_outputd() const
{
    bench_process p = start(bin_dir_ + "/outputd", {}, "outputd");
    std::this_thread::sleep_for(1s);
    if (!p.running())
        throw std::runtime_error("outputd ended at start; see " + dir_ + "/tmp/outputd.out");
    return p;
}

bench_process bench_station::start_floor(const char* mode) const
{
    bench_process p = start(floor_dir_ + "/bench-floor", {mode}, "floor");
    if (std::string(mode) == "events" && !wait_for_subscriber())
        throw std::runtime_error("bench-floor did not subscribe to session-channel");
    std::this_thread::sleep_for(500ms);
    return p;
}

void bench_station::set_key(int level) const
{
    std::ofstream(dir_ + "/sys/class/gpio/gpio140/value", std::ios::trunc) << level << '\n';
}
