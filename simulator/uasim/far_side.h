// The far side of the station's one call: what the user agent does with a
// command from the station, an action line and the passing of time. Every
// decision returns the effects in the order the loop carries them out
// (console lines, call-status keys, events), so the rules run without Redis,
// threads or a clock of their own.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/station_accounts.h"
#include "simulator/uasim/behaviours.h"
#include "simulator/uasim/ua_commands.h"
#include "simulator/uasim/ua_events.h"

using ua_clock = std::chrono::steady_clock;

enum class effect_kind { say, publish, set_status, exit_program };

struct ua_effect {
    effect_kind kind = effect_kind::say;
    std::string line;  // say, publish: the console line
    std::string text;  // publish: the event; set_status: the value
    std::string key;   // set_status: the call-status key
};
using ua_effects = std::vector<ua_effect>;

enum class call_phase { idle, dialling, ringing_in, established };

using behaviour_lookup = std::function<number_behaviour(const std::string& number)>;

class far_side {
public:
    // Registration of every enabled account, then the listing when P2P is on.
    ua_effects start_up(const station_view& station) const;

    ua_effects take_command(const ua_command& command, const station_view& station,
                            const behaviour_lookup& behaviour, ua_clock::time_point now);
    ua_effects take_action(const ua_action& action, const station_view& station,
                           const behaviour_lookup& behaviour, ua_clock::time_point now);
    // Runs what was due at `now` (an answer, a failure, a far-end hang-up).
    ua_effects run_due(ua_clock::time_point now);

    // When the next scheduled event is due; none while nothing waits.
    std::optional<ua_clock::time_point> next_due() const { return call_.due; }
    call_phase phase() const { return call_.phase; }

private:
    enum class due_kind { answer, failure, far_hangup };

    struct call {
        call_phase phase = call_phase::idle;
        call_parties parties;
        std::string number;      // as dialled or as calling in, for the console
        std::string status_key;  // empty when no account carries the call
        number_behaviour behaviour;
        std::optional<ua_clock::time_point> due;
        due_kind due_what = due_kind::answer;
    };

    void dial(const ua_command& command, const station_view& station, const behaviour_lookup& behaviour,
              ua_clock::time_point now, ua_effects& out);
    void call_in(const std::string& number, const station_view& station, const behaviour_lookup& behaviour,
                 ua_effects& out);
    void establish(ua_clock::time_point now, ua_effects& out);
    void close(const std::string& reason, ua_effects& out);
    void set_status(const char* status, ua_effects& out) const;
    std::string call_summary() const;

    call call_;
};
