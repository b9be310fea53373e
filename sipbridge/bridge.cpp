#include "sipbridge/bridge.h"

#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/process.h"
#include "common/record_text.h"
#include "common/redis_link.h"
#include "common/redis_trust.h"
#include "common/station_root.h"
#include "sipbridge/accounts_file.h"
#include "sipbridge/bridge_rules.h"
#include "sipbridge/command_plan.h"
#include "sipbridge/event_translation.h"
#include "sipbridge/local_player.h"
#include "sipbridge/station_accounts.h"
#include "sipbridge/station_commands.h"

namespace {

// One console line: a text from outside inside it (a play path, a number,
// the server's error text) cannot start a line of its own in the journal.
void say(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::printf("sipbridge: %s\n", one_line(line).c_str());
}

// Why the player must not be given the path, or empty when it names a
// regular file (through a link, too). A folder, a device or a FIFO would
// have the player read something that is no sound, or wait for ever.
std::string not_a_sound_file(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "does not exist";
        return std::string("cannot be looked at (") + std::strerror(errno) + ")";
    }
    if (S_ISREG(info.st_mode))
        return "";
    if (S_ISDIR(info.st_mode))
        return "is a folder, not a file";
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return "is a device, not a file";
    if (S_ISFIFO(info.st_mode))
        return "is a FIFO, not a file";
    return "is not a regular file";
}

// The publisher: station updates in, Redis writes out, in order.
class publisher {
public:
    void post(station_update update)
    {
        for (const std::string& note : update.notes)
            say(note);
        if (update.events.empty() && update.statuses.empty() && !update.all_statuses)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(update));
        }
        wake_.notify_one();
    }

    // Every key anew: after a Redis server restart they are gone.
    void post_all_statuses()
    {
        station_update update;
        update.all_statuses = true;
        post(std::move(update));
    }

    // The state the keys are computed from, under its own lock.
    void watch(std::mutex* state_mutex, const bridge_state* state)
    {
        state_mutex_ = state_mutex;
        state_ = state;
    }

    [[noreturn]] void run()
    {
        for (;;) {
            station_update update;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return !queue_.empty(); });
                update = std::move(queue_.front());
                queue_.pop_front();
            }
            carry_out(update);
        }
    }

private:
    // A command that failed is sent once more on a new connection: the
    // server may have restarted since the last one. A new connection may
    // meet a server that has lost the keys, so they are all written anew.
    bool write(const char* format, const std::string& a, const std::string* b = nullptr)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!redis_usable(redis_.get())) {
                if (!redis_repair(redis_, station_path(redis_socket), command_timeout))
                    continue;
                rewrite_due_ = true;
            }
            reply_ptr reply = b ? redis_command(redis_.get(), format, a.c_str(), b->c_str())
                                : redis_command(redis_.get(), format, a.c_str());
            if (reply && reply->type != REDIS_REPLY_ERROR) {
                if (lost_) {
                    lost_ = false;
                    say("Redis reachable again");
                }
                return true;
            }
            if (redis_timed_out(redis_.get()))
                break;  // the command may still run: not sent twice
        }
        if (!lost_)
            say("Redis not reachable: events and call-status keys wait for it");
        lost_ = true;
        return false;
    }

    void write_status(const std::string& aor, const std::optional<account_call_status>& status,
                      const station_view& accounts)
    {
        for (const station_account& account : accounts.enabled) {
            if (account.aor != aor)
                continue;
            if (status) {
                const std::string value = call_status_text(*status);
                write("SET %s %s", account.status_key, &value);
            } else {
                write("DEL %s", account.status_key);
            }
        }
    }

    void carry_out(const station_update& update)
    {
        for (const std::string& event : update.events) {
            if (debug_mode)
                std::printf("session-channel [%s]\n", event.c_str());
            write("PUBLISH session-channel %s", event);
        }
        // The keys are named from the settings, read only when a key is due.
        const bool all = update.all_statuses || rewrite_due_;
        if (update.statuses.empty() && !all)
            return;
        const station_view accounts = read_station_view();
        for (const auto& [aor, status] : update.statuses)
            write_status(aor, status, accounts);
        if (all) {
            rewrite_due_ = false;
            write_all_statuses(accounts);
        }
    }

    void write_all_statuses(const station_view& accounts)
    {
        std::vector<std::pair<std::string, std::optional<account_call_status>>> statuses;
        {
            std::lock_guard<std::mutex> lock(*state_mutex_);
            for (const station_account& account : accounts.enabled) {
                if (state_->registered().count(account.aor))
                    statuses.emplace_back(account.aor, state_->calls().status_of(account.aor));
                else
                    statuses.emplace_back(account.aor, std::nullopt);
            }
        }
        for (const auto& [aor, status] : statuses)
            write_status(aor, status, accounts);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<station_update> queue_;
    redis_ptr redis_;
    bool lost_ = false;
    bool rewrite_due_ = false;
    std::mutex* state_mutex_ = nullptr;
    const bridge_state* state_ = nullptr;
};

class bridge {
public:
    explicit bridge(const ua_address& user_agent)
        : link_(user_agent, {[this] { on_connected(); }, [this](const cJSON* e) { on_event(e); },
                             [this] { on_closed(); }, say})
    {
        publisher_.watch(&state_mutex_, &state_);
    }

    [[noreturn]] void run()
    {
        set_server_trust_report([](bool, const std::string& line) { say(line); });
        try {
            std::thread([this] { publisher_.run(); }).detach();
            std::thread([this] { link_.run(); }).detach();
        } catch (const std::system_error&) {
            say("cannot start its threads");
            end_process(1);
        }
        take_commands();
    }

private:
    void on_connected()
    {
        // Registrations made before this connection have had their events:
        // the listing tells which accounts are registered now.
        link_.send("reginfo", "", [this](const ua_reply& reply) {
            if (!reply.answered)
                return;
            {
                std::lock_guard<std::mutex> lock(state_mutex_);
                publisher_.post(state_.on_connected(reply.data));
            }
            for (const std::string& aor : failed_in_listing(reply.data))
                register_again(aor);
        });
    }

    // An account that failed before this connection had its failure event,
    // with the reason, when no one listened, and the user agent tries again
    // only after half a minute or more. baresip 1.0.0 has no command to
    // register an account now: the account is deleted and made anew from
    // the settings, and the new one's events reach the station.
    void register_again(const std::string& aor)
    {
        const std::optional<std::string> line = accounts_line_of(aor);
        if (!line) {
            say(aor + " failed to register; the settings give it no line to register it again with");
            return;
        }
        say(aor + " failed to register before the bridge connected: registering it again");
        link_.send("uadel", aor, [this, aor, line = *line](const ua_reply& deleted) {
            if (!deleted.answered || !deleted.ok) {
                say("the user agent did not delete " + aor + " to register it again");
                return;
            }
            link_.send("uanew", line, [aor](const ua_reply& made) {
                if (!made.answered || !made.ok)
                    say("the user agent did not make " + aor + " again: it has no such account until it restarts");
            });
        });
    }

    void on_event(const cJSON* event)
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        publisher_.post(state_.on_event(event));
    }

    void on_closed()
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        publisher_.post(state_.on_user_agent_gone());
    }

    [[noreturn]] void take_commands()
    {
        // Each connection of this thread may be the first to a restarted
        // server, which has lost the call-status keys.
        redis_ptr redis = redis_reconnect(blocking_read_timeout);
        publisher_.post_all_statuses();
        refused_pops refusals("control-channel", [](const std::string& line) { say(line); });
        for (;;) {
            reply_ptr reply = redis_command(redis.get(), "BRPOP %s %d", "control-channel", 60);
            if (!reply) {
                say("control-channel connection lost, reconnecting");
                redis = redis_reconnect(blocking_read_timeout);
                say("control-channel connection made again");
                publisher_.post_all_statuses();
                continue;
            }
            if (refusals.wait_out(reply.get()))
                continue;
            if (const std::optional<std::string> text = popped_text(reply.get()))
                carry_out(*text);
        }
    }

    void carry_out(const std::string& text)
    {
        if (debug_mode)
            std::printf("control-channel [%s]\n", text.c_str());
        const ua_command command = parse_command(text);
        command_plan plan;
        {
            std::lock_guard<std::mutex> lock(state_mutex_);
            plan = plan_command(command, read_station_view(), state_.calls());
        }
        if (!plan.refusal.empty()) {
            say(plan.refusal);
            return;
        }
        if (plan.play) {
            play(plan);
            return;
        }
        for (const ua_request& request : plan.requests) {
            const ua_reply reply = link_.call(request.command, request.params);
            if (!reply.answered) {
                say(command.name + ": the user agent did not answer \"" + request.command + "\"" +
                    (link_.connected() ? "" : " (not connected)"));
                return;
            }
            if (!reply.ok) {
                say(command.name + ": the user agent refused \"" + request.command + " " + request.params + "\"");
                if (plan.stop_at_refusal)
                    return;
            }
        }
    }

    void play(const command_plan& plan)
    {
        // The path names a file of the device, under the station root when
        // there is one.
        const std::string path = station_path(plan.sound);
        const std::string problem = not_a_sound_file(path);
        if (!problem.empty()) {
            say("play refused: " + path + " " + problem);
            return;
        }
        std::string error;
        if (player_.play(path, plan.count, error))
            say("playing " + path + " " + std::to_string(plan.count) + " times");
        else
            say("play: " + error + ", " + path + " not played");
    }

    std::mutex state_mutex_;
    bridge_state state_;
    publisher publisher_;
    ua_link link_;
    local_player player_;
};

}  // namespace

void run_bridge(const ua_address& user_agent)
{
    static bridge the_bridge(user_agent);
    the_bridge.run();
}
