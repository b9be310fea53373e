#include "orvanel/relay/lockout_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/durable_file.h"
#include "common/file_text.h"
#include "common/station_root.h"

namespace {

std::string reason(const std::string& what, const std::string& path, int error)
{
    return "cannot " + what + " " + path + ": " + std::strerror(error);
}

// The folder of the path, open for the changes of its entries and their sync.
unique_fd open_folder(const std::string& path, std::string& error)
{
    unique_fd dir(::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        error = reason("open the folder of", path, errno);
    return dir;
}

std::string name_in_folder(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

lockout_file_found read_lockout_file(const std::string& device_path, std::string& error)
{
    const std::string path = station_path(device_path);
    lockout_file_found found;
    // Never through a link, and without waiting on a pipe that nobody
    // writes: the open returns at once, and only a plain file is read.
    const unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return found;
        found.found = lockout_file_found::state::unreadable;
        error = reason("open", path, errno);
        return found;
    }
    found.found = lockout_file_found::state::unreadable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = reason("read", path, errno);
        return found;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a plain file";
        return found;
    }
    // One byte past the cap tells a file that is too large.
    std::string text(lockout_file_cap + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = reason("read", path, errno);
            return found;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got > lockout_file_cap) {
        error = path + " is larger than a lockout record";
        return found;
    }
    text.resize(got);
    found.found = lockout_file_found::state::read;
    found.text = std::move(text);
    return found;
}

bool replace_lockout_file(const std::string& device_path, const std::string& text, std::string& error)
{
    const std::string path = station_path(device_path);
    const unique_fd dir = open_folder(path, error);
    if (!dir)
        return false;
    const replacement done = replace_file(dir.get(), name_in_folder(path), text, 0644, std::nullopt);
    switch (done.failed) {
    case replacement::step::done:
        return true;
    case replacement::step::create:
        error = reason("make a new file beside", path, done.error);
        break;
    case replacement::step::write:
        error = reason("write", path, done.error);
        break;
    case replacement::step::rename:
        error = reason("replace", path, done.error);
        break;
    case replacement::step::sync_folder:
        // Without it the rename itself may not outlive a power cut.
        error = reason("sync the folder of", path, done.error);
        break;
    }
    return false;
}

bool remove_lockout_file(const std::string& device_path, std::string& error)
{
    const std::string path = station_path(device_path);
    const unique_fd dir = open_folder(path, error);
    if (!dir)
        return false;
    if (::unlinkat(dir.get(), name_in_folder(path).c_str(), 0) != 0 && errno != ENOENT) {
        error = reason("remove", path, errno);
        return false;
    }
    if (!sync_folder(dir.get())) {
        error = reason("sync the folder of", path, errno);
        return false;
    }
    return true;
}

lockout_now lockout_clocks()
{
    lockout_now now;
    now.wall = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    timespec boot_clock {};
    if (::clock_gettime(CLOCK_BOOTTIME, &boot_clock) == 0)
        now.boot_clock = std::chrono::seconds(boot_clock.tv_sec) +
                         std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds(boot_clock.tv_nsec));
    std::string error;
    const std::optional<std::string> id =
        read_file_text(station_path("/proc/sys/kernel/random/boot_id"), 128, error);
    now.boot = id ? boot_id_of_text(*id) : unknown_boot;
    return now;
}
