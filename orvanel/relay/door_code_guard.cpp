#include "orvanel/relay/door_code_guard.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "common/c_holders.h"
#include "common/station_protocol.h"
#include "orvanel/core/call_state.h"

bool door_code_guard::first_refusal_in_call()
{
    const bool first = !call_refused_;
    call_refused_ = true;
    return first;
}

std::size_t door_code_guard::admit(std::size_t digits, std::size_t code_length, int tries)
{
    if (call_locked_)
        return 0;
    if (code_length == 0)
        return digits;
    const std::size_t limit = static_cast<std::size_t>(tries) * code_length;
    const std::size_t usable = std::min(digits, limit - std::min(limit, call_digits_));
    call_digits_ += usable;
    return usable;
}

door_code_guard::verdict door_code_guard::after(bool matched, std::size_t code_length, int tries, time_point now)
{
    verdict result;
    if (matched) {
        call_digits_ = 0;
        wrong_digits_ = 0;
        lockouts_ = 0;
        return result;
    }
    if (code_length == 0 || call_digits_ == 0)
        return result;
    if (any_wrong_digit_ && now - last_wrong_digit_ >= memory) {
        wrong_digits_ = 0;
        lockouts_ = 0;
    }
    any_wrong_digit_ = true;
    last_wrong_digit_ = now;

    const std::size_t limit = static_cast<std::size_t>(tries) * code_length;
    if (!call_locked_ && call_digits_ >= limit) {
        call_locked_ = true;
        result.call_locked = true;
    }
    // The station counts digits, not locked calls: a caller who hangs up
    // one digit short of the call's limit and calls again is held to the
    // same number of tries as one who uses them up.
    if (wrong_digits_ + call_digits_ < calls_to_lock * limit)
        return result;
    // The call that brings the lockout ends its own tries with it, so its
    // digits after the lockout count for nothing either.
    call_locked_ = true;
    call_digits_ = 0;
    wrong_digits_ = 0;
    result.lockout = lockout_length(lockouts_++);
    locked_until_ = now + result.lockout;
    return result;
}

bool door_code_guard::call_ended()
{
    const bool counted = call_digits_ > 0;
    wrong_digits_ += call_digits_;
    call_digits_ = 0;
    call_locked_ = false;
    call_refused_ = false;
    return counted;
}

std::chrono::milliseconds door_code_guard::remaining(time_point now) const
{
    if (!locked(now))
        return std::chrono::milliseconds{0};
    return std::chrono::ceil<std::chrono::milliseconds>(locked_until_ - now);
}

void door_code_guard::restore(long wrong_digits, int lockouts, std::chrono::milliseconds remaining_time,
                              time_point now)
{
    wrong_digits_ = std::max(wrong_digits_, static_cast<std::size_t>(std::clamp(wrong_digits, 0L, most_kept_digits)));
    lockouts_ = std::max(lockouts_, std::clamp(lockouts, 0, most_lockouts));
    // The kept counts expire a day after the last wrong digit; here they
    // count from the restart.
    if (wrong_digits_ > 0 || lockouts_ > 0) {
        any_wrong_digit_ = true;
        last_wrong_digit_ = now;
    }
    const std::chrono::milliseconds left = std::clamp(remaining_time, std::chrono::milliseconds{0},
                                                       std::chrono::milliseconds{longest_lockout});
    locked_until_ = std::max(locked_until_, now + left);
}

std::chrono::seconds door_code_guard::lockout_length(int earlier)
{
    std::chrono::seconds length = first_lockout;
    for (int i = 0; i < earlier && length < longest_lockout; ++i)
        length *= 2;
    return std::min(length, std::chrono::seconds{longest_lockout});
}

int door_code_guard::lockouts_up_to(std::chrono::seconds length)
{
    const std::chrono::seconds reached = std::min(length, std::chrono::seconds{longest_lockout});
    int lockouts = 1;
    while (lockout_length(lockouts - 1) < reached)
        ++lockouts;
    return lockouts;
}

int door_code_guard::tries_of_setting(const std::string& text)
{
    if (text.empty() || text.size() > 6)
        return default_tries;
    for (const char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return default_tries;
    const int tries = std::stoi(text);
    return tries > 0 ? tries : default_tries;
}

bool collect_dtmf(std::string& collected, const std::string& digits, const std::string& code)
{
    collected += digits;
    if (collected.size() > dtmf_capacity)
        collected.erase(0, collected.size() - dtmf_capacity);
    if (collected.size() < code.size())
        return false;
    return collected.compare(collected.size() - code.size(), code.size(), code) == 0;
}

std::optional<door_code_guard::kept_state> door_code_guard::read_kept(redisContext* c)
{
    if (!c)
        return std::nullopt;
    const reply_ptr counts = redis_command(c, "GET %s", door_guard_key);
    const reply_ptr left = redis_command(c, "PTTL %s", door_lockout_key);
    if (!counts || !left || left->type != REDIS_REPLY_INTEGER)
        return std::nullopt;
    kept_state kept;
    if (counts->type == REDIS_REPLY_STRING) {
        // "DIGITS LOCKOUTS"; what is not a number counts 0. Read without a
        // stream: iostreams would bring the C++ runtime's whole locale
        // machinery into the program.
        const std::string text(counts->str, counts->len);
        char* end = nullptr;
        const long digits = std::strtol(text.c_str(), &end, 10);
        const long locks = std::strtol(end, nullptr, 10);
        kept.wrong_digits = std::clamp(digits, 0L, most_kept_digits);
        kept.lockouts = static_cast<int>(std::clamp<long>(locks, 0, most_lockouts));
    }
    // -2: no lockout; -1: a key without expiry, which orvanel never writes:
    // taken as the longest lockout rather than for ever.
    if (left->integer == -1)
        kept.remaining = longest_lockout;
    else if (left->integer > 0)
        kept.remaining = std::chrono::milliseconds(left->integer);
    return kept;
}
