#include "sipbridge/config/ua_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/c_holders.h"
#include "common/durable_file.h"
#include "common/file_text.h"
#include "common/station_root.h"

namespace {

constexpr std::size_t ua_file_limit = 1 << 20;

// The folder, and who its files are given to when root writes them: its
// owner, the user agent's user, so that user can read them and no one else.
unique_fd open_folder(const std::string& dir, std::optional<file_owner>& owner, std::string& error)
{
    unique_fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!dir_fd || ::fstat(dir_fd.get(), &st) != 0) {
        error = "cannot open the folder " + dir + ": " + std::strerror(errno);
        dir_fd.reset();
    } else {
        owner = file_owner{st.st_uid, st.st_gid};
    }
    return dir_fd;
}

}  // namespace

bool write_ua_file(const std::string& dir, const std::string& name, const std::string& text, std::string& error)
{
    std::optional<file_owner> owner;
    const unique_fd dir_fd = open_folder(dir, owner, error);
    if (!dir_fd)
        return false;
    const replacement done = replace_file(dir_fd.get(), name, text, 0600, owner);
    switch (done.failed) {
    case replacement::step::done:
        return true;
    case replacement::step::create:
        error = "cannot make a new " + name + " file in " + dir + ": " + std::strerror(done.error);
        break;
    case replacement::step::write:
    case replacement::step::rename:
        error = "cannot write " + dir + "/" + name + ": " + std::strerror(done.error);
        break;
    case replacement::step::sync_folder:
        // The new file is in place and is what the user agent is to read.
        error = dir + "/" + name + " is written, but the folder cannot be synced: " + std::strerror(done.error) +
                "; it may not survive a power cut";
        return true;
    }
    return false;
}

void ensure_ua_file(const std::string& dir, const std::string& name)
{
    std::optional<file_owner> owner;
    std::string error;
    // A file made here has its folder synced, so that its name outlives a
    // power cut; what fails leaves the folder as the user agent finds it.
    if (const unique_fd dir_fd = open_folder(dir, owner, error)) {
        if (const unique_fd made{create_new_file(dir_fd.get(), name, 0600, owner)})
            sync_folder(dir_fd.get());
    }
}

bool remove_ua_file(const std::string& dir, const std::string& name, std::string& error)
{
    const std::string path = dir + "/" + name;
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot remove " + path + ": " + std::strerror(errno);
        return false;
    }
    // Until the folder is synced, a power cut may bring the file back.
    if (!sync_folder(dir))
        error = path + " is removed, but the folder cannot be synced: " + std::strerror(errno) +
                "; a power cut may bring it back";
    return true;
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

bool bring_ua_file(const std::string& dir, const std::string& name, const std::optional<std::string>& text,
                   bool& changed, std::string& error)
{
    if (read_ua_file(dir, name) == text)
        return true;
    changed = true;
    return text ? write_ua_file(dir, name, *text, error) : remove_ua_file(dir, name, error);
}

bool bring_ua_file_reported(const char* program, const std::string& dir, const std::string& name,
                            const std::optional<std::string>& text, bool& changed)
{
    std::string error;
    const bool done = bring_ua_file(dir, name, text, changed, error);
    if (!error.empty())
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return done;
}

std::optional<std::string> read_named_file(const std::string& device_path, std::string& error)
{
    const std::optional<std::string> text = read_file_text(station_path(device_path), named_file_limit, error);
    if (!text) {
        const std::size_t colon = error.rfind(": ");
        error = "cannot read it" + (colon == std::string::npos ? std::string() : error.substr(colon));
    }
    return text;
}
