#include "simulator/uasim/user_agent.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include <unistd.h>

#include "common/c_holders.h"
#include "common/process.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "simulator/uasim/far_side.h"

namespace {

constexpr std::size_t longest_line = 300;
constexpr std::chrono::milliseconds longest_wait{5000};
constexpr std::chrono::seconds listener_wait{10};

void say(const std::string& text)
{
    std::fputs(console_line(text).c_str(), stdout);
}

// The user agent blocks at most longest_wait in BRPOP, well inside the read
// time-out of a blocking connection.
redis_ptr connect_redis(std::string& error)
{
    return redis_open_device(blocking_read_timeout, &error);
}

long long session_listeners(redisContext* c)
{
    return redis_subscribers(c, session_channel);
}

// The station subscribes to session-channel once it is up; events published
// before that would be lost, so give it a moment.
void wait_for_listener(redisContext* c)
{
    const auto deadline = ua_clock::now() + listener_wait;
    if (session_listeners(c) > 0)
        return;
    say(std::string("waiting for a listener on ") + session_channel);
    while (ua_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (session_listeners(c) > 0)
            return;
    }
    say(std::string("nobody listens on ") + session_channel + ": going on");
}

void carry_out(redisContext* c, const ua_effects& effects)
{
    for (const ua_effect& e : effects) {
        switch (e.kind) {
        case effect_kind::say:
            say(e.line);
            break;
        case effect_kind::publish:
            say("event " + e.line);
            if (debug_mode)
                say(std::string("PUBLISH ") + session_channel + " " + e.text);
            redis_command(c, "PUBLISH %s %s", session_channel, e.text.c_str());
            break;
        case effect_kind::set_status:
            if (debug_mode)
                say("SET " + e.key + " " + e.text);
            redis_command(c, "SET %s %s", e.key.c_str(), e.text.c_str());
            break;
        case effect_kind::exit_program:
            say("exit");
            end_process(0);
        }
    }
}

// The time left, at least one millisecond, as the decimal seconds that
// BRPOP takes ("0" would block for ever).
std::string brpop_timeout(std::chrono::milliseconds left)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(std::max<long long>(left.count(), 1)) / 1000.0);
    return text;
}

void reconnect(redis_ptr& connection)
{
    say("lost the Redis connection: connecting again");
    connection = redis_reconnect(blocking_read_timeout);
    say("connected to Redis again");
}

behaviour_lookup file_behaviours()
{
    return [](const std::string& number) { return behaviour_of(number); };
}

void handle(redisContext* c, far_side& side, const redisReply* reply)
{
    const std::optional<std::string> popped = popped_text(reply);
    if (!popped || reply->element[0]->type != REDIS_REPLY_STRING)
        return;
    const std::string list(reply->element[0]->str, reply->element[0]->len);
    const std::string& text = *popped;
    if (debug_mode)
        say(list + " [" + text + "]");
    if (list == control_list)
        carry_out(c, side.take_command(parse_command(text), read_station_view(), file_behaviours(), ua_clock::now()));
    else
        carry_out(c, side.take_action(parse_action(text), read_station_view(), file_behaviours(), ua_clock::now()));
}

[[noreturn]] void run(redis_ptr connection, far_side& side)
{
    for (;;) {
        carry_out(connection.get(), side.run_due(ua_clock::now()));

        auto wait = longest_wait;
        if (const auto due = side.next_due()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - ua_clock::now());
            if (left.count() <= 0)
                continue;  // due already: run it before waiting
            wait = std::min(wait, left);
        }
        const std::string timeout = brpop_timeout(wait);
        reply_ptr reply =
            redis_command(connection.get(), "BRPOP %s %s %s", control_list, actions_list, timeout.c_str());
        if (reply && reply->type == REDIS_REPLY_ARRAY)
            handle(connection.get(), side, reply.get());
        else if (!reply || connection->err)
            reconnect(connection);
        // A nil reply is the time-out: the next turn runs what is due.
    }
}

}  // namespace

std::string console_line(const std::string& text)
{
    std::string line = "uasim: ";
    const std::size_t shown = std::min(text.size(), longest_line);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        line += u < 0x20 || u == 0x7f ? '?' : text[i];
    }
    if (shown < text.size())
        line += "...";
    line += '\n';
    return line;
}

int uasim_main(int argc, char** argv)
{
    start_program(argc, argv);

    std::string error;
    redis_ptr connection = connect_redis(error);
    if (!connection) {
        say("cannot connect to Redis at " + station_path(redis_socket) + ": " + error);
        return 1;
    }
    wait_for_listener(connection.get());

    if (access(station_path(behaviour_file).c_str(), R_OK) == 0)
        say("far-end behaviours from " + station_path(behaviour_file));
    else
        say("no " + station_path(behaviour_file) + ": every number answers after 2 s");

    far_side side;
    carry_out(connection.get(), side.start_up(read_station_view()));
    say("ready");
    run(std::move(connection), side);
}
