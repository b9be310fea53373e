// The limits on the door code, as pure rules: how many digits a call may
// send without the code, and how long the whole station refuses every code
// once its calls have sent too many wrong digits. Time comes in from the
// caller (a steady clock), so the rules are tested without waiting. Beside
// them, read_kept() reads back the state that orvanel keeps in Redis.
//
// A call may send tries x (code length) digits, counted from its start or
// from its last match; past that its digits are ignored and the call is
// locked. The station counts the wrong digits of its calls since the last
// match: once they come to calls_to_lock calls' worth of tries (three
// locked calls, or more calls that each stopped short of their limit), it is
// locked for first_lockout, each further lockout doubling up to
// longest_lockout. A caller who hangs up before the limit therefore gains
// nothing but the cost of another call. A match forgets the wrong digits and
// the doubling, and so does a day without a wrong digit. The empty code,
// which every digit matches, is never limited.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include <hiredis/hiredis.h>

class door_code_guard {
public:
    using clock = std::chrono::steady_clock;
    using time_point = clock::time_point;

    static constexpr int default_tries = 3;
    static constexpr int calls_to_lock = 3;
    static constexpr std::chrono::seconds first_lockout{60};
    static constexpr std::chrono::seconds longest_lockout{3600};
    static constexpr std::chrono::hours memory{24};
    // The most lockouts in a row and wrong digits that are counted; the
    // length stops doubling long before, and a kept count beyond any tries
    // setting still locks at the next wrong digit.
    static constexpr int most_lockouts = 64;
    static constexpr long most_kept_digits = 1L << 30;

    // The call has used up its tries: its digits are ignored until it ends.
    bool call_locked() const { return call_locked_; }

    // True the first time a lockout refuses digits of the current call, so
    // that the refusal is said once per call.
    bool first_refusal_in_call();

    // Counts one event's digits against the call's tries; how many of them
    // still fit (the rest is ignored). Asked only while no lockout runs.
    std::size_t admit(std::size_t digits, std::size_t code_length, int tries);

    // What followed from the taken digits.
    struct verdict {
        bool call_locked = false;            // the call used up its tries just now
        std::chrono::seconds lockout{0};     // a station lockout began just now
    };
    verdict after(bool matched, std::size_t code_length, int tries, time_point now);

    // A call ended: its wrong digits count for the station, and the next
    // call starts with all its tries. True when the station's count changed.
    bool call_ended();

    bool locked(time_point now) const { return now < locked_until_; }
    std::chrono::milliseconds remaining(time_point now) const;
    // Wrong digits since the last match or lockout, the current call's
    // included, and the lockouts since the last match.
    std::size_t wrong_digits() const { return wrong_digits_ + call_digits_; }
    int lockouts() const { return lockouts_; }

    // The state kept outside the process, taken back after a restart; what
    // this process has seen meanwhile is not forgotten by it.
    void restore(long wrong_digits, int lockouts, std::chrono::milliseconds remaining, time_point now);

    // The state that orvanel keeps in Redis (door_lockout_key and
    // door_guard_key), as read back by orvanel after a restart and by the
    // installer's check; nothing when Redis did not answer.
    struct kept_state {
        long wrong_digits = 0;
        int lockouts = 0;
        std::chrono::milliseconds remaining{0};  // 0 when none runs
    };
    static std::optional<kept_state> read_kept(redisContext* c);

    // The length of a lockout after `earlier` lockouts without a match.
    static std::chrono::seconds lockout_length(int earlier);
    // How many lockouts in a row a lockout of this length is the last of (1
    // for the first lockout's length or less): a lockout taken back without
    // its count still doubles the next one.
    static int lockouts_up_to(std::chrono::seconds length);

    // The tries setting: a positive whole number, else the default.
    static int tries_of_setting(const std::string& text);

private:
    // The current call
    std::size_t call_digits_ = 0;
    bool call_locked_ = false;
    bool call_refused_ = false;
    // The whole station
    std::size_t wrong_digits_ = 0; // of the calls before this one
    int lockouts_ = 0;
    time_point locked_until_{};
    time_point last_wrong_digit_{};
    bool any_wrong_digit_ = false;
};

// Appends received digits to the call's collection, keeping the most recent
// dtmf_capacity of them; true when the collection now ends with the code.
bool collect_dtmf(std::string& collected, const std::string& digits, const std::string& code);
