#include "orvanel/relay/door_code.h"

#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/config.h"
#include "common/oplog.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"
#include "orvanel/relay/door_code_guard.h"
#include "orvanel/relay/lockout_file.h"
#include "orvanel/relay/relay_triggers.h"

namespace {

door_code_guard guard;
bool restored = false;          // Redis's counts are taken back
bool lockout_restored = false;  // the lockout of the file and Redis is taken back
bool outside_call_said = false;

door_code_guard::time_point now()
{
    return door_code_guard::clock::now();
}

// The lockout file belongs to the lockout that wrote it last. Each write
// counts a generation, and an unlock thread removes the file only while the
// generation is still the one of its own lockout, so the end of one lockout
// never takes away the file of a later one. The mutex is held over the file's
// write or removal: the two threads that meet on it do nothing else then.
std::mutex lockout_file_mutex;
unsigned lockout_generation = 0;

// Writes the file for a lockout of `length` with `left` to run, synced
// before it returns; the generation that the lockout's unlock thread ends.
unsigned keep_lockout_file(std::chrono::seconds length, std::chrono::milliseconds left)
{
    const lockout_now at = lockout_clocks();
    lockout_record record;
    record.length = length;
    record.end = std::chrono::ceil<std::chrono::seconds>(at.wall + left);
    record.boot = at.boot;
    record.boot_end = at.boot_clock + left;
    const std::lock_guard<std::mutex> hold(lockout_file_mutex);
    ++lockout_generation;
    std::string error;
    if (!replace_lockout_file(lockout_file_path, lockout_record_text(record), error))
        log_print(LEVEL_WARN, "cannot keep the DTMF lockout on storage (%s): a power cut would end it\n",
                  error.c_str());
    return lockout_generation;
}

unsigned current_lockout_generation()
{
    const std::lock_guard<std::mutex> hold(lockout_file_mutex);
    return lockout_generation;
}

// The lockout is over (or was over before this start): its file goes, so
// that a later boot does not lock the code again.
void forget_lockout_file(unsigned generation)
{
    const std::lock_guard<std::mutex> hold(lockout_file_mutex);
    if (generation != lockout_generation)
        return;  // a later lockout wrote it
    std::string error;
    if (!remove_lockout_file(lockout_file_path, error))
        log_print(LEVEL_WARN, "%s: the next boot of the station locks the door code again\n", error.c_str());
}

// The end of a lockout is written when it comes, by a thread that sleeps
// until then; nothing else waits on it. The file goes first: an entry that
// says the lockout is over is never followed by the lockout coming back.
void note_unlock_after(std::chrono::milliseconds wait, unsigned generation)
{
    try {
        std::thread([wait, generation] {
            std::this_thread::sleep_for(wait);
            forget_lockout_file(generation);
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

void keep_lockout_in_redis(std::chrono::seconds length, std::chrono::milliseconds left)
{
    keep("SET " STATION_DOOR_LOCKOUT_KEY " %s PX %s", std::to_string(length.count()), std::to_string(left.count()));
}

// A lockout that begins is on storage and in Redis before anything says so;
// the generation its unlock thread ends.
unsigned keep_lockout(std::chrono::seconds length)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(length);
    const unsigned generation = keep_lockout_file(length, left);
    keep_lockout_in_redis(length, left);
    return generation;
}

void forget_wrong_digits()
{
    pooled_connection c(redis_pool.get());
    if (c)
        redis_command(c.get(), "DEL %s", door_guard_key);
}

long long whole_seconds(std::chrono::milliseconds time)
{
    return static_cast<long long>((time.count() + 999) / 1000);
}

// Takes back the lockout of the file and of Redis (nothing when Redis did
// not answer). False when neither had anything to say: the first digits of
// a call ask again.
bool restore_lockout(const std::optional<door_code_guard::kept_state>& kept)
{
    std::string error;
    const lockout_file_found file = read_lockout_file(lockout_file_path, error);
    if (!kept && file.found == lockout_file_found::state::absent)
        return false;
    const std::optional<std::chrono::milliseconds> redis_left =
        kept ? std::optional<std::chrono::milliseconds>(kept->remaining) : std::nullopt;
    const lockout_restore restore =
        lockout_to_restore(redis_left, file, lockout_clocks(), door_code_guard::longest_lockout);
    if (restore.remove_file)
        forget_lockout_file(current_lockout_generation());
    if (restore.why == lockout_restore::reason::none)
        return true;

    guard.restore(0, door_code_guard::lockouts_up_to(restore.length), restore.remaining, now());
    // What this start decided is kept as a lockout that began now, so that
    // a later restart in this boot counts on from here, and a later boot
    // again takes the whole length.
    const unsigned generation =
        restore.write_file ? keep_lockout_file(restore.length, restore.remaining) : current_lockout_generation();
    if (restore.set_redis && kept)
        keep_lockout_in_redis(restore.length, restore.remaining);

    const long long seconds = whole_seconds(restore.remaining);
    switch (restore.why) {
    case lockout_restore::reason::restart:
        log_print(LEVEL_WARN, "DTMF locked for %lld s more: a lockout from before the restart\n", seconds);
        break;
    case lockout_restore::reason::boot:
        log_print(LEVEL_WARN,
                  "DTMF locked for %lld s more: a lockout from before the station's last boot, resumed for its "
                  "whole length (how long the station was off is not known)\n",
                  seconds);
        break;
    case lockout_restore::reason::unreadable:
        if (error.empty())
            error = station_path(lockout_file_path) + " holds no lockout that orvanel wrote";
        log_print(LEVEL_WARN, "DTMF locked for %lld s more: %s, taken for the longest lockout\n", seconds,
                  error.c_str());
        break;
    case lockout_restore::reason::none:
        break;
    }
    note_unlock_after(restore.remaining, generation);
    return true;
}

}  // namespace

void restore_dtmf_lockout()
{
    std::optional<door_code_guard::kept_state> kept;
    {
        // Given back before the lockout is kept anew, which borrows a
        // connection of its own.
        pooled_connection c(redis_pool.get());
        if (c)
            kept = door_code_guard::read_kept(c.get());
    }
    if (!lockout_restored)
        lockout_restored = restore_lockout(kept);
    if (!kept)
        return;
    restored = true;
    guard.restore(kept->wrong_digits, kept->lockouts, std::chrono::milliseconds{0}, now());
}

dtmf_take take_dtmf(const std::string& digits)
{
    dtmf_take take;
    // A call that has used up its tries costs nothing more, not even a
    // settings read: a flood of digits ends here.
    if (guard.call_locked())
        return take;
    take.recorded = true;
    if (setting_value(setting::relay_dtmf) != "yes")
        return take;  // no door code: the digits are only recorded
    if (!restored)
        restore_dtmf_lockout();

    const door_code_guard::time_point at = now();
    if (guard.locked(at)) {
        take.recorded = false;
        if (guard.first_refusal_in_call())
            log_print(LEVEL_NOTICE, "DTMF ignored: the door code is locked for %lld s more\n",
                      whole_seconds(guard.remaining(at)));
        return take;
    }
    take.code = setting_value(setting::relay_dtmf_code);
    take.tries = door_code_guard::tries_of_setting(setting_value(setting::relay_dtmf_tries));
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
        open_relay("DTMF code");
        if (setting_value(setting::relay_dtmf_mode) == "delay")
            start_relay_reset(setting::relay_dtmf_reset_duration);
        dtmf_digits.clear();
        if (had_wrong_digits)
            forget_wrong_digits();
        return;
    }
    // What locks is kept before anything leaves the program: the lockout on
    // storage and in Redis, the counts in Redis. Only then the entries and
    // messages, and last the thread that ends the lockout. A power cut right
    // after the entry finds the lockout on storage.
    unsigned generation = 0;
    if (verdict.lockout.count() > 0)
        generation = keep_lockout(verdict.lockout);
    if (verdict.call_locked || verdict.lockout.count() > 0)
        keep_wrong_digits();
    if (verdict.call_locked) {
        log_print(LEVEL_WARN, "DTMF locked for this call: %d wrong tries of the door code\n", take.tries);
        write_oplog("FUNCTION", "DTMF LOCKED", "call");
    }
    if (verdict.lockout.count() > 0) {
        const long long seconds = verdict.lockout.count();
        log_print(LEVEL_WARN, "DTMF locked for %lld s: wrong digits worth %d calls' tries since the last match\n",
                  seconds, door_code_guard::calls_to_lock);
        write_oplog("FUNCTION", "DTMF LOCKED", std::to_string(seconds) + " s");
        note_unlock_after(verdict.lockout, generation);
    }
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
