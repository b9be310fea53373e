// The storage part of the installer's check. It writes nothing: the folder's
// write access comes from access(2) and the file system's flags (a
// sandbox's read-only view of a writable /userdata, as the metrics timer
// has, is seen through: write_access.h), the space from statvfs, and a
// file's last line from its last byte.
#include "check/storage_check.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "check/write_access.h"
#include "common/c_holders.h"
#include "common/station_root.h"
#include "orvanel/records/call_records.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/operation_log.h"

namespace {

constexpr const char* area = "storage";

std::string size_text(unsigned long long bytes)
{
    if (bytes >= (10ull << 20))
        return std::to_string(bytes >> 20) + " MB";
    if (bytes >= (10ull << 10))
        return std::to_string(bytes >> 10) + " kB";
    return std::to_string(bytes) + " bytes";
}

finding check_userdata()
{
    const std::string folder = station_path("/userdata");
    struct statvfs fs {};
    if (statvfs(folder.c_str(), &fs) != 0)
        return {area, "/userdata", verdict::error,
                folder + ": " + std::strerror(errno) + ": no record or log can be kept; mount /userdata"};
    const unsigned long long free_bytes = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    if ((fs.f_flag & ST_RDONLY) != 0 && file_system_read_only(folder))
        return {area, "/userdata", verdict::error,
                folder + " is mounted read-only: records and the message log are lost; remount it read-write"};
    if (!writable(folder))
        return {area, "/userdata", verdict::error,
                folder + " is not writable by this user: records and the message log are lost; give the "
                         "station's user write access"};
    if (free_bytes < storage_free_error)
        return {area, "/userdata", verdict::error,
                "writable, " + size_text(free_bytes) + " free: records no longer fit; remove old files"};
    if (free_bytes < storage_free_warning)
        return {area, "/userdata", verdict::warning,
                "writable, " + size_text(free_bytes) + " free: the message log's hourly files fill it soon; "
                                                       "remove old files"};
    return {area, "/userdata", verdict::ok, "writable, " + size_text(free_bytes) + " free"};
}

}  // namespace

finding check_record_file(const char* item, const std::string& device_path)
{
    const std::string path = station_path(device_path);
    const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT)
            return {area, item, verdict::ok, path + " not written yet"};
        return {area, item, verdict::error,
                path + ": " + std::strerror(errno) + ": the station cannot read or append to it; check its owner"};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {area, item, verdict::error, path + " is not a plain file; remove it"};
    const std::string size = size_text(static_cast<unsigned long long>(st.st_size));
    if (st.st_size == 0)
        return {area, item, verdict::ok, path + ", empty"};
    char last = '\0';
    if (pread(fd.get(), &last, 1, st.st_size - 1) != 1)
        return {area, item, verdict::error, path + ": its end cannot be read: " + std::strerror(errno)};
    if (last != '\n')
        return {area, item, verdict::warning,
                path + ", " + size + ": the last line is cut (a power cut during a write); the station cuts "
                                     "it off at its next write"};
    return {area, item, verdict::ok, path + ", " + size + ", ends with a whole line"};
}

findings check_storage()
{
    findings out;
    out.push_back(check_userdata());
    out.push_back(check_record_file("system.csv", operation_log_file));
    out.push_back(check_record_file("cdr.csv", call_records_file));
    finding log = check_record_file("message log", message_log_file);
    if (log.level == verdict::ok) {
        struct stat st {};
        if (stat(station_path(message_log_file).c_str(), &st) == 0 &&
            static_cast<std::size_t>(st.st_size) >= log_file_cap) {
            log.level = verdict::warning;
            log.text += ": at its cap of 4 MB, nothing more is written to it until the hourly rotation";
        }
    }
    out.push_back(log);
    return out;
}
