// The connection to the user agent's control socket (TCP, netstring JSON).
// One thread runs run(): it connects, reads every frame, hands events and
// replies over, and connects again when the socket closes. Other threads
// send commands with call() and wait for the reply, bounded in time.
//
// The control socket obeys whoever holds it: it would load a module into
// the user agent (insmod) as readily as it dials. So the link talks only to
// a socket that the user agent's user listens on (ua_owner), and sends only
// the commands that the bridge needs.
//
// The user agent serves one client at a time and answers a command with a
// reply that carries the command's token; events come in between.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <cjson/cJSON.h>

#include "common/c_holders.h"

// How long a command waits for its reply, and a connection attempt for the
// user agent to accept it.
inline constexpr std::chrono::seconds ua_reply_timeout{2};

struct ua_reply {
    bool answered = false;  // false: no connection, or no reply in time
    bool ok = false;
    std::string data;
};

struct ua_address {
    std::string host = "127.0.0.1";
    int port = 4444;
};
// "HOST:PORT" with an IPv4 address and a port; nothing for anything else.
std::optional<ua_address> parse_ua_address(const std::string& text);

// Empty for a command that the bridge sends (accept, callfind, dial, hangup,
// reginfo, uadel, uafind, uanew) with parameters of one line; otherwise why it is not
// sent, as a console text.
std::string ua_request_refusal(const std::string& command, const std::string& params);

class ua_link {
public:
    struct handlers {
        // On the reader thread. connected runs before any frame is read, so
        // the commands it sends see their replies.
        std::function<void()> connected;
        std::function<void(const cJSON* event)> event;
        std::function<void()> closed;  // the socket closed or broke
        std::function<void(const std::string& line)> report;  // one console line
    };

    ua_link(ua_address address, handlers h) : address_(std::move(address)), handlers_(std::move(h)) {}

    // The reader loop; never returns. A socket whose listener belongs to
    // another user than the user agent's is closed before anything is sent
    // or read on it, said once until a connection is taken, and tried again
    // as a closed one is.
    [[noreturn]] void run();

    // Sends a command and waits for its reply (not on the reader thread).
    ua_reply call(const std::string& command, const std::string& params);
    // Sends a command; its reply goes to done on the reader thread. The
    // token is empty when the command could not be sent, or was refused by
    // ua_request_refusal (done has then run).
    std::string send(const std::string& command, const std::string& params, std::function<void(const ua_reply&)> done);

    bool connected() const;

private:
    unique_fd connect_once(std::string& error);
    bool send_frame(const std::string& command, const std::string& params, const std::string& token);
    void read_frames(int fd);
    void on_frame(const std::string& text);
    void fail_waiting();
    void forget(const std::string& token);

    ua_address address_;
    handlers handlers_;

    mutable std::mutex mutex_;  // the socket for writing, the tokens and waiting replies
    int fd_ = -1;               // owned by run(); -1 while not connected
    unsigned long next_token_ = 0;
    std::map<std::string, std::function<void(const ua_reply&)>> waiting_;
};
