// The message log. Any thread writes through log_print; log_lock serialises
// the writes and the monitor's hourly rename, so lines of different threads
// never interleave and a rename never falls inside a write. The file is
// opened and closed for every message, so a rename or a deletion takes
// effect with the next message, which starts a new file.
//
// Each message looks at the size of the file it opened (one fstat) before it
// writes. The message that would take the file past its cap is replaced by
// the cap notice, for which every earlier message left room, and the file so
// capped is remembered: while the log's path still names it, messages reach
// the console only. The monitor's rename, or a deletion, puts a new file in
// its place, which starts empty.
//
// LogMonitorPthread deletes the old files of the log folder itself, by the
// directory's entries, so a name with blanks, quotes or line ends is deleted
// like any other and no name ever reaches a shell.
#include "orvanel/records/message_log.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/durable_file.h"
#include "common/local_time.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/station_root.h"

namespace {

using dir_ptr = std::unique_ptr<DIR, c_free<DIR, closedir>>;

// The file that took the cap notice, as it was left then. An inode number
// may be given to a new file once the capped one is deleted; its size and
// the time of its last change tell the two apart, since nothing writes to
// the capped file any more.
struct capped_file {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;

    bool is(const struct stat& st) const
    {
        return st.st_dev == device && st.st_ino == inode && st.st_size == size &&
               st.st_mtim.tv_sec == modified.tv_sec && st.st_mtim.tv_nsec == modified.tv_nsec;
    }
};

std::mutex log_lock;
std::string log_path;                 // under the station root; empty until log_init
std::optional<capped_file> capped;  // guarded by log_lock

constexpr const char* level_names[] = {"info", "notice", "warn", "error"};
constexpr const char* console_colours[] = {
    "\033[0;32;32m",
    "\033[0;36m",
    "\033[1;33m",
    "\033[0;32;31m",
};

void LogMonitorPthread(const std::string& folder)
{
    log_print(LEVEL_INFO, "thread '%s'is ready \n", "LogMonitorPthread");
    for (;;) {
        const std::tm now = local_time(std::time(nullptr));
        const log_monitor_step step = next_log_monitor_step(now);
        if (step.rotate) {
            int sync_error = 0;
            {
                std::lock_guard<std::mutex> lock(log_lock);
                // No log file yet is no failure: the next hour tries again.
                // The folder is synced after the rename (once an hour, a
                // cheap step), so that the hour's file keeps its new name
                // through a power cut. The lines themselves are not synced:
                // the log is a trace, not a record.
                if (std::rename(log_path.c_str(), rotated_log_name(log_path, now).c_str()) == 0 &&
                    !sync_folder(folder))
                    sync_error = errno;
            }
            if (sync_error != 0)
                log_print(LEVEL_WARN, "cannot sync the log folder %s: %s: the rotation may not survive a power cut\n",
                          folder.c_str(), std::strerror(sync_error));
        }
        std::this_thread::sleep_for(std::chrono::seconds(step.sleep_seconds));
        remove_old_logs(folder, std::time(nullptr));
    }
}

// The formatted message with the texts inserted into it made one line. Only
// a line end that the format itself ends with stays: a text from outside
// cannot end the line and start one that reads as the program's own.
std::string message_text(const char* format, const std::string& formatted)
{
    const std::size_t length = std::strlen(format);
    const bool format_ends_line = length > 0 && format[length - 1] == '\n';
    if (!format_ends_line || formatted.empty() || formatted.back() != '\n')
        return one_line(formatted);
    std::string text = one_line(std::string_view(formatted).substr(0, formatted.size() - 1));
    text += '\n';
    return text;
}

bool append(std::FILE* file, const std::string& line)
{
    return std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fflush(file) == 0;
}

// Writes the line to the open log file unless that would take the file past
// its cap. Called with log_lock held.
bool write_line(std::FILE* file, const std::string& line, const std::string& notice)
{
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || (capped && capped->is(st)))
        return false;
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size + line.size() + notice.size() <= log_file_cap)
        return append(file, line);

    // The room kept for the notice takes it, and the file is closed to
    // everything after it, smaller messages too, so the notice stays last.
    // A file that was past the cap already (written by another program, or
    // before the cap was there) gets no notice and is closed all the same.
    if (size + notice.size() <= log_file_cap)
        append(file, notice);
    std::printf("%s%s\033[0m", console_colours[LEVEL_WARN], notice.c_str());
    if (fstat(fileno(file), &st) == 0)
        capped = capped_file{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return false;
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
    if (text.size() <= log_line_max) {
        line += text;
    } else if (text.back() == '\n') {
        // The next message must start a line of its own.
        line += cut_text(text, log_line_max - 1);
        line += '\n';
    } else {
        line += cut_text(text, log_line_max);
    }
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

int remove_old_logs(const std::string& folder, std::time_t now)
{
    dir_ptr dir(opendir(folder.c_str()));
    if (!dir)
        return 0;
    const int fd = dirfd(dir.get());
    // The names first, the deletions after: which entries readdir still
    // gives once the folder changes under it is left open.
    std::vector<std::string> old;
    while (const dirent* entry = readdir(dir.get())) {
        struct stat st {};
        // The entry itself, never what a link points to.
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (now - st.st_mtime > log_keep_seconds)
            old.emplace_back(entry->d_name);
    }
    int removed = 0;
    for (const std::string& name : old) {
        if (unlinkat(fd, name.c_str(), 0) == 0)
            ++removed;
    }
    return removed;
}

int log_init(const char* path)
{
    {
        std::lock_guard<std::mutex> lock(log_lock);
        log_path = station_path(path);
    }
    const std::string dir = folder_of(log_path);
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 && mkdir(dir.c_str(), 0775) != 0) {
        std::perror("无法创建目录");
        end_process(1);
    }
    try {
        std::thread(LogMonitorPthread, dir).detach();
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
    // A log that cannot be opened prints nothing, not even on the console.
    // Close-on-exec: the shells that other threads start meanwhile must not
    // hold the log open.
    file_ptr file(std::fopen(log_path.c_str(), "a+e"));
    if (!file)
        return -1;

    std::string formatted;
    va_list args;
    va_start(args, format);
    const bool ok = format_text(formatted, format, args);
    va_end(args);
    if (!ok) {
        std::printf("vasprintf: %d,%s\n", errno, std::strerror(errno));
        return -1;
    }
    const std::string text = message_text(format, formatted);

    const long milliseconds = static_cast<long>(now.tv_usec / 1000);
    const std::string prefix = log_prefix(local, milliseconds, level);
    std::printf("%s%s %s\033[0m", console_colours[level], prefix.c_str(), text.c_str());
    const std::string notice = log_file_line(log_prefix(local, milliseconds, LEVEL_WARN), log_cap_notice);
    return write_line(file.get(), log_file_line(prefix, text), notice) ? 0 : -1;
}

void log_refused_pop(const std::string& line)
{
    // The line comes with its end; the format gives it back, so that the
    // server's error text inside is made one line like any inserted text.
    std::string_view text(line);
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    log_print(LEVEL_WARN, "%.*s\n", static_cast<int>(text.size()), text.data());
}
