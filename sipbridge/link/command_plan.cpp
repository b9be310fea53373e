#include "sipbridge/link/command_plan.h"

#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/sip_address.h"
#include "sipbridge/link/bridge_rules.h"

namespace {

command_plan refused(std::string why)
{
    command_plan plan;
    plan.refusal = std::move(why);
    return plan;
}

// Selects the call's account and, once the user agent has named the call,
// the call itself.
void select_call(command_plan& plan, const ua_call& call)
{
    plan.requests.push_back({"uafind", call.aor});
    if (!call.id.empty())
        plan.requests.push_back({"callfind", call.id});
}

command_plan dial_plan(const ua_command& command, const station_view& accounts)
{
    command_plan plan;
    if (command.p2p) {
        const std::optional<std::string> target = p2p_target(command.number);
        if (!target)
            return refused("dial refused: \"" + command.number + "\" is no SIP address");
        plan.requests = {{"uafind", p2p_account_aor}, {"dial", *target}};
        return plan;
    }
    if (!valid_user_part(command.number))
        return refused("dial refused: \"" + command.number + "\" cannot stand as a SIP user part");
    const station_account* account = accounts.by_index(command.account_index);
    if (!account)
        return refused("dial refused: no enabled account has the index " + std::to_string(command.account_index));
    plan.requests = {{"uafind", account->aor}, {"dial", command.number}};
    return plan;
}

command_plan play_plan(const ua_command& command)
{
    // The player takes URLs, "-" (its standard input) and paths relative to
    // wherever it runs as well as files; a sound is a file of the device.
    if (!playable_path(command.sound))
        return refused("play refused: \"" + command.sound + "\" is not an absolute path of a sound file");
    if (command.count.size() > 2 || std::stoi(command.count) > most_plays)
        return refused("play refused: more than " + std::to_string(most_plays) + " repeats of " + command.sound);
    command_plan plan;
    plan.play = true;
    plan.sound = command.sound;
    plan.count = std::stoi(command.count);
    if (plan.count == 0)
        return refused("play refused: a repeat count of 0 plays nothing");
    return plan;
}

}  // namespace

bool playable_path(const std::string& path)
{
    return !path.empty() && path.front() == '/';
}

command_plan plan_command(const ua_command& command, const station_view& accounts, const call_book& calls)
{
    command_plan plan;
    switch (command.kind) {
    case command_kind::dial:
        return dial_plan(command, accounts);
    case command_kind::accept:
        if (const ua_call* call = calls.ringing_in())
            select_call(plan, *call);
        plan.requests.push_back({"accept", ""});
        return plan;
    case command_kind::hangup:
        // Without a call the user agent's hangup does nothing, harmlessly:
        // a call whose first event is still on its way is ended all the same.
        if (const ua_call* call = calls.current())
            select_call(plan, *call);
        plan.requests.push_back({"hangup", ""});
        return plan;
    case command_kind::hangupall:
        // One call that cannot be selected must not keep the others up.
        plan.stop_at_refusal = false;
        for (const ua_call& call : calls.newest_first()) {
            select_call(plan, call);
            plan.requests.push_back({"hangup", ""});
        }
        if (plan.requests.empty())
            plan.requests.push_back({"hangup", ""});
        return plan;
    case command_kind::play:
        return play_plan(command);
    case command_kind::malformed:
    case command_kind::unknown:
        break;
    }
    // The text as received, cut short, so that a sender can be found.
    const std::string shown = command.text.substr(0, 120);
    return refused((command.name.empty() ? std::string("command") : command.name) + " refused: " + command.problem +
                   ": " + shown);
}
