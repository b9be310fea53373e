// The programs of the build started under a station root, and what the
// kernel tells about them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "station_kit/root.h"
#include "station_kit/waits.h"

// A program of the build started under the station root, killed by pid when
// the holder goes. Extra environment entries ("NAME=value") are added to, or
// replace, those that it inherits.
class kit_program {
public:
    // Holds nothing until a started program is moved in.
    kit_program() = default;
    kit_program(const kit_root& root, const std::string& binary, std::vector<std::string> args = {},
            const std::vector<std::string>& extra_env = {});
    // A program under a root that the kit did not lay out (the benchmark's):
    // the whole command line and environment given, its outputs in
    // OUTPUT_STEM.out and OUTPUT_STEM.err.
    kit_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& output_stem);
    ~kit_program();
    kit_program(kit_program&& other) noexcept;
    kit_program& operator=(kit_program&& other) noexcept;
    kit_program(const kit_program&) = delete;
    kit_program& operator=(const kit_program&) = delete;
    pid_t pid() const { return pid_; }
    // The exit status once the program has ended within the time-out.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running();
    void kill();
    std::string output() const;  // standard output so far
    const std::string& output_path() const { return out_path_; }
    std::string errors() const;  // standard error so far
    // Both outputs under the program's name, for a test that failed.
    std::string report(const std::string& name) const;
    // Waits until standard output holds the text.
    bool wait_output(const std::string& text, std::chrono::milliseconds timeout = 5s) const;

private:
    pid_t pid_ = -1;
    std::string out_path_;
    std::string err_path_;
};

// Where the build put the programs.
std::string orvanel_binary();
std::string outputd_binary();
std::string uasim_binary();

// The processor time (user and system, all threads) that the process has
// used so far, in seconds.
double cpu_seconds(pid_t pid);

// Sets the process's file-size limit (RLIMIT_FSIZE) to bytes, or lifts it
// when bytes is negative: a write beyond the limit fails as on full storage.
void limit_file_size(pid_t pid, long long bytes);

// True while the process has the file open.
bool process_has_open(pid_t pid, const std::string& path);

// The processes whose parent is the pid.
std::vector<pid_t> children_of(pid_t pid);

// On a cross-build the programs of the build run under an emulator
// (qemu-aarch64), named by STATION_EMULATOR in the environment; empty for a
// native build.
const std::string& program_emulator();
// The command line with the emulator in front when it starts a program of
// the build (a path in its bin directory), as it stands otherwise.
std::vector<std::string> emulated(std::vector<std::string> argv);
// The same for a program's path in a shell command line.
std::string emulated_command(const std::string& program);

// The kit's redis-servers run as the user who runs the kit: the Redis user
// (STATION_REDIS_USER) of the programs it starts, as a uid.
std::string own_redis_user();

// The environment of a program under the root: STATION_ROOT set, the
// stand-in tools first in PATH and the kit's Redis user trusted.
std::vector<std::string> station_environment(const std::string& root, const std::string& bin_dir);
// Starts the program with standard input from /dev/null and both outputs
// into the files, in a process group of its own, so that what it starts
// (a player, a shell) ends with it; throws when it cannot be started.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out_path,
            const std::string& err_path);
