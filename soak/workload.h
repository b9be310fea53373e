// The soak's steady work, one round at a time, as the station meets it on a
// wall: another program's operation-log entry, a visitor's key press, the
// call that follows (the soak plays the SIP user agent through Redis: it
// answers the dial command with the call's events and the door code), and
// another program's relay request whose effect is watched on gpio66. Each
// round records what it handed over and when, for the tally.
#pragma once

#include <memory>
#include <string>

#include "soak/soak_station.h"

struct round_record {
    int index = 0;
    bool entry_acked = false;  // "Other Event,soak entry N," is in Redis
    soak_clock::time_point entry_at{};

    soak_clock::time_point press_at{};
    enum class answer { none, dial, hangup } command = answer::none;
    bool call_delivered = false;  // every event of the call reached orvanel
    soak_clock::time_point call_begin{}, call_end{};

    bool relay_on_acked = false;  // the request is in Redis
    bool relay_acked = false;     // and so is the Off that follows it
    bool relay_on_seen = false, relay_off_seen = false;
    soak_clock::time_point relay_begin{}, relay_end{};
};

// Texts the tally looks for.
std::string soak_entry(int index);     // the entry as pushed
std::string soak_close_reason(int index);  // the close reason of round N's call
extern const char* const soak_relay_type;

class soak_workload {
public:
    explicit soak_workload(const kit_root& root) : root_(root) {}
    round_record run_round(int index);
    // LLEN of a list, -1 when the server cannot be reached.
    long long length(const char* list);

private:
    // A command on the soak's own connection, made anew when the server has
    // gone away; null when the server cannot be reached.
    reply_ptr command(const char* format, const std::string& a = "", const std::string& b = "");
    bool publish(const std::string& event);
    void call(round_record& r);
    void relay(round_record& r);

    const kit_root& root_;
    std::unique_ptr<redis_client> client_;
};
