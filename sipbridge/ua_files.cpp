#include "sipbridge/ua_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "common/c_holders.h"
#include "common/file_text.h"

namespace {

constexpr std::size_t ua_file_limit = 1 << 20;

// The whole text into the descriptor, synced.
bool write_all(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0;
}

// A file made new in the folder, never through a link: O_EXCL fails on
// anything already there, a planted link included. Given to the folder's
// owner when root writes it, so the user agent's user can read it and no
// one else.
unique_fd create_new(int dir_fd, const std::string& name, const struct stat& dir)
{
    unique_fd fd(::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd && ::geteuid() == 0 && ::fchown(fd.get(), dir.st_uid, dir.st_gid) != 0) {
        const int failure = errno;
        fd.reset();
        ::unlinkat(dir_fd, name.c_str(), 0);  // made here, so it is ours to remove
        errno = failure;
    }
    return fd;
}

unique_fd open_folder(const std::string& dir, struct stat& owner, std::string& error)
{
    unique_fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd || ::fstat(dir_fd.get(), &owner) != 0) {
        error = "cannot open the folder " + dir + ": " + std::strerror(errno);
        dir_fd.reset();
    }
    return dir_fd;
}

}  // namespace

bool write_ua_file(const std::string& dir, const std::string& name, const std::string& text, std::string& error)
{
    struct stat owner {};
    const unique_fd dir_fd = open_folder(dir, owner, error);
    if (!dir_fd)
        return false;
    // A name no one can plant a link at beforehand; tried anew when taken.
    std::random_device random;
    std::string fresh;
    unique_fd out;
    for (int attempt = 0; attempt < 8 && !out; ++attempt) {
        fresh = "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(random());
        out = create_new(dir_fd.get(), fresh, owner);
        if (!out && errno != EEXIST)
            break;
    }
    if (!out) {
        error = "cannot make a new " + name + " file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!write_all(out.get(), text) || ::renameat(dir_fd.get(), fresh.c_str(), dir_fd.get(), name.c_str()) != 0) {
        error = "cannot write " + dir + "/" + name + ": " + std::strerror(errno);
        ::unlinkat(dir_fd.get(), fresh.c_str(), 0);
        return false;
    }
    return true;
}

void ensure_ua_file(const std::string& dir, const std::string& name)
{
    struct stat owner {};
    std::string error;
    if (const unique_fd dir_fd = open_folder(dir, owner, error))
        create_new(dir_fd.get(), name, owner);
}

bool remove_ua_file(const std::string& dir, const std::string& name, std::string& error)
{
    const std::string path = dir + "/" + name;
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
}

std::optional<std::string> read_ua_file(const std::string& dir, const std::string& name)
{
    std::string error;
    return read_file_text(dir + "/" + name, ua_file_limit, error);
}

bool write_accounts_file(const std::string& dir, const std::string& text, std::string& error)
{
    if (!write_ua_file(dir, "accounts", text, error))
        return false;
    ensure_ua_file(dir, "contacts");
    return true;
}
