// The message log: the diagnostic trace of orvanel. Every message goes to
// /userdata/log/orvanel.log with a time-stamped prefix and, in colour, to
// standard output. LogMonitorPthread renames the file at full hours and
// deletes log files that have not changed for three hours.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

enum log_level : unsigned { LEVEL_INFO = 0, LEVEL_NOTICE = 1, LEVEL_WARN = 2, LEVEL_ERROR = 3 };

// A file line holds at most this many bytes of message text.
inline constexpr std::size_t log_line_max = 4095;

// Sets the log file (a device path), creates its folder when missing and
// starts LogMonitorPthread. Returns 0, or -1 when the monitor cannot start.
int log_init(const char* path);

// Writes one message at the level. Returns 0 when written, -1 when the level
// is unknown, the log has no file yet or the file cannot be opened.
int log_print(unsigned level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes a line that refused_pops gives for a blocking pop's error replies.
void log_refused_pop(const std::string& line);

// The rules of the log, kept apart from the clock so they can be checked.
// "[YYYY/MM/DD hh:mm:ss mmm][level]" for the local time and milliseconds.
std::string log_prefix(const std::tm& local, long milliseconds, unsigned level);
// The file line: prefix, blank and text, the text cut to log_line_max bytes.
std::string log_file_line(const std::string& prefix, const std::string& text);
// The rotated copy's name: the path followed by ".YYYYMMDDhhmmss".
std::string rotated_log_name(const std::string& path, const std::tm& local);

// What the monitor does when it wakes at the given local time: rename the
// file (only at minute 0, second 0) and how long to sleep before the
// clean-up.
struct log_monitor_step {
    bool rotate;
    unsigned sleep_seconds;
};
log_monitor_step next_log_monitor_step(const std::tm& local);

// The clean-up command for the log folder under the station root.
std::string log_cleanup_command();
