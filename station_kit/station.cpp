#include "station_kit/station.h"

#include "common/redis_link.h"
#include "common/station_root.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

void make_dirs(const std::string& path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        mkdir(partial.c_str(), 0775);
    }
}

void remove_tree(const std::string& path)
{
    if (path.size() > 5 && path.rfind("/tmp/", 0) == 0) {
        const std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
}

// The environment of a program under the root: STATION_ROOT set and the
// stand-in tools first in PATH.
std::vector<std::string> station_environment(const std::string& root, const std::string& bin_dir)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("STATION_ROOT=", 0) == 0 || entry.rfind("PATH=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    const char* path = std::getenv("PATH");
    env.push_back("STATION_ROOT=" + root);
    env.push_back("PATH=" + bin_dir + ":" + (path ? path : "/usr/bin:/bin"));
    return env;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out_path,
            const std::string& err_path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

void kill_and_reap(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
}

}  // namespace

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

bool holds(const std::function<bool()>& condition, std::chrono::milliseconds duration)
{
    return !wait_until([&] { return !condition(); }, duration);
}

std::string read_text_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tool_call::joined_args() const
{
    std::string out;
    for (const auto& a : args) {
        if (!out.empty())
            out += ' ';
        out += a;
    }
    return out;
}

kit_root::kit_root()
{
    char templ[] = "/tmp/station.XXXXXX";
    if (!mkdtemp(templ))
        throw std::runtime_error("cannot make a station root");
    dir_ = templ;
    lay_out();
    // Tests start from empty settings and write what they need.
    write_settings("");
    write_volume_settings("[volume]\nkey_beep = no\n");
}

kit_root::kit_root(const std::string& dir) : dir_(dir), temporary_(false)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(dir_, error) && !fs::is_empty(dir_, error) && !fs::exists(dir_ + "/.station-root", error))
        throw std::runtime_error(dir_ + " is not an earlier station root; not touching it");
    fs::remove_all(dir_, error);
    make_dirs(dir_);
    lay_out();
    write("/.station-root", "made from station/template\n");
}

// The station template holds the device's files: settings, GPIO value
// files, sound folders and the stand-in tools.
void kit_root::lay_out()
{
    std::filesystem::copy(STATION_TEMPLATE_DIR, dir_,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    for (const char* d : {"/tmp", "/userdata"})
        make_dirs(dir_ + d);
}

kit_root::~kit_root()
{
    if (temporary_)
        remove_tree(dir_);
}

void kit_root::write(const std::string& device_path, const std::string& content) const
{
    const std::string full = file(device_path);
    make_dirs(full.substr(0, full.rfind('/')));
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string kit_root::read(const std::string& device_path) const
{
    return read_text_file(file(device_path));
}

bool kit_root::exists(const std::string& device_path) const
{
    struct stat info {};
    return stat(file(device_path).c_str(), &info) == 0;
}

void kit_root::set_gpio(int line, int level) const
{
    write("/sys/class/gpio/gpio" + std::to_string(line) + "/value", level ? "1\n" : "0\n");
}

int kit_root::gpio(int line) const
{
    const std::string text = read("/sys/class/gpio/gpio" + std::to_string(line) + "/value");
    return !text.empty() && text[0] == '1' ? 1 : 0;
}

std::vector<tool_call> kit_root::tool_calls() const
{
    std::vector<tool_call> calls;
    std::stringstream lines(read_text_file(dir_ + "/tools.log"));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::stringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t'))
            fields.push_back(field);
        if (fields.size() < 2)
            continue;
        calls.push_back({fields[0], fields[1], {fields.begin() + 2, fields.end()}});
    }
    return calls;
}

// The test's own connections wait as long as the programs' blocking readers.
redis_client::redis_client(const std::string& socket) : c_(redis_open(socket, blocking_read_timeout)) {}

reply_ptr redis_client::command(const char* format, const std::string& a, const std::string& b)
{
    if (!connected())
        return nullptr;
    return redis_command(c_.get(), format, a.c_str(), b.c_str());
}

std::vector<std::string> redis_client::list(const std::string& key)
{
    std::vector<std::string> items;
    reply_ptr r = command("LRANGE %s 0 -1", key);
    if (r && r->type == REDIS_REPLY_ARRAY)
        for (size_t i = 0; i < r->elements; ++i)
            items.emplace_back(r->element[i]->str, r->element[i]->len);
    return items;
}

std::optional<std::string> redis_client::pop_oldest(const std::string& key, std::chrono::milliseconds timeout)
{
    const std::string seconds = std::to_string(static_cast<double>(timeout.count()) / 1000.0);
    reply_ptr r = command("BRPOP %s %s", key, seconds);
    return popped_text(r.get());
}

std::optional<std::string> redis_client::get(const std::string& key)
{
    reply_ptr r = command("GET %s", key);
    if (r && r->type == REDIS_REPLY_STRING)
        return std::string(r->str, r->len);
    return std::nullopt;
}

long long redis_client::subscribers(const std::string& channel)
{
    return connected() ? redis_subscribers(c_.get(), channel) : 0;
}

channel_watch::channel_watch(const std::string& socket, const std::string& channel)
    : c_(redis_open(socket, blocking_read_timeout))
{
    if (c_ && !c_->err)
        redis_command(c_.get(), "SUBSCRIBE %s", channel.c_str());
}

std::optional<std::string> channel_watch::next(std::chrono::milliseconds timeout)
{
    if (!c_ || c_->err)
        return std::nullopt;
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    redisSetTimeout(c_.get(), tv);
    void* raw = nullptr;
    if (redisGetReply(c_.get(), &raw) != REDIS_OK) {
        c_.reset();  // a timed-out read leaves the connection unusable
        return std::nullopt;
    }
    reply_ptr r(static_cast<redisReply*>(raw));
    return published_text(r.get());
}

redis_server::redis_server(const kit_root& root, bool start_now) : root_(root)
{
    if (start_now)
        start();
}

redis_server::~redis_server()
{
    stop();
}

void redis_server::start()
{
    if (pid_ > 0)
        return;
    unlink(root_.socket().c_str());
    const std::vector<std::string> argv = {"redis-server", "--port", "0", "--unixsocket", root_.socket(),
                                           "--save", "", "--appendonly", "no", "--daemonize", "no",
                                           "--dir", root_.file("/tmp"), "--loglevel", "warning"};
    pid_ = spawn(argv, station_environment(root_.path(), root_.bin_dir()), root_.file("/tmp/redis.out"),
                 root_.file("/tmp/redis.err"));
    const bool up = wait_until([&] {
        redis_client client(root_.socket());
        reply_ptr pong = client.command("PING");
        return pong && pong->type == REDIS_REPLY_STATUS;
    });
    if (!up)
        throw std::runtime_error("redis-server did not come up");
}

void redis_server::pause()
{
    if (pid_ > 0)
        ::kill(pid_, SIGSTOP);
}

void redis_server::resume()
{
    if (pid_ > 0)
        ::kill(pid_, SIGCONT);
}

void redis_server::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);  // a paused server takes the signal only once it runs
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    unlink(root_.socket().c_str());
}

kit_program::kit_program(const kit_root& root, const std::string& binary, std::vector<std::string> args,
                 const std::vector<std::string>& extra_env)
{
    static int serial = 0;
    const std::string base = root.path() + "/" + binary.substr(binary.rfind('/') + 1) + "." + std::to_string(++serial);
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    std::vector<std::string> argv = {binary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = station_environment(root.path(), root.bin_dir());
    for (const std::string& entry : extra_env) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        env.push_back(entry);
    }
    pid_ = spawn(argv, env, out_path_, err_path_);
}

kit_program::~kit_program()
{
    kill();
}

std::optional<int> kit_program::wait_exit(std::chrono::milliseconds timeout)
{
    std::optional<int> result;
    wait_until(
        [&] {
            if (pid_ <= 0)
                return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) != pid_)
                return false;
            pid_ = -1;
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        timeout);
    return result;
}

bool kit_program::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void kit_program::kill()
{
    kill_and_reap(pid_);
}

std::string kit_program::output() const
{
    return read_text_file(out_path_);
}

std::string kit_program::report(const std::string& name) const
{
    return "--- " + name + " output:\n" + output() + "--- errors:\n" + errors();
}

std::string kit_program::errors() const
{
    return read_text_file(err_path_);
}

bool kit_program::wait_output(const std::string& text, std::chrono::milliseconds timeout) const
{
    return wait_until([&] { return output().find(text) != std::string::npos; }, timeout);
}

std::string orvanel_binary()
{
    return STATION_BIN_DIR "/orvanel";
}

std::string outputd_binary()
{
    return STATION_BIN_DIR "/outputd";
}

std::string uasim_binary()
{
    return STATION_BIN_DIR "/uasim";
}

root_in_process::root_in_process(const kit_root& root)
{
    setenv("STATION_ROOT", root.path().c_str(), 1);
    station_root_init();
}

root_in_process::~root_in_process()
{
    unsetenv("STATION_ROOT");
    station_root_init();
}

std::string mask_log_stamps(const std::string& text)
{
    static const std::string shape = "[dddd/dd/dd dd:dd:dd ddd]";
    auto stamp_at = [&](size_t at) {
        if (at + shape.size() > text.size())
            return false;
        for (size_t i = 0; i < shape.size(); ++i) {
            const char c = text[at + i];
            if (shape[i] == 'd' ? !(c >= '0' && c <= '9') : c != shape[i])
                return false;
        }
        return true;
    };
    std::string out;
    for (size_t at = 0; at < text.size();) {
        if (stamp_at(at)) {
            out += "[T]";
            at += shape.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

double cpu_seconds(pid_t pid)
{
    // /proc/PID/stat: the command name in parentheses, then fields 3 on;
    // utime and stime are fields 14 and 15, in clock ticks.
    const std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::stringstream fields(stat.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n)
        if (n >= 14)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool process_has_open(pid_t pid, const std::string& path)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path)
            return true;
    }
    return false;
}

std::vector<int> sample_gpio(const kit_root& root, int line, std::chrono::milliseconds duration)
{
    std::vector<int> levels;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        levels.push_back(root.gpio(line));
        std::this_thread::sleep_for(10ms);
    }
    return levels;
}

int rises(const std::vector<int>& levels)
{
    int count = 0;
    for (size_t i = 1; i < levels.size(); ++i)
        count += levels[i - 1] == 0 && levels[i] == 1;
    return count;
}

int falls(const std::vector<int>& levels)
{
    int count = 0;
    for (size_t i = 1; i < levels.size(); ++i)
        count += levels[i - 1] == 1 && levels[i] == 0;
    return count;
}
