#include "sipbridge/link/bridge.h"

#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/process.h"
#include "common/record_text.h"
#include "common/redis_link.h"
#include "common/redis_trust.h"
#include "common/station_accounts.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/tls_destinations.h"
#include "sipbridge/link/bridge_rules.h"
#include "sipbridge/link/command_plan.h"
#include "sipbridge/link/event_translation.h"
#include "sipbridge/link/local_player.h"
#include "sipbridge/link/relay_watch.h"

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

// The call status of every registered account, by address of record, as
// the bridge's state stood when an update was made.
using status_snapshot = std::map<std::string, account_call_status>;

// An update on its way to Redis with the statuses it leaves behind: a key
// that is written afresh is written from these.
struct posted_update {
    station_update update;
    status_snapshot statuses;
};

// The publisher: station updates in, Redis writes out, in order. It owns
// its connection and never sees the bridge's state, only what is posted.
class publisher {
public:
    void post(posted_update posted)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(posted));
        }
        wake_.notify_one();
    }

    [[noreturn]] void run()
    {
        for (;;) {
            posted_update posted;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return !queue_.empty(); });
                posted = std::move(queue_.front());
                queue_.pop_front();
            }
            carry_out(posted);
        }
    }

private:
    // A command that failed is sent once more on a new connection: the
    // server may have restarted since the last one. A new connection may
    // meet a server that has lost the keys, so they are all written anew.
    // An error reply counts as not written; it is not sent again, as the
    // server has seen it and refused it.
    template <typename... Args>
    void write(const char* format, Args... args)
    {
        const redis_sent sent = redis_send(redis_, station_path(redis_socket), command_timeout,
                                           [&](redisContext* c) { return redis_command(c, format, args...); });
        if (sent.reconnected)
            rewrite_due_ = true;
        if (sent.reply && sent.reply->type != REDIS_REPLY_ERROR) {
            if (lost_) {
                lost_ = false;
                say("Redis reachable again");
            }
            return;
        }
        if (!lost_)
            say("Redis not reachable: events and call-status keys wait for it");
        lost_ = true;
    }

    void write_status(const std::string& aor, const std::optional<account_call_status>& status,
                      const station_view& accounts)
    {
        for (const station_account& account : accounts.enabled) {
            if (account.aor != aor)
                continue;
            if (status)
                write("SET %s %s", account.status_key.c_str(), call_status_text(*status).c_str());
            else
                write("DEL %s", account.status_key.c_str());
        }
    }

    void carry_out(const posted_update& posted)
    {
        const station_update& update = posted.update;
        for (const std::string& event : update.events) {
            if (debug_mode)
                std::printf("%s [%s]\n", session_channel, event.c_str());
            write("PUBLISH %s %s", session_channel, event.c_str());
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
            write_all_statuses(accounts, posted.statuses);
        }
    }

    // An account that is not registered loses its key.
    void write_all_statuses(const station_view& accounts, const status_snapshot& statuses)
    {
        for (const station_account& account : accounts.enabled) {
            const auto found = statuses.find(account.aor);
            write_status(account.aor,
                         found == statuses.end() ? std::nullopt : std::optional<account_call_status>(found->second),
                         accounts);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<posted_update> queue_;
    redis_ptr redis_;
    bool lost_ = false;
    bool rewrite_due_ = false;
};

class bridge {
public:
    explicit bridge(const ua_address& user_agent)
        : link_(user_agent, {[this] { on_connected(); }, [this](const cJSON* e) { on_event(e); },
                             [this] { on_closed(); }, say})
    {
    }

    [[noreturn]] void run()
    {
        set_server_trust_report([](bool, const std::string& line) { say(line); });
        try {
            std::thread([this] { publisher_.run(); }).detach();
            std::thread([this] { link_.run(); }).detach();
            std::thread([this] {
                watch_relay_verdicts(
                    [this](const std::string& destination, const std::string& reason) { on_refused(destination, reason); });
            }).detach();
        } catch (const std::system_error&) {
            say("cannot start its threads");
            end_process(1);
        }
        take_commands();
    }

private:
    // Hands an update to the publisher with the statuses the state holds
    // now. Called under state_mutex_, so the updates queue in the order the
    // state changed.
    void post(station_update update)
    {
        for (const std::string& note : update.notes)
            say(note);
        if (update.events.empty() && update.statuses.empty() && !update.all_statuses)
            return;
        status_snapshot statuses;
        for (const std::string& aor : state_.registered())
            statuses.emplace(aor, state_.calls().status_of(aor));
        publisher_.post({std::move(update), std::move(statuses)});
    }

    // Every key anew: after a Redis server restart they are gone.
    void post_all_statuses()
    {
        station_update update;
        update.all_statuses = true;
        std::lock_guard<std::mutex> lock(state_mutex_);
        post(std::move(update));
    }

    void on_connected()
    {
        // Registrations made before this connection have had their events:
        // the listing tells which accounts are registered now.
        link_.send("reginfo", "", [this](const ua_reply& reply) {
            if (!reply.answered)
                return;
            {
                std::lock_guard<std::mutex> lock(state_mutex_);
                post(state_.on_connected(reply.data));
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
        // A registration that failed at the relay's check of the server's
        // certificate: its reason is the relay's, not the user agent's.
        json_ptr relayed;
        const cJSON* type = cJSON_GetObjectItemCaseSensitive(event, event_field::type);
        const cJSON* aor = cJSON_GetObjectItemCaseSensitive(event, event_field::account);
        if (cJSON_IsString(type) && std::strcmp(type->valuestring, "REGISTER_FAIL") == 0 && cJSON_IsString(aor))
            if (const std::optional<std::string> reason = tls_failure_reason(aor->valuestring)) {
                relayed.reset(cJSON_Duplicate(event, true));
                if (relayed) {
                    cJSON_DeleteItemFromObjectCaseSensitive(relayed.get(), event_field::param);
                    cJSON_AddStringToObject(relayed.get(), event_field::param, reason->c_str());
                    event = relayed.get();
                }
            }
        std::lock_guard<std::mutex> lock(state_mutex_);
        post(state_.on_event(event));
    }

    // The relay refused a TLS server: its accounts that are not registered
    // fail now, with the relay's reason (the user agent's own failure comes
    // half a minute later, with the same reason, and adds no entry).
    void on_refused(const std::string& destination, const std::string& reason)
    {
        for (const std::string& aor : tls_accounts_reaching(destination)) {
            json_ptr event(cJSON_CreateObject());
            if (!event)
                return;
            cJSON_AddBoolToObject(event.get(), event_field::event, true);
            cJSON_AddStringToObject(event.get(), event_field::type, "REGISTER_FAIL");
            cJSON_AddStringToObject(event.get(), event_field::event_class, "register");
            cJSON_AddStringToObject(event.get(), event_field::account, aor.c_str());
            cJSON_AddStringToObject(event.get(), event_field::param, reason.c_str());
            std::lock_guard<std::mutex> lock(state_mutex_);
            if (state_.registered().count(aor) == 0)
                post(state_.on_event(event.get()));
        }
    }

    void on_closed()
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        post(state_.on_user_agent_gone());
    }

    [[noreturn]] void take_commands()
    {
        // Each connection of this thread may be the first to a restarted
        // server, which has lost the call-status keys.
        redis_ptr redis = redis_reconnect(blocking_read_timeout);
        post_all_statuses();
        refused_pops refusals(control_list, [](const std::string& line) { say(line); });
        for (;;) {
            reply_ptr reply = redis_command(redis.get(), "BRPOP %s %d", control_list, 60);
            if (!reply) {
                say(std::string(control_list) + " connection lost, reconnecting");
                redis = redis_reconnect(blocking_read_timeout);
                say(std::string(control_list) + " connection made again");
                post_all_statuses();
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
            std::printf("%s [%s]\n", control_list, text.c_str());
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
