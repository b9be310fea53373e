#include "simulator/uasim/far_side.h"

namespace {

constexpr const char* closed_by_user = "Connection reset by user";
constexpr const char* closed_by_peer = "Connection reset by peer [104]";
constexpr const char* register_timeout = "408 Request Timeout";

void say(ua_effects& out, std::string line)
{
    ua_effect e;
    e.kind = effect_kind::say;
    e.line = std::move(line);
    out.push_back(std::move(e));
}

void publish(ua_effects& out, ua_event event)
{
    ua_effect e;
    e.kind = effect_kind::publish;
    e.line = std::move(event.line);
    e.text = std::move(event.text);
    out.push_back(std::move(e));
}

void set_status_of(ua_effects& out, const std::string& key, const char* status)
{
    if (key.empty())
        return;
    ua_effect e;
    e.kind = effect_kind::set_status;
    e.key = key;
    e.text = status_value(status);
    out.push_back(std::move(e));
}

// The far end's URI: a full SIP URI stays as it is, a user part gets the
// account's host, and without a host the address stands alone.
std::string peer_uri(const std::string& number, const std::string& host)
{
    if (number.rfind("sip:", 0) == 0)
        return number;
    if (host.empty() || number.find('@') != std::string::npos)
        return "sip:" + number;
    return "sip:" + number + "@" + host;
}

std::vector<std::string> addresses(const station_view& station)
{
    std::vector<std::string> aors;
    for (const station_account& account : station.enabled)
        aors.push_back(account.aor);
    return aors;
}

}  // namespace

ua_effects far_side::start_up(const station_view& station) const
{
    ua_effects out;
    for (const station_account& account : station.enabled) {
        set_status_of(out, account.status_key, "idle");
        publish(out, register_ok_event(account.aor, true));
    }
    if (station.enabled.empty())
        say(out, "no account is enabled: nothing to register");
    if (station.p2p)
        publish(out, listing_reply(addresses(station)));
    return out;
}

ua_effects far_side::take_command(const ua_command& command, const station_view& station,
                                  const behaviour_lookup& behaviour, ua_clock::time_point now)
{
    ua_effects out;
    switch (command.kind) {
    case command_kind::dial:
        dial(command, station, behaviour, now, out);
        break;
    case command_kind::accept:
        if (call_.phase != call_phase::ringing_in) {
            say(out, "accept: no incoming call is ringing");
            break;
        }
        say(out, "accept: the station answers " + call_summary());
        establish(now, out);
        break;
    case command_kind::hangup:
    case command_kind::hangupall:
        if (call_.phase == call_phase::idle) {
            say(out, command.name + ": no call to end");
            break;
        }
        say(out, command.name + ": the station ends " + call_summary());
        close(closed_by_user, out);
        break;
    case command_kind::play:
        say(out, "play " + command.sound + " " + command.count + " times");
        break;
    case command_kind::malformed:
    case command_kind::unknown:
        say(out, "ignored command (" + command.problem + "): " + command.text);
        break;
    }
    return out;
}

ua_effects far_side::take_action(const ua_action& action, const station_view& station,
                                 const behaviour_lookup& behaviour, ua_clock::time_point now)
{
    ua_effects out;
    switch (action.kind) {
    case action_kind::call_in:
        call_in(action.argument, station, behaviour, out);
        break;
    case action_kind::dtmf: {
        const char* direction = call_.phase == call_phase::idle ? "incoming" : call_.parties.direction;
        say(out, "the far end sends DTMF " + action.argument);
        for (char digit : action.argument)
            publish(out, dtmf_event(direction, digit));
        break;
    }
    case action_kind::far_hangup:
        if (call_.phase == call_phase::idle) {
            say(out, "far-hangup: no call to end");
            break;
        }
        say(out, "far-hangup: the far end ends " + call_summary());
        close(closed_by_peer, out);
        break;
    case action_kind::answer:
        if (call_.phase != call_phase::dialling) {
            say(out, "answer: no outgoing call is ringing");
            break;
        }
        say(out, "answer: the far end answers " + call_summary());
        establish(now, out);
        break;
    case action_kind::register_ok:
    case action_kind::register_fail: {
        const station_account* account = station.by_number(action.account);
        if (!account) {
            say(out, "account " + std::to_string(action.account) + " is not enabled: nothing to register");
            break;
        }
        if (action.kind == action_kind::register_ok)
            publish(out, register_ok_event(account->aor, false));
        else
            publish(out, register_fail_event(account->aor, register_timeout));
        break;
    }
    case action_kind::listing:
        publish(out, listing_reply(addresses(station)));
        break;
    case action_kind::exit: {
        // The call ends with the user agent: its key must not say "ringing"
        // to a station that starts later.
        if (call_.phase != call_phase::idle)
            set_status("idle", out);
        publish(out, exit_event());
        ua_effect end;
        end.kind = effect_kind::exit_program;
        out.push_back(std::move(end));
        break;
    }
    case action_kind::malformed:
    case action_kind::unknown:
        say(out, "ignored action (" + action.problem + "): " + action.line);
        break;
    }
    return out;
}

ua_effects far_side::run_due(ua_clock::time_point now)
{
    ua_effects out;
    if (!call_.due || *call_.due > now)
        return out;
    call_.due.reset();
    switch (call_.due_what) {
    case due_kind::answer:
        say(out, "the far end answers " + call_summary());
        establish(now, out);
        break;
    case due_kind::failure:
        close(failure_reason(call_.behaviour.what), out);
        break;
    case due_kind::far_hangup:
        say(out, "the far end hangs up " + call_summary());
        close(closed_by_peer, out);
        break;
    }
    return out;
}

void far_side::dial(const ua_command& command, const station_view& station, const behaviour_lookup& behaviour,
                    ua_clock::time_point now, ua_effects& out)
{
    const std::string what = (command.p2p ? "P2P dial " : "dial ") + command.number;
    if (call_.phase != call_phase::idle) {
        say(out, what + " refused: " + call_summary() + " is in progress");
        return;
    }
    const station_account* account = command.p2p ? station.first() : station.by_index(command.account_index);
    if (!command.p2p && !account) {
        say(out, what + " refused: no enabled account has index " + std::to_string(command.account_index));
        return;
    }

    call next;
    next.phase = call_phase::dialling;
    next.number = command.number;
    next.parties.direction = "outgoing";
    next.parties.aor = account ? account->aor : "";
    next.parties.peer = peer_uri(command.number, command.p2p || !account ? "" : account->host);
    next.status_key = account ? account->status_key : "";
    next.behaviour = behaviour(command.number);
    if (next.behaviour.what != far_end::noanswer) {
        next.due = now + next.behaviour.after;
        next.due_what = next.behaviour.what == far_end::answer ? due_kind::answer : due_kind::failure;
    }
    call_ = std::move(next);

    say(out, what + (account ? " on " + account->aor : std::string()) + ": " + describe(call_.behaviour));
    set_status("ringing", out);
    publish(out, call_event("CALL_OUTGOING", call_.parties));
}

void far_side::call_in(const std::string& number, const station_view& station, const behaviour_lookup& behaviour,
                       ua_effects& out)
{
    if (call_.phase != call_phase::idle) {
        say(out, "call-in " + number + " refused: " + call_summary() + " is in progress");
        return;
    }
    const station_account* account = station.first();
    call next;
    next.phase = call_phase::ringing_in;
    next.number = number;
    next.parties.direction = "incoming";
    next.parties.aor = account ? account->aor : "";
    next.parties.peer = peer_uri(number, account ? account->host : "");
    next.status_key = account ? account->status_key : "";
    // Only the hang-up applies to a call the far end makes: it rings until
    // the station answers or ends it.
    next.behaviour = behaviour(number);
    call_ = std::move(next);

    say(out, "call-in from " + number + (account ? " to " + account->aor : std::string()));
    set_status("ring", out);
    publish(out, call_event("CALL_INCOMING", call_.parties));
}

void far_side::establish(ua_clock::time_point now, ua_effects& out)
{
    call_.phase = call_phase::established;
    call_.due.reset();
    if (call_.behaviour.hangup_after.count() > 0) {
        call_.due = now + call_.behaviour.hangup_after;
        call_.due_what = due_kind::far_hangup;
    }
    set_status("answer", out);
    publish(out, call_event("CALL_ESTABLISHED", call_.parties));
}

void far_side::close(const std::string& reason, ua_effects& out)
{
    const call_parties parties = call_.parties;
    set_status("idle", out);
    call_ = call{};
    publish(out, call_closed_event(parties, reason));
}

void far_side::set_status(const char* status, ua_effects& out) const
{
    set_status_of(out, call_.status_key, status);
}

std::string far_side::call_summary() const
{
    const char* state = call_.phase == call_phase::established ? "established" : "ringing";
    return std::string("the ") + state + " " + call_.parties.direction + " call with " + call_.number;
}
