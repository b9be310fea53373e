// A station root for a test or the simulator: the device's files laid out
// from the station template (GPIO value files, settings, sound folders and
// stand-in tools that record how they were called), read and written by
// device path.
#pragma once

#include <string>
#include <vector>

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
    // orvanel's message log: the files the hourly rotation made, oldest
    // first, then the current one, so a test that runs over a full hour
    // still finds its lines.
    std::string message_log() const;

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

// Points this test process's own station root at the root for as long as it
// lives, for tests that call the programs' code directly.
class root_in_process {
public:
    explicit root_in_process(const kit_root& root);
    ~root_in_process();
    root_in_process(const root_in_process&) = delete;
    root_in_process& operator=(const root_in_process&) = delete;
};

std::string read_text_file(const std::string& path);
