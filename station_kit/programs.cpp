#include "station_kit/programs.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string own_redis_user()
{
    return std::to_string(getuid());
}

std::vector<std::string> station_environment(const std::string& root, const std::string& bin_dir)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("STATION_ROOT=", 0) == 0 || entry.rfind("PATH=", 0) == 0 ||
            entry.rfind("STATION_REDIS_USER=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    const char* path = std::getenv("PATH");
    env.push_back("STATION_ROOT=" + root);
    env.push_back("STATION_REDIS_USER=" + own_redis_user());
    env.push_back("PATH=" + bin_dir + ":" + (path ? path : "/usr/bin:/bin"));
    return env;
}

const std::string& program_emulator()
{
    static const std::string emulator = [] {
        const char* given = std::getenv("STATION_EMULATOR");
        return std::string(given ? given : "");
    }();
    return emulator;
}

namespace {

// A program of the build, wherever it was started from (the tests' bin
// directory, or beside the simulator).
bool of_the_build(const std::string& program)
{
    const std::string name = program.substr(program.rfind('/') + 1);
    for (const char* own : {"orvanel", "outputd", "sipbridge", "uasim", "station-sim", "station-check", "bench-floor",
                            "station-tls-relay"})
        if (name == own)
            return true;
    return false;
}

}  // namespace

std::vector<std::string> emulated(std::vector<std::string> argv)
{
    if (program_emulator().empty() || argv.empty() || !of_the_build(argv[0]))
        return argv;
    // "qemu-aarch64 -L SYSROOT": words separated by blanks.
    std::vector<std::string> words;
    std::istringstream emulator(program_emulator());
    for (std::string word; emulator >> word;)
        words.push_back(word);
    argv.insert(argv.begin(), words.begin(), words.end());
    return argv;
}

std::string emulated_command(const std::string& program)
{
    return program_emulator().empty() || !of_the_build(program) ? program : program_emulator() + " " + program;
}

pid_t spawn(const std::vector<std::string>& given_argv, const std::vector<std::string>& env, const std::string& out_path,
            const std::string& err_path)
{
    const std::vector<std::string> argv = emulated(given_argv);
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
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

namespace {

void kill_and_reap(pid_t& pid)
{
    if (pid <= 0)
        return;
    // The group: what the program started goes with it, as the service
    // manager ends a unit's whole cgroup on the board.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
}

}  // namespace

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

kit_program::kit_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& output_stem)
    : out_path_(output_stem + ".out"), err_path_(output_stem + ".err")
{
    pid_ = spawn(argv, env, out_path_, err_path_);
}

kit_program::~kit_program()
{
    kill();
}

kit_program::kit_program(kit_program&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_path_(std::move(other.out_path_)),
      err_path_(std::move(other.err_path_))
{
}

kit_program& kit_program::operator=(kit_program&& other) noexcept
{
    if (this != &other) {
        kill();
        pid_ = std::exchange(other.pid_, -1);
        out_path_ = std::move(other.out_path_);
        err_path_ = std::move(other.err_path_);
    }
    return *this;
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

void limit_file_size(pid_t pid, long long bytes)
{
    rlimit limit{};
    limit.rlim_cur = bytes < 0 ? RLIM_INFINITY : static_cast<rlim_t>(bytes);
    limit.rlim_max = RLIM_INFINITY;
    prlimit(pid, RLIMIT_FSIZE, &limit, nullptr);
}

// The processes whose parent is pid.
std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = read_text_file(entry.path().string() + "/stat");
        const std::size_t end = stat.rfind(')');
        if (end == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(end + 2));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == pid)
            children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
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

