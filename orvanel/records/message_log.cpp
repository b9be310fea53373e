// The message log. Any thread writes through log_print; log_lock serialises
// the writes and the monitor's hourly rename, so lines of different threads
// never interleave and a rename never falls inside a write. The file is
// opened and closed for every message, so a rename or a deletion takes
// effect with the next message, which starts a new file.
#include "orvanel/records/message_log.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <sys/time.h>

#include "common/c_holders.h"
#include "common/local_time.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/station_root.h"

namespace {

std::mutex log_lock;
std::string log_path;  // under the station root; empty until log_init

constexpr const char* level_names[] = {"info", "notice", "warn", "error"};
constexpr const char* console_colours[] = {
    "\033[0;32;32m",
    "\033[0;36m",
    "\033[1;33m",
    "\033[0;32;31m",
};

void LogMonitorPthread()
{
    log_print(LEVEL_INFO, "thread '%s'is ready \n", "LogMonitorPthread");
    for (;;) {
        const std::tm now = local_time(std::time(nullptr));
        const log_monitor_step step = next_log_monitor_step(now);
        if (step.rotate) {
            std::lock_guard<std::mutex> lock(log_lock);
            // No log file yet is no failure: the next hour tries again.
            std::rename(log_path.c_str(), rotated_log_name(log_path, now).c_str());
        }
        std::this_thread::sleep_for(std::chrono::seconds(step.sleep_seconds));
        run_shell(log_cleanup_command());
    }
}

}  // namespace

std::string log_prefix(const std::tm& local, long milliseconds, unsigned level)
{
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "[%04d/%02d/%02d %02d:%02d:%02d %03ld][%s]", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds,
                  level < 4 ? level_names[level] : "");
    return prefix;
}

std::string log_file_line(const std::string& prefix, const std::string& text)
{
    std::string line = prefix;
    line += ' ';
    line.append(text, 0, log_line_max);
    return line;
}

std::string rotated_log_name(const std::string& path, const std::tm& local)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, ".%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return path + stamp;
}

log_monitor_step next_log_monitor_step(const std::tm& local)
{
    if (local.tm_min == 0 && local.tm_sec == 0)
        return {true, 3600};
    return {false, static_cast<unsigned>(3600 - local.tm_min * 60 - local.tm_sec)};
}

std::string log_cleanup_command()
{
    return "find " + station_path("/userdata/log") + "/* -mmin +180 | xargs rm";
}

int log_init(const char* path)
{
    {
        std::lock_guard<std::mutex> lock(log_lock);
        log_path = station_path(path);
    }
    const std::string dir = log_path.substr(0, log_path.rfind('/'));
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 && mkdir(dir.c_str(), 0775) != 0) {
        std::perror("无法创建目录");
        end_process(1);
    }
    try {
        std::thread(LogMonitorPthread).detach();
    } catch (const std::system_error&) {
        log_print(LEVEL_ERROR, "创建线程'LogMonitorPthread'失败\n");
        return -1;
    }
    return 0;
}

int log_print(unsigned level, const char* format, ...)
{
    if (level > LEVEL_ERROR)
        return -1;
    std::lock_guard<std::mutex> lock(log_lock);

    timeval now{};
    gettimeofday(&now, nullptr);
    const std::tm local = local_time(now.tv_sec);

    if (log_path.empty())
        return -1;
    // Close-on-exec: the shells that other threads start meanwhile must not
    // hold the log open.
    file_ptr file(std::fopen(log_path.c_str(), "a+e"));
    if (!file)
        return -1;

    const std::string prefix = log_prefix(local, static_cast<long>(now.tv_usec / 1000), level);
    std::string text;
    va_list args;
    va_start(args, format);
    const bool formatted = format_text(text, format, args);
    va_end(args);
    if (!formatted) {
        std::printf("vasprintf: %d,%s\n", errno, std::strerror(errno));
        return -1;
    }

    const std::string line = log_file_line(prefix, text);
    std::fwrite(line.data(), 1, line.size(), file.get());
    std::printf("%s%s %s\033[0m", console_colours[level], prefix.c_str(), text.c_str());
    return 0;
}

void log_refused_pop(const std::string& line)
{
    log_print(LEVEL_WARN, "%s", line.c_str());
}
