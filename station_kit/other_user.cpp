#include "station_kit/other_user.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// An exit status that no errno of connect() takes.
constexpr int could_not_become = 255;

int connect_once(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd wait {fd, POLLOUT, 0};
    if (::poll(&wait, 1, 2000) != 1)
        return ETIMEDOUT;
    int failure = 0;
    socklen_t size = sizeof failure;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size);
    return failure;
}

}  // namespace

bool become_user(uid_t uid)
{
    return ::setgroups(0, nullptr) == 0 && ::setgid(static_cast<gid_t>(uid)) == 0 && ::setuid(uid) == 0 &&
           ::getuid() == uid;
}

std::optional<int> connect_as(uid_t uid, int port)
{
    const pid_t child = ::fork();
    if (child < 0)
        return std::nullopt;
    if (child == 0)
        ::_exit(become_user(uid) ? connect_once(port) : could_not_become);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) == could_not_become)
        return std::nullopt;
    return WEXITSTATUS(status);
}
