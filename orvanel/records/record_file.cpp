#include "orvanel/records/record_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/durable_file.h"
#include "common/station_root.h"
#include "orvanel/records/message_log.h"

record_file::record_file(const std::string& device_path) : path_(station_path(device_path)) {}

bool record_file::fail(const char* step, int error)
{
    failure_ = std::string("cannot ") + step + " " + path_ + ": " + std::strerror(error);
    fd_.reset();
    return false;
}

bool record_file::open()
{
    // Read as well as append: the end of the file is looked at before each
    // line. Close-on-exec: other threads start shells meanwhile.
    constexpr int flags = O_RDWR | O_APPEND | O_CLOEXEC;
    // A file that is there is opened; one that is not is made, and this
    // open alone knows that it made it. (Another program may make or remove
    // it in between: each step is tried again a few times.)
    for (int attempt = 0; attempt < 3; ++attempt) {
        fd_.reset(::open(path_.c_str(), flags));
        if (fd_)
            return true;
        if (errno != ENOENT)
            return fail("open", errno);
        fd_.reset(::open(path_.c_str(), flags | O_CREAT | O_EXCL, 0644));
        if (fd_)
            break;
        if (errno != EEXIST)
            return fail("open", errno);
    }
    if (!fd_)
        return fail("open", errno);
    // The line's own sync keeps its data, not the new file's name: the
    // folder is synced before any line counts as written. A file whose
    // folder cannot be synced is removed again (made here, and still empty),
    // so the next open makes it anew and syncs the folder then.
    if (!sync_folder(folder_of(path_))) {
        const int error = errno;
        ::unlink(path_.c_str());
        return fail("sync the folder of", error);
    }
    return true;
}

long long whole_lines_length(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    // Only the last block is read as a rule: a file that the station wrote
    // ends with a line end.
    char block[4096];
    for (off_t end = st.st_size; end > 0;) {
        const off_t start = end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
        const ssize_t n = pread(fd, block, static_cast<std::size_t>(end - start), start);
        if (n != end - start)
            return -1;
        for (ssize_t i = n; i > 0; --i) {
            if (block[i - 1] == '\n')
                return static_cast<long long>(start + i);
        }
        end = start;
    }
    return 0;
}

bool record_file::ends_with(const std::string& line)
{
    if (!fd_ && !open())
        return false;
    struct stat st {};
    if (fstat(fd_.get(), &st) != 0 || st.st_size < static_cast<off_t>(line.size()))
        return false;
    // The line and the line end before it, unless it is the file's first.
    const bool first = st.st_size == static_cast<off_t>(line.size());
    std::string tail(line.size() + (first ? 0 : 1), '\0');
    const off_t start = st.st_size - static_cast<off_t>(tail.size());
    if (pread(fd_.get(), tail.data(), tail.size(), start) != static_cast<ssize_t>(tail.size()))
        return false;
    return (first || tail[0] == '\n') && tail.compare(first ? 0 : 1, std::string::npos, line) == 0;
}

bool record_file::append(const std::string& line)
{
    if (!fd_ && !open())
        return false;
    // A file removed while it was open would take the line into a file
    // without a name, lost with its descriptor: the name is made anew.
    struct stat st {};
    if (fstat(fd_.get(), &st) != 0)
        return fail("read", errno);
    if (st.st_nlink == 0 && !open())
        return false;
    const long long whole = whole_lines_length(fd_.get());
    if (whole < 0)
        return fail("read", errno);
    if (fstat(fd_.get(), &st) == 0 && st.st_size > whole && ftruncate(fd_.get(), whole) != 0)
        return fail("cut back", errno);

    // One write for the whole line; a short one (the space ran out within
    // the line) is followed by one more for the rest, which then tells why.
    ssize_t written = ::write(fd_.get(), line.data(), line.size());
    if (written >= 0 && static_cast<std::size_t>(written) < line.size()) {
        const ssize_t rest = ::write(fd_.get(), line.data() + written, line.size() - static_cast<std::size_t>(written));
        written = rest < 0 ? -1 : written + rest;
        if (written >= 0 && static_cast<std::size_t>(written) < line.size()) {
            errno = ENOSPC;
            written = -1;
        }
    }
    int error = errno;
    const char* step = "write";
    if (written >= 0 && fdatasync(fd_.get()) != 0) {
        error = errno;
        step = "sync";
        written = -1;
    }
    if (written < 0) {
        // What reached the file of this line goes again; where even that
        // fails, the next append cuts it before it writes.
        if (ftruncate(fd_.get(), whole) != 0 && error == 0)
            error = errno;
        return fail(step, error);
    }
    failure_.clear();
    return true;
}

bool storage_outage::refused(const record_file& file)
{
    if (!file.failure().empty()) {
        if (!in_run_)
            log_print(LEVEL_ERROR, "%s, keeping %s and retrying every 5 s\n", file.failure().c_str(), kept_);
        in_run_ = true;
        std::this_thread::sleep_for(std::chrono::seconds(5));
        return true;
    }
    if (in_run_)
        log_print(LEVEL_NOTICE, "%s is written again\n", file.path().c_str());
    in_run_ = false;
    return false;
}
