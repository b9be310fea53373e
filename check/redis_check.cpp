// The Redis part of the installer's check. Every command goes through a
// connection bounded by command_timeout, so a stalled server gives an error
// in at most that time, never a hang.
#include "check/redis_check.h"

#include <string>

#include <sys/socket.h>

#include "common/redis_link.h"
#include "common/redis_trust.h"
#include "common/station_protocol.h"
#include "common/station_root.h"

namespace {

constexpr const char* area = "redis";

struct station_list {
    const char* name;
    bool processing;  // a consumer's own list: holds at most the element in hand
    const char* consumer;
};

constexpr station_list station_lists[] = {
    {writelog_list, false, "orvanel's operation-log writer"},
    {writelog_processing, true, "orvanel's operation-log writer"},
    {output_list, false, "outputd"},
    {output_processing, true, "outputd"},
    {cdr_list, false, "orvanel's call-record writer"},
    {cdr_processing, true, "orvanel's call-record writer"},
    {control_list, false, "the SIP user agent"},
};

std::string server_owner(const redisContext* c)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(c->fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return "an unknown user";
    return "uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) + ")";
}

}  // namespace

findings check_redis_lists(redisContext* c)
{
    findings out;
    for (const station_list& list : station_lists) {
        reply_ptr type = redis_command(c, "TYPE %s", list.name);
        if (!type || type->type != REDIS_REPLY_STATUS) {
            out.push_back({area, list.name, verdict::error,
                           std::string("no answer to TYPE ") + list.name + ": the server stopped answering"});
            return out;  // a failed connection answers nothing more
        }
        const std::string kind(type->str, type->len);
        if (kind == "none") {
            out.push_back({area, list.name, verdict::ok, "empty"});
            continue;
        }
        if (kind != "list") {
            out.push_back({area, list.name, verdict::error,
                           "holds a " + kind + ", not a list: " + list.consumer +
                               " cannot take from it and its producers' pushes fail; delete the key (DEL " +
                               list.name + ")"});
            continue;
        }
        reply_ptr length = redis_command(c, "LLEN %s", list.name);
        if (!length || length->type != REDIS_REPLY_INTEGER) {
            out.push_back({area, list.name, verdict::error,
                           std::string("no answer to LLEN ") + list.name + ": the server stopped answering"});
            return out;
        }
        const long long n = length->integer;
        const long long limit = list.processing ? 1 : list_backlog;
        if (n > limit)
            out.push_back({area, list.name, verdict::warning,
                           std::to_string(n) + " elements waiting: " + list.consumer +
                               " is not running or cannot do its work (a full or read-only /userdata, say)"});
        else
            out.push_back({area, list.name, verdict::ok, std::to_string(n) + " elements"});
    }
    return out;
}

findings check_redis(redis_ptr& connection)
{
    findings out;
    const std::string path = station_path(redis_socket);
    std::string error;
    connection = redis_open(path, command_timeout, &error);
    if (!connection) {
        if (error.empty())
            error = "no connection";
        // A refusal names the socket itself; the client's errors do not.
        if (error.rfind("refusing", 0) == 0)
            out.push_back({area, "socket", verdict::error,
                           error + ": the programs refuse it as well and do no work; stop that server and start "
                                   "the station's Redis service"});
        else
            out.push_back({area, "socket", verdict::error,
                           path + ": " + error + ": no program of the station can work; start the Redis service"});
        return out;
    }
    reply_ptr pong = redis_command(connection.get(), "PING");
    if (!pong || pong->type == REDIS_REPLY_ERROR) {
        out.push_back({area, "socket", verdict::error,
                       path + ": no answer to PING within " + std::to_string(command_timeout.count()) +
                           " s: the server is stalled; the programs wait on it; restart the Redis service"});
        connection.reset();
        return out;
    }
    out.push_back({area, "socket", verdict::ok, path + " answers, served by " + server_owner(connection.get()) +
                                                    ", a user the station trusts (root or " + redis_user() + ")"});
    findings lists = check_redis_lists(connection.get());
    out.insert(out.end(), lists.begin(), lists.end());
    if (!redis_usable(connection.get()))
        connection.reset();
    return out;
}
