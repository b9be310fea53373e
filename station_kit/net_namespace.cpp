#include "station_kit/net_namespace.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/c_holders.h"

namespace {

std::string failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool write_proc(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// Maps this user and group to root inside a fresh user namespace.
std::string map_to_root(uid_t uid, gid_t gid)
{
    if (!write_proc("/proc/self/setgroups", "deny"))
        return failure("cannot write /proc/self/setgroups");
    if (!write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1"))
        return failure("cannot write /proc/self/uid_map");
    if (!write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return failure("cannot write /proc/self/gid_map");
    return "";
}

std::string loopback_up()
{
    unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return failure("socket");
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0)
        return failure("cannot read the flags of lo");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(fd.get(), SIOCSIFFLAGS, &request) != 0)
        return failure("cannot bring lo up");
    return "";
}

}  // namespace

std::string enter_own_network_namespace()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        if (errno != EPERM)
            return failure("unshare(CLONE_NEWNET)");
        const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator());
        if (threads != 1)
            return "unshare(CLONE_NEWNET) is not permitted, and a user namespace cannot be made by a process with " +
                   std::to_string(threads) + " threads";
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return failure("unshare(CLONE_NEWNET) is not permitted, and unshare(CLONE_NEWUSER | CLONE_NEWNET)");
        const std::string mapped = map_to_root(uid, gid);
        if (!mapped.empty())
            return mapped;
    }
    return loopback_up();
}
