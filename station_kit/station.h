// The test harness: a temporary station root with everything the programs
// expect on the device (GPIO value files, settings, sound folders and
// stand-in tools that record how they were called), a real redis-server on
// ROOT/tmp/redis.sock, the real programs started under the root, and waits
// with deadlines on Redis lists, channels and files.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "common/c_holders.h"

using namespace std::chrono_literals;

// Polls the condition until it holds or the time-out passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);
// True when the condition holds at every poll for the whole duration.
bool holds(const std::function<bool()>& condition, std::chrono::milliseconds duration);

// One call of a stand-in tool: its name, working directory and arguments.
struct tool_call {
    std::string name;
    std::string cwd;
    std::vector<std::string> args;
    std::string joined_args() const;
};

class kit_root {
public:
    // A temporary root for a test: empty settings, removed at the end.
    kit_root();
    // A root at dir that stays after the end, with the template's settings.
    // A dir that holds anything but an earlier root is refused.
    explicit kit_root(const std::string& dir);
    ~kit_root();
    kit_root(const kit_root&) = delete;
    kit_root& operator=(const kit_root&) = delete;

    const std::string& path() const { return dir_; }
    // The file behind a device path.
    std::string file(const std::string& device_path) const { return dir_ + device_path; }
    std::string socket() const { return file("/tmp/redis.sock"); }
    std::string bin_dir() const { return dir_ + "/bin"; }

    void write(const std::string& device_path, const std::string& content) const;
    std::string read(const std::string& device_path) const;
    bool exists(const std::string& device_path) const;

    void write_settings(const std::string& ini) const { write("/etc/speaker.conf", ini); }
    void write_volume_settings(const std::string& ini) const { write("/oem/etc/volctrl.conf", ini); }

    // Rewrites an input's value file in place, as the kernel does: "0\n" or "1\n".
    void set_gpio(int line, int level) const;
    int gpio(int line) const;

    std::vector<tool_call> tool_calls() const;

private:
    void lay_out();
    std::string dir_;
    bool temporary_ = true;
};

// A connection of the test's own.
class redis_client {
public:
    explicit redis_client(const std::string& socket);
    bool connected() const { return c_ && !c_->err; }
    reply_ptr command(const char* format, const std::string& a = "", const std::string& b = "");
    std::vector<std::string> list(const std::string& key);  // LRANGE 0 -1, head first
    // Pops the oldest element of a list pushed with LPUSH, waiting up to the time-out.
    std::optional<std::string> pop_oldest(const std::string& key, std::chrono::milliseconds timeout = 5s);
    std::optional<std::string> get(const std::string& key);
    long long subscribers(const std::string& channel);

private:
    redis_ptr c_;
};

// A subscription to one channel, for waiting on published messages.
class channel_watch {
public:
    channel_watch(const std::string& socket, const std::string& channel);
    std::optional<std::string> next(std::chrono::milliseconds timeout = 5s);

private:
    redis_ptr c_;
};

class redis_server {
public:
    explicit redis_server(const kit_root& root, bool start_now = true);
    ~redis_server();
    void start();
    void stop();
    // Stops the server without closing its socket (SIGSTOP), as a wedged or
    // swapping server looks to its clients, and lets it go on (SIGCONT).
    void pause();
    void resume();
    bool running() const { return pid_ > 0; }

private:
    const kit_root& root_;
    pid_t pid_ = -1;
};

// A program of the build started under the station root, killed by pid when
// the test ends. Extra environment entries ("NAME=value") are added to, or
// replace, those that it inherits.
class kit_program {
public:
    kit_program(const kit_root& root, const std::string& binary, std::vector<std::string> args = {},
            const std::vector<std::string>& extra_env = {});
    ~kit_program();
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

std::string read_text_file(const std::string& path);

// Where the build put the programs.
std::string orvanel_binary();
std::string outputd_binary();
std::string uasim_binary();

// Points this test process's own station root at the root for as long as it
// lives, for tests that call the programs' code directly.
class root_in_process {
public:
    explicit root_in_process(const kit_root& root);
    ~root_in_process();
    root_in_process(const root_in_process&) = delete;
    root_in_process& operator=(const root_in_process&) = delete;
};

// The text with every message-log time stamp "[YYYY/MM/DD hh:mm:ss mmm]"
// replaced by "[T]", so whole log lines can be compared exactly.
std::string mask_log_stamps(const std::string& text);

// The processor time (user and system, all threads) that the process has
// used so far, in seconds.
double cpu_seconds(pid_t pid);

// True while the process has the file open.
bool process_has_open(pid_t pid, const std::string& path);

// The levels a GPIO value file showed, sampled every 10 ms for the duration.
std::vector<int> sample_gpio(const kit_root& root, int line, std::chrono::milliseconds duration);
// Level changes in a sample: rises (0 to 1) and falls (1 to 0).
int rises(const std::vector<int>& levels);
int falls(const std::vector<int>& levels);
