#include "common/redis_trust.h"

#include <atomic>
#include <cstring>

#include <sys/socket.h>

#include "common/system_user.h"

namespace {

std::atomic<server_trust_report> report_to{nullptr};
// True from a reported refusal until a trusted server is met again.
std::atomic<bool> refusing{false};

}  // namespace

std::string redis_user()
{
    return configured_user("STATION_REDIS_USER", STATION_REDIS_USER);
}

std::optional<std::string> untrusted_server(uid_t peer, const std::string& user, std::optional<uid_t> user_uid)
{
    if (peer == 0 || peer == user_uid)
        return std::nullopt;
    const std::string named = shown_user(user);
    const std::string runs_as = "it runs as uid " + std::to_string(peer);
    if (!user_uid)
        return runs_as + ", not root (the Redis user " + named + " is unknown here, so only root is trusted)";
    return runs_as + ", not root or " + named;
}

std::optional<std::string> check_redis_server(int fd, const std::string& path)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    std::optional<std::string> reason;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        reason = std::string("cannot tell who runs it (") + std::strerror(errno) + ")";
    } else if (peer.uid != 0) {
        // Looked up at each check, so a Redis user made after the program
        // started counts as soon as it exists.
        const std::string user = redis_user();
        reason = untrusted_server(peer.uid, user, user_id(user));
        // The pid finds the impostor's process.
        if (reason)
            *reason += " (pid " + std::to_string(peer.pid) + ")";
    }
    const server_trust_report report = report_to.load();
    if (!reason) {
        if (report && refusing.exchange(false))
            report(false, "trusting the Redis server at " + path + " again: it runs as uid " +
                              std::to_string(peer.uid));
        return std::nullopt;
    }
    const std::string refusal = "refusing the Redis server at " + path + ": " + *reason;
    if (report && !refusing.exchange(true))
        report(true, refusal);
    return refusal;
}

void set_server_trust_report(server_trust_report report)
{
    report_to.store(report);
}
