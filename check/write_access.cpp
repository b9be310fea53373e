#include "check/write_access.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "common/file_text.h"

namespace {

// A mount point as the mount table writes it: space, tab, newline and
// backslash as three octal digits after a backslash.
std::string unescaped_mount_point(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool under(const std::string& path, const std::string& mount_point)
{
    if (mount_point == "/")
        return true;
    return path.compare(0, mount_point.size(), mount_point) == 0 &&
           (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

// The text between separators: a line's fields, an option list's options.
std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t to = text.find(separator, from);
        if (to == std::string::npos)
            to = text.size();
        if (to > from)
            parts.push_back(text.substr(from, to - from));
        from = to + 1;
    }
    return parts;
}

bool has_option(const std::string& options, const char* option)
{
    for (const std::string& one : split(options, ','))
        if (one == option)
            return true;
    return false;
}

}  // namespace

bool writable_by_mode(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return false;
    if (st.st_uid == geteuid())
        return (st.st_mode & S_IWUSR) != 0;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && getgroups(count, groups.data()) < 0)
        groups.clear();
    groups.push_back(getegid());
    for (const gid_t g : groups)
        if (g == st.st_gid)
            return (st.st_mode & S_IWGRP) != 0;
    return (st.st_mode & S_IWOTH) != 0;
}

bool writable(const std::string& path)
{
    if (access(path.c_str(), W_OK) == 0)
        return true;
    return errno == EROFS && !file_system_read_only(path) && writable_by_mode(path);
}

// Each line of /proc/self/mountinfo: ID, parent, device, root, mount point,
// the mount's options, optional fields, "-", type, source, the superblock's
// options. The mount that holds the path is the last listed (the top one)
// of the longest mount point above it.
bool file_system_read_only(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return false;
    std::string error;
    const auto table = read_file_text("/proc/self/mountinfo", 1 << 20, error);
    if (!table)
        return false;
    std::size_t best = 0;
    bool found = false;
    bool read_only = false;
    for (const std::string& line : split(*table, '\n')) {
        const std::vector<std::string> field = split(line, ' ');
        std::size_t dash = 6;
        while (dash < field.size() && field[dash] != "-")
            ++dash;
        if (dash + 3 >= field.size())
            continue;
        const std::string mount_point = unescaped_mount_point(field[4]);
        if (!under(resolved, mount_point) || (found && mount_point.size() < best))
            continue;
        best = mount_point.size();
        found = true;
        read_only = has_option(field[dash + 3], "ro");
    }
    return read_only;
}
