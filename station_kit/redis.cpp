#include "station_kit/redis.h"

#include <csignal>
#include <stdexcept>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/redis_link.h"
#include "station_kit/programs.h"

// The test's own connections reach whichever server the test started, also
// one that the programs must refuse.
redis_client::redis_client(const std::string& socket) : c_(redis_open_unchecked(socket, blocking_read_timeout)) {}

reply_ptr redis_client::command(const char* format, const std::string& a, const std::string& b)
{
    if (!connected())
        return nullptr;
    return redis_command(c_.get(), format, a.c_str(), b.c_str());
}

std::vector<std::string> redis_client::list(const std::string& key)
{
    std::vector<std::string> items;
    reply_ptr r = command("LRANGE %s 0 -1", key);
    if (r && r->type == REDIS_REPLY_ARRAY)
        for (size_t i = 0; i < r->elements; ++i)
            items.emplace_back(r->element[i]->str, r->element[i]->len);
    return items;
}

std::optional<std::string> redis_client::pop_oldest(const std::string& key, std::chrono::milliseconds timeout)
{
    const std::string seconds = std::to_string(static_cast<double>(timeout.count()) / 1000.0);
    reply_ptr r = command("BRPOP %s %s", key, seconds);
    return popped_text(r.get());
}

std::optional<std::string> redis_client::get(const std::string& key)
{
    reply_ptr r = command("GET %s", key);
    if (r && r->type == REDIS_REPLY_STRING)
        return std::string(r->str, r->len);
    return std::nullopt;
}

long long redis_client::subscribers(const std::string& channel)
{
    return connected() ? redis_subscribers(c_.get(), channel) : 0;
}

channel_watch::channel_watch(const std::string& socket, const std::string& channel)
    : c_(redis_open_unchecked(socket, blocking_read_timeout))
{
    if (c_ && !c_->err)
        redis_command(c_.get(), "SUBSCRIBE %s", channel.c_str());
}

std::optional<std::string> channel_watch::next(std::chrono::milliseconds timeout)
{
    if (!c_ || c_->err)
        return std::nullopt;
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    redisSetTimeout(c_.get(), tv);
    void* raw = nullptr;
    if (redisGetReply(c_.get(), &raw) != REDIS_OK) {
        c_.reset();  // a timed-out read leaves the connection unusable
        return std::nullopt;
    }
    reply_ptr r(static_cast<redisReply*>(raw));
    return published_text(r.get());
}

redis_server::redis_server(const kit_root& root, bool start_now) : root_(root)
{
    if (start_now)
        start();
}

redis_server::~redis_server()
{
    stop();
}

void redis_server::start()
{
    if (pid_ > 0)
        return;
    unlink(root_.socket().c_str());
    std::vector<std::string> argv = {"redis-server", "--port", "0", "--unixsocket", root_.socket(),
                                     "--save", "", "--appendonly", keep_data_ ? "yes" : "no",
                                     "--appendfsync", "always", "--daemonize", "no",
                                     "--dir", root_.file("/tmp"), "--loglevel", "warning"};
    if (stranger_) {
        const auto [uid, gid] = *stranger_;
        if (chmod(root_.path().c_str(), 0711) != 0 || chmod(root_.file("/tmp").c_str(), 01777) != 0)
            throw std::runtime_error("cannot open " + root_.path() + " to another user");
        argv.insert(argv.end(), {"--unixsocketperm", "777"});
        argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
                                   "--clear-groups", "--"});
    }
    pid_ = spawn(argv, station_environment(root_.path(), root_.bin_dir()), root_.file("/tmp/redis.out"),
                 root_.file("/tmp/redis.err"));
    const bool up = wait_until([&] {
        redis_client client(root_.socket());
        reply_ptr pong = client.command("PING");
        return pong && pong->type == REDIS_REPLY_STATUS;
    });
    if (!up)
        throw std::runtime_error("redis-server did not come up");
}

void redis_server::pause()
{
    if (pid_ > 0)
        ::kill(pid_, SIGSTOP);
}

void redis_server::resume()
{
    if (pid_ > 0)
        ::kill(pid_, SIGCONT);
}

void redis_server::stop()
{
    end(SIGTERM);
}

void redis_server::crash()
{
    end(SIGKILL);
}

void redis_server::end(int signal)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    ::kill(pid_, SIGCONT);  // a paused server takes the signal only once it runs
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    unlink(root_.socket().c_str());
}

