// A real redis-server on the root's socket, and the test's own connections
// to it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "common/c_holders.h"
#include "station_kit/root.h"
#include "station_kit/waits.h"

// A connection of the test's own, to whoever serves the socket.
class redis_client {
public:
    explicit redis_client(const std::string& socket);
    bool connected() const { return c_ && !c_->err; }
    reply_ptr command(const char* format, const std::string& a = "", const std::string& b = "");
    std::vector<std::string> list(const std::string& key);  // LRANGE 0 -1, head first
    // Pops the oldest element of a list pushed with LPUSH, waiting up to the time-out.
    std::optional<std::string> pop_oldest(const std::string& key, std::chrono::milliseconds timeout = 5s);
    std::optional<std::string> get(const std::string& key);
    long long subscribers(const std::string& channel);

private:
    redis_ptr c_;
};

// A subscription to one channel, for waiting on published messages.
class channel_watch {
public:
    channel_watch(const std::string& socket, const std::string& channel);
    std::optional<std::string> next(std::chrono::milliseconds timeout = 5s);

private:
    redis_ptr c_;
};

class redis_server {
public:
    explicit redis_server(const kit_root& root, bool start_now = true);
    ~redis_server();
    void start();
    void stop();
    // Ends the server with SIGKILL, as a crash or a power cut would.
    void crash();
    // From the next start on, the server keeps its data on disk and syncs
    // every write (appendonly, appendfsync always), so a restart, even after
    // a crash, gives back every list element it acknowledged. The default
    // keeps nothing.
    void keep_data() { keep_data_ = true; }
    // Stops the server without closing its socket (SIGSTOP), as a wedged or
    // swapping server looks to its clients, and lets it go on (SIGCONT).
    void pause();
    void resume();
    bool running() const { return pid_ > 0; }
    // From the next start on, the server runs as another user (through
    // setpriv; the kit must run as root): a stranger's server on the
    // station's socket. The root's folders are opened to it (the root to
    // pass through, its tmp to all as /tmp is, the socket to all).
    void run_as(uid_t uid, gid_t gid) { stranger_ = std::make_pair(uid, gid); }

private:
    void end(int signal);

    const kit_root& root_;
    pid_t pid_ = -1;
    bool keep_data_ = false;
    std::optional<std::pair<uid_t, gid_t>> stranger_;
};
