#include "common/redis_link.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>

#include "common/redis_trust.h"
#include "common/station_root.h"

namespace {

timeval to_timeval(std::chrono::milliseconds t)
{
    return timeval{static_cast<time_t>(t.count() / 1000), static_cast<suseconds_t>(t.count() % 1000 * 1000)};
}

int poll_ms(std::chrono::milliseconds t)
{
    return static_cast<int>(t.count());
}

// Waits until the connection's socket has something to read; false on a
// time-out or a failed poll.
bool readable_within(const redisContext* c, std::chrono::milliseconds timeout)
{
    for (;;) {
        pollfd p{c->fd, POLLIN, 0};
        const int n = poll(&p, 1, poll_ms(timeout));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

bool send_ping(redisContext* c)
{
    if (redisAppendCommand(c, "PING") != REDIS_OK)
        return false;
    int done = 0;
    while (!done)
        if (redisBufferWrite(c, &done) != REDIS_OK)
            return false;
    return true;
}

}  // namespace

redis_ptr redis_open(const std::string& path, std::chrono::milliseconds timeout, std::string* error)
{
    redis_ptr c = redis_open_unchecked(path, timeout, error);
    if (!c)
        return nullptr;
    if (std::optional<std::string> refusal = check_redis_server(c->fd, path)) {
        if (error)
            *error = std::move(*refusal);
        return nullptr;
    }
    return c;
}

redis_ptr redis_open_unchecked(const std::string& path, std::chrono::milliseconds timeout, std::string* error)
{
    redis_ptr c(redisConnectUnixWithTimeout(path.c_str(), to_timeval(timeout)));
    if (!c) {
        if (error)
            *error = "can't allocate redis context";
        return nullptr;
    }
    if (c->err || redisSetTimeout(c.get(), to_timeval(timeout)) != REDIS_OK) {
        if (error)
            *error = c->errstr;
        return nullptr;
    }
    // hiredis makes its socket without close-on-exec; the shells that other
    // threads start must not hold the connection.
    fcntl(c->fd, F_SETFD, fcntl(c->fd, F_GETFD) | FD_CLOEXEC);
    return c;
}

redis_ptr redis_open_device(std::chrono::milliseconds timeout, std::string* error)
{
    return redis_open(station_path(redis_socket), timeout, error);
}

bool redis_usable(const redisContext* c)
{
    return c && !c->err;
}

bool redis_timed_out(const redisContext* c)
{
    // A read or write that hits the socket's time-out fails with EAGAIN,
    // and hiredis keeps only its text.
    return c && c->err == REDIS_ERR_IO &&
           (std::strcmp(c->errstr, std::strerror(EAGAIN)) == 0 ||
            std::strcmp(c->errstr, std::strerror(ETIMEDOUT)) == 0);
}

redis_sent redis_send(redis_ptr& connection, const std::string& path, std::chrono::milliseconds timeout,
                      const std::function<reply_ptr(redisContext*)>& send)
{
    redis_sent sent;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!redis_usable(connection.get())) {
            if (!redis_repair(connection, path, timeout)) {
                sent.unreachable = true;
                return sent;
            }
            sent.reconnected = true;
        }
        sent.reply = send(connection.get());
        if (sent.reply)
            return sent;
        sent.timed_out = redis_timed_out(connection.get());
        connection.reset();
        if (sent.timed_out)
            return sent;
    }
    return sent;
}

std::chrono::milliseconds reconnect_pause(std::chrono::steady_clock::duration outage)
{
    using namespace std::chrono_literals;
    return outage < 5s ? 100ms : 1000ms;
}

redis_ptr redis_reconnect(std::chrono::milliseconds timeout, const std::function<bool(redisContext*)>& setup)
{
    const auto lost = std::chrono::steady_clock::now();
    for (;;) {
        std::this_thread::sleep_for(reconnect_pause(std::chrono::steady_clock::now() - lost));
        redis_ptr c = redis_open_device(timeout);
        if (c && (!setup || setup(c.get())))
            return c;
    }
}

bool redis_repair(redis_ptr& connection, const std::string& path, std::chrono::milliseconds timeout)
{
    if (redis_usable(connection.get()))
        return true;
    connection = redis_open(path, timeout);
    return connection != nullptr;
}

std::optional<std::string> popped_text(const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
        reply->element[1]->type != REDIS_REPLY_STRING)
        return std::nullopt;
    return std::string(reply->element[1]->str, reply->element[1]->len);
}

std::optional<std::string> published_text(const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 ||
        reply->element[2]->type != REDIS_REPLY_STRING)
        return std::nullopt;
    return std::string(reply->element[2]->str, reply->element[2]->len);
}

long long redis_subscribers(redisContext* c, const std::string& channel)
{
    reply_ptr r = redis_command(c, "PUBSUB NUMSUB %s", channel.c_str());
    if (r && r->type == REDIS_REPLY_ARRAY && r->elements == 2 && r->element[1]->type == REDIS_REPLY_INTEGER)
        return r->element[1]->integer;
    return 0;
}

reply_ptr next_subscribed_reply(redisContext* c, std::chrono::milliseconds quiet, std::chrono::milliseconds answer)
{
    bool asked = false;
    for (;;) {
        void* raw = nullptr;
        if (!redis_usable(c) || redisGetReplyFromReader(c, &raw) != REDIS_OK)
            return nullptr;
        if (raw)
            return reply_ptr(static_cast<redisReply*>(raw));
        if (readable_within(c, asked ? answer : quiet)) {
            // One read: what is there now, or the end of the connection.
            if (redisBufferRead(c) != REDIS_OK)
                return nullptr;
            continue;
        }
        if (asked || !send_ping(c))
            return nullptr;
        asked = true;
    }
}

bool refused_pops::wait_out(const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_ERROR) {
        if (reply)
            in_run_ = false;
        return false;
    }
    if (!in_run_)
        report_(std::string("BRPOP ") + key_ + " answered \"" + reply->str + "\", retrying every second\n");
    in_run_ = true;
    std::this_thread::sleep_for(refused_pop_pause);
    return true;
}

reply_ptr processing_list::take(redisContext* c) const
{
    return redis_command(c, "BRPOPLPUSH %s %s 60", list, processing);
}

bool processing_list::finish(redisContext* c, const std::string& element)
{
    // From the oldest end: the element taken is the oldest one there. The
    // mark goes in the same step, so the next element never finds the
    // mark of this one.
    static constexpr const char* remove_with_mark =
        "redis.call('DEL', KEYS[2]) return redis.call('LREM', KEYS[1], -1, ARGV[1])";
    reply_ptr reply = mark ? redis_command(c, "EVAL %s 2 %s %s %b", remove_with_mark, processing, mark,
                                           element.data(), element.size())
                           : redis_command(c, "LREM %s -1 %b", processing, element.data(), element.size());
    const bool removed = reply && reply->type == REDIS_REPLY_INTEGER;
    if (removed)
        done_but_kept.reset();
    else
        done_but_kept = element;
    return removed;
}

std::optional<std::string> processing_list::next(redisContext* c, refused_pops& refused)
{
    took_left_over = false;
    reply_ptr oldest = redis_command(c, "LINDEX %s -1", processing);
    if (!oldest)
        return std::nullopt;  // the connection failed; the caller makes it anew
    if (std::optional<std::string> left = taken_text(oldest.get())) {
        if (left == done_but_kept) {
            finish(c, *left);
            return std::nullopt;
        }
        done_but_kept.reset();
        took_left_over = true;
        return left;
    }
    done_but_kept.reset();
    reply_ptr reply = take(c);
    if (refused.wait_out(reply.get()))
        return std::nullopt;
    return taken_text(reply.get());
}

std::optional<std::string> taken_text(const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_STRING)
        return std::nullopt;
    return std::string(reply->str, reply->len);
}
