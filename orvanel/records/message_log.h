// The message log: the diagnostic trace of orvanel. Every message goes to
// /userdata/log/orvanel.log with a time-stamped prefix and, in colour, to
// standard output. A text inserted into a message (an event's text, a close
// reason, digits from SIP data) cannot start a line of its own: it is made
// one line as the records are, and only the message's own format ends the
// line. A file takes at most log_file_cap bytes; /userdata is small and also
// holds the records, so a flood of messages stops at the cap, with a last
// line that says so, until the next hour's file. LogMonitorPthread renames
// the file at full hours and deletes the files of the log folder that have
// not changed for three hours.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

enum log_level : unsigned { LEVEL_INFO = 0, LEVEL_NOTICE = 1, LEVEL_WARN = 2, LEVEL_ERROR = 3 };

// A file line holds at most this many bytes of message text, its line end
// included.
inline constexpr std::size_t log_line_max = 4095;

// The most one file of the message log holds, its last line included.
inline constexpr std::size_t log_file_cap = 4 * 1024 * 1024;

// The last line of a file that has reached log_file_cap, at the level warn.
inline constexpr char log_cap_notice[] =
    "the message log has reached its cap of 4 MB: nothing more is written to this file until the hourly "
    "rotation starts a new one\n";

// How old, in seconds, an unchanged file of the log folder is when the
// monitor deletes it.
inline constexpr std::time_t log_keep_seconds = 180 * 60;

// Sets the log file (a device path), creates its folder when missing and
// starts LogMonitorPthread. Returns 0, or -1 when the monitor cannot start.
int log_init(const char* path);

// Writes one message at the level to the console and, while the file is
// under its cap, to the file. Texts that the arguments insert are made one
// line; a format that ends with "\n" keeps that line end. Returns 0 when the
// message reached the file; -1 when it did not: the file cannot be written
// or has reached its cap (the console has the message all the same), or the
// level is unknown, the format fails, log_init has not run or the file
// cannot be opened (the message is not printed then).
int log_print(unsigned level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes a line that refused_pops gives for a blocking pop's error replies.
void log_refused_pop(const std::string& line);

// The rules of the log, kept apart from the clock so they can be checked.
// "[YYYY/MM/DD hh:mm:ss mmm][level]" for the local time and milliseconds.
std::string log_prefix(const std::tm& local, long milliseconds, unsigned level);
// The file line: prefix, blank and text, the text cut to log_line_max bytes
// without cutting a UTF-8 character in two. A text that ends its line keeps
// its line end when it is cut.
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

// The monitor's clean-up: deletes every entry of the folder that is not a
// folder and was last modified more than log_keep_seconds before now. A
// symbolic link goes as a link; what it points to stays. Folders and what
// they hold stay. Returns how many entries were deleted.
int remove_old_logs(const std::string& folder, std::time_t now);
