#include "common/durable_file.h"

#include <cerrno>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "common/c_holders.h"

namespace {

// The whole text into the descriptor, synced. False, with errno set, when a
// write or the sync fails (ENOSPC for storage that takes no more).
bool write_all_synced(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0;
}

}  // namespace

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_folder(int folder_fd)
{
    return ::fsync(folder_fd) == 0;
}

bool sync_folder(const std::string& folder)
{
    unique_fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return false;
    if (sync_folder(fd.get()))
        return true;
    // The sync's reason, not the close's.
    const int error = errno;
    fd.reset();
    errno = error;
    return false;
}

int create_new_file(int folder_fd, const std::string& name, mode_t mode, const std::optional<file_owner>& owner)
{
    unique_fd fd(::openat(folder_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd && owner && ::geteuid() == 0 && ::fchown(fd.get(), owner->uid, owner->gid) != 0) {
        const int failure = errno;
        fd.reset();
        ::unlinkat(folder_fd, name.c_str(), 0);  // made here, so it is ours to remove
        errno = failure;
    }
    return fd.release();
}

replacement replace_file(int folder_fd, const std::string& name, const std::string& text, mode_t mode,
                         const std::optional<file_owner>& owner)
{
    // A name no one can plant a link at beforehand; drawn anew when taken.
    std::random_device random;
    std::string fresh;
    unique_fd out;
    for (int attempt = 0; attempt < 8 && !out; ++attempt) {
        fresh = "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(random());
        out.reset(create_new_file(folder_fd, fresh, mode, owner));
        if (!out && errno != EEXIST)
            break;
    }
    if (!out)
        return {replacement::step::create, errno};

    replacement::step failed = replacement::step::done;
    if (!write_all_synced(out.get(), text))
        failed = replacement::step::write;
    else if (::renameat(folder_fd, fresh.c_str(), folder_fd, name.c_str()) != 0)
        failed = replacement::step::rename;
    if (failed != replacement::step::done) {
        const int error = errno;
        ::unlinkat(folder_fd, fresh.c_str(), 0);
        return {failed, error};
    }
    // Until the folder is synced, a power cut may take the rename back.
    if (!sync_folder(folder_fd))
        return {replacement::step::sync_folder, errno};
    return {};
}
