// The one way into Redis for every program of the station: where the server
// is, how a connection is made and bounded in time, how a lost one is made
// anew, and how the payload is taken out of a pop or a published message.
//
// Every connection has time-outs, so a server that stops answering without
// closing its socket fails a command instead of freezing the thread that
// sent it. Library-like code: nothing here prints; callers report failures
// in their own words.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "common/c_holders.h"

// The server's socket on the device.
inline constexpr const char* redis_socket = "/tmp/redis.sock";

// How long a connection may wait on the server: for a one-shot command, and
// for a read on a connection that blocks in "BRPOP ... 60" (comfortably
// above the server's own 60 s wait). Connecting is bounded by the first.
inline constexpr std::chrono::seconds command_timeout{2};
inline constexpr std::chrono::seconds blocking_read_timeout{90};

// A subscriber that has heard nothing for the first checks the server, and
// takes it for gone when no answer comes within the second.
inline constexpr std::chrono::seconds subscription_quiet{30};
inline constexpr std::chrono::seconds subscription_answer{5};

// A connection to the socket at path, with the read and write time-out, or
// null; the client's error text then goes to error, when given. A server
// that runs as anyone but root or the Redis user is refused as a failed
// connection is, and the error says who runs it (common/redis_trust.h): the
// callers retry as after a lost server.
redis_ptr redis_open(const std::string& path, std::chrono::milliseconds timeout, std::string* error = nullptr);

// The same whoever serves the socket. Only for a tool that talks to servers
// it started itself (the test kit, also to the stranger's server that the
// station must refuse); the station's programs use redis_open.
redis_ptr redis_open_unchecked(const std::string& path, std::chrono::milliseconds timeout,
                               std::string* error = nullptr);

// The same for the server socket of the device under the station root.
redis_ptr redis_open_device(std::chrono::milliseconds timeout, std::string* error = nullptr);

// False for an absent connection and for one that a failed command has left
// unusable (hiredis never clears an error).
bool redis_usable(const redisContext* c);

// True when the connection failed because the server did not answer within
// the time-out, rather than because it went away: the command may still run
// once the server wakes up, so it must not be sent again.
bool redis_timed_out(const redisContext* c);

// What became of a command given to redis_send.
struct redis_sent {
    reply_ptr reply;           // null when no reply came
    bool timed_out = false;    // the server did not answer in time: it may still carry the command out
    bool reconnected = false;  // a new connection was made for it (the server may have restarted, without its keys)
    bool unreachable = false;  // a new connection was needed and could not be made
};

// Sends one command on the caller's connection, made anew to the socket at
// path when it is absent or failed. A connection looks usable until a
// command on it has failed, so the first command after a server restart
// gets no reply: nothing reached the server, and the command is sent once
// more on a new connection. One that timed out is not sent again: the
// server was only stalled and carries it out when it wakes, so a second
// copy would run twice. A connection that failed is dropped and made anew
// at the next use.
//
// `send` writes the command (with whatever travels in the same write, a
// PING check, say) and returns the command's reply, or null when the
// connection failed. It runs on the caller's thread, on the caller's
// connection: the caller owns both and keeps others off them; nothing here
// locks or prints, and the caller reports what the result means to it.
redis_sent redis_send(redis_ptr& connection, const std::string& path, std::chrono::milliseconds timeout,
                      const std::function<reply_ptr(redisContext*)>& send);

// The pause before the next attempt to reach a server that has been away for
// `outage`: short at first, because a restarted server is back in a moment
// and events published meanwhile are lost to a subscriber that is not there,
// then once a second.
std::chrono::milliseconds reconnect_pause(std::chrono::steady_clock::duration outage);

// Makes connections to the device's server until one is made and `setup`
// (a SUBSCRIBE, say) succeeded on it, pausing between attempts as
// reconnect_pause says. Returns only with a usable connection.
redis_ptr redis_reconnect(std::chrono::milliseconds timeout,
                          const std::function<bool(redisContext*)>& setup = nullptr);

// Keeps a connection to the socket at path usable: a failed one is made anew
// at once; false when that did not work either.
bool redis_repair(redis_ptr& connection, const std::string& path, std::chrono::milliseconds timeout);

// The value of a pop reply (list name, value), or nothing for a nil reply
// (the wait timed out), an error reply, or anything else.
std::optional<std::string> popped_text(const redisReply* reply);
// The payload of a published message ("message", channel, payload).
std::optional<std::string> published_text(const redisReply* reply);

// A consumer of a list that loses nothing when it is killed: it moves each
// element atomically onto a processing list of its own (BRPOPLPUSH LIST
// PROCESSING 60, which every Redis a board may carry knows) and removes it
// there only once it is done with it. What the processing list still holds
// after a kill is taken again first, oldest first; at most the element in
// flight is done twice. An element that was done but could not be removed
// (the server went away in between) is removed once the server is back,
// not done again.
class refused_pops;

struct processing_list {
    const char* list;        // where the producers push (LPUSH)
    const char* processing;  // this consumer's own
    // A key of this consumer's that belongs to the element in flight (the
    // site log's sequence number), removed in the same step as the element;
    // none when null.
    const char* mark = nullptr;
    // Done, but its removal failed: removed, not handed out, when met again.
    std::optional<std::string> done_but_kept{};
    // Whether next() last handed out a left-over: an element that was on
    // the processing list already, from a pass (or a process) that did not
    // finish it.
    bool took_left_over = false;

    // Waits up to 60 s for the next element and moves it onto the
    // processing list. The reply: a string, nil on time-out, an error reply,
    // or null when the connection failed.
    reply_ptr take(redisContext* c) const;
    // The element is done: removed from the processing list, its mark
    // with it.
    bool finish(redisContext* c, const std::string& element);

    // The next element to work on: a left-over first, so the order stays,
    // else take()'s. Nothing on a time-out, a lost connection, an error
    // reply (after the refusal's pause), or when the pass only removed an
    // element that was done before.
    std::optional<std::string> next(redisContext* c, refused_pops& refused);
};
// The element of a take() reply.
std::optional<std::string> taken_text(const redisReply* reply);

// How the threads that block on Redis meet an error reply to a pop (the key
// holds another type than a list, so BRPOP answers at once, for as long as
// the key stays): they pause before the next attempt instead of asking again
// at once, and a run of error replies is reported once, not at every
// attempt.
inline constexpr std::chrono::seconds refused_pop_pause{1};

class refused_pops {
public:
    // How this program reports the first error reply of a run: a line that
    // names the list and gives the server's error text.
    using report_fn = void (*)(const std::string& line);

    refused_pops(const char* key, report_fn report) : key_(key), report_(report) {}

    // True when the reply is an error reply: the first of a run is reported
    // and the call returns after the pause. Any other reply ends a run.
    bool wait_out(const redisReply* reply);

private:
    const char* key_;
    report_fn report_;
    bool in_run_ = false;
};

// How many clients are subscribed to the channel (PUBSUB NUMSUB); 0 when
// the server cannot say.
long long redis_subscribers(redisContext* c, const std::string& channel);

// Waits for the next reply on a subscribed connection. While nothing arrives
// for `quiet`, the server is asked with PING (answered in subscribed mode as
// well, with a reply that is not a message); when no answer comes within
// `answer` the connection counts as lost. Null on a lost connection.
reply_ptr next_subscribed_reply(redisContext* c, std::chrono::milliseconds quiet, std::chrono::milliseconds answer);
