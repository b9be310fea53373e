#include "orvanel/relay/door_code.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include "common/oplog.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"
#include "orvanel/relay/door_code_guard.h"
#include "orvanel/relay/relay_triggers.h"

namespace {

door_code_guard guard;
bool restored = false;
bool outside_call_said = false;

door_code_guard::time_point now()
{
    return door_code_guard::clock::now();
}

// The end of a lockout is written when it comes, by a thread that sleeps
// until then; nothing else waits on it.
void note_unlock_after(std::chrono::milliseconds wait)
{
    try {
        std::thread([wait] {
            std::this_thread::sleep_for(wait);
            log_print(LEVEL_NOTICE, "DTMF unlocked: the door code is taken again\n");
            write_oplog("FUNCTION", "DTMF UNLOCKED", "");
        }).detach();
    } catch (const std::system_error&) {
        log_print(LEVEL_WARN, "create thread of the DTMF unlock failed\n");
    }
}

// Redis keeps what a restart must not forget. A failure leaves the limits in
// force in this process, and the message log says what a restart would lose.
void keep(const char* format, const std::string& value, const std::string& expiry)
{
    pooled_connection c(redis_pool.get());
    reply_ptr reply = c ? redis_command(c.get(), format, value.c_str(), expiry.c_str()) : nullptr;
    if (!reply || reply->type == REDIS_REPLY_ERROR)
        log_print(LEVEL_WARN, "cannot keep the DTMF lockout in Redis: a restart of orvanel would end it\n");
}

void keep_wrong_digits()
{
    const std::string value = std::to_string(guard.wrong_digits()) + " " + std::to_string(guard.lockouts());
    const auto day = std::chrono::duration_cast<std::chrono::seconds>(door_code_guard::memory);
    keep("SET " STATION_DOOR_GUARD_KEY " %s EX %s", value, std::to_string(day.count()));
}

void keep_lockout(std::chrono::seconds length)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(length);
    keep("SET " STATION_DOOR_LOCKOUT_KEY " %s PX %s", std::to_string(length.count()), std::to_string(ms.count()));
}

void forget_wrong_digits()
{
    pooled_connection c(redis_pool.get());
    if (c)
        redis_command(c.get(), "DEL %s", door_guard_key);
}

}  // namespace

void restore_dtmf_lockout()
{
    pooled_connection c(redis_pool.get());
    if (!c)
        return;
    const std::optional<door_code_guard::kept_state> kept = door_code_guard::read_kept(c.get());
    if (!kept)
        return;
    const std::chrono::milliseconds remaining = kept->remaining;
    restored = true;
    guard.restore(kept->wrong_digits, kept->lockouts, remaining, now());
    if (remaining.count() > 0) {
        log_print(LEVEL_WARN, "DTMF locked for %lld s more: a lockout from before the restart\n",
                  static_cast<long long>((remaining.count() + 999) / 1000));
        note_unlock_after(remaining);
    }
}

dtmf_take take_dtmf(const std::string& digits)
{
    dtmf_take take;
    // A call that has used up its tries costs nothing more, not even a
    // settings read: a flood of digits ends here.
    if (guard.call_locked())
        return take;
    take.recorded = true;
    if (relay_setting("dtmf", 8) != "yes")
        return take;  // no door code: the digits are only recorded
    if (!restored)
        restore_dtmf_lockout();

    const door_code_guard::time_point at = now();
    if (guard.locked(at)) {
        take.recorded = false;
        if (guard.first_refusal_in_call())
            log_print(LEVEL_NOTICE, "DTMF ignored: the door code is locked for %lld s more\n",
                      static_cast<long long>((guard.remaining(at).count() + 999) / 1000));
        return take;
    }
    take.code = relay_setting("dtmf_code", 32);
    take.tries = door_code_guard::tries_of_setting(relay_setting("dtmf_tries", 8));
    take.digits = digits.substr(0, guard.admit(digits.size(), take.code.size(), take.tries));
    take.collected = true;
    return take;
}

void relay_on_dtmf(const dtmf_take& take)
{
    if (!take.collected)
        return;
    const bool matched = collect_dtmf(dtmf_digits, take.digits, take.code);
    if (debug_mode)
        std::printf("DTMF is [%s]\n", one_line(dtmf_digits).c_str());
    const bool had_wrong_digits = guard.wrong_digits() > 0 || guard.lockouts() > 0;
    const door_code_guard::verdict verdict = guard.after(matched, take.code.size(), take.tries, now());
    if (matched) {
        switch_relay(true);
        if (relay_setting("mode", 16) == "delay")
            start_relay_reset("relay_ctrl:dtmf_reset_duration");
        dtmf_digits.clear();
        if (had_wrong_digits)
            forget_wrong_digits();
        return;
    }
    if (verdict.call_locked) {
        log_print(LEVEL_WARN, "DTMF locked for this call: %d wrong tries of the door code\n", take.tries);
        write_oplog("FUNCTION", "DTMF LOCKED", "call");
    }
    if (verdict.lockout.count() > 0) {
        const long long seconds = verdict.lockout.count();
        log_print(LEVEL_WARN, "DTMF locked for %lld s: wrong digits worth %d calls' tries since the last match\n",
                  seconds, door_code_guard::calls_to_lock);
        write_oplog("FUNCTION", "DTMF LOCKED", std::to_string(seconds) + " s");
        keep_lockout(verdict.lockout);
        note_unlock_after(verdict.lockout);
    }
    if (verdict.call_locked || verdict.lockout.count() > 0)
        keep_wrong_digits();
}

void dtmf_outside_call(int status)
{
    if (outside_call_said)
        return;
    outside_call_said = true;
    log_print(LEVEL_NOTICE, "DTMF ignored: no call is established (status %d)\n", status);
}

void dtmf_call_ended()
{
    // The call's wrong digits now count for the station; kept, so that a
    // restart does not give a caller who hangs up short of the limit a
    // fresh count.
    if (guard.call_ended())
        keep_wrong_digits();
    outside_call_said = false;
}
