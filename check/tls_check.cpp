#include "check/tls_check.h"

#include <sys/stat.h>

#include "common/process.h"
#include "common/station_root.h"

namespace {

constexpr const char* area = "sip";

std::string accounts_of(const tls_destination& destination)
{
    std::string out;
    for (const int n : destination.accounts)
        out += (out.empty() ? "account_info_" : ", account_info_") + std::to_string(n);
    return out;
}

std::string age(long long seconds)
{
    if (seconds < 120)
        return std::to_string(seconds < 0 ? 0 : seconds) + " s ago";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " min ago";
    return std::to_string(seconds / 3600) + " h ago";
}

}  // namespace

finding tls_verdict_finding(const tls_destination& destination, const std::optional<relay_verdict>& verdict,
                            long long now)
{
    const std::string item = "tls " + destination.address();
    const std::string who = destination.address() + " (" + accounts_of(destination) + ")";
    if (!verdict)
        return {area, item, verdict::warning,
                who + ": the relay has not connected there since it started; the accounts register through it"};
    const std::string when = age(now - verdict->time);
    using state = relay_verdict::state;
    switch (verdict->result) {
    case state::verified:
        return {area, item, verdict::ok,
                who + ": its certificate for " + destination.name + " verified against [sip] cafile " + when};
    case state::untrusted:
        return {area, item, verdict::error,
                who + ": certificate not trusted (" + verdict->detail + ", " + when +
                    "): the station sends it nothing; give [sip] cafile the authority that signed the server's "
                    "certificate"};
    case state::name_mismatch:
        return {area, item, verdict::error,
                who + ": name mismatch: its certificate does not carry " + destination.name + " (" + when +
                    "): the station sends it nothing; set tls_name to the name it carries"};
    case state::refused:
        return {area, item, verdict::error,
                who + ": certificate refused: " + verdict->detail + " (" + when + "): the station sends it nothing"};
    case state::unreachable:
        return {area, item, verdict::warning,
                who + ": unreachable at the relay's last try (" + verdict->detail + ", " + when +
                    "); check the address and the network"};
    case state::connecting:
        break;
    }
    return {area, item, verdict::warning, who + ": the relay's connection began " + when + " and has no outcome yet"};
}

findings check_tls_relay(const std::vector<settings_account>& accounts)
{
    findings out;
    const tls_plan plan = plan_tls_destinations(accounts);
    for (const setting_refusal& refusal : plan.refusals)
        out.push_back({area, refusal.section + " " + refusal.key, verdict::error,
                       refusal_text(refusal) + ": the user agent's configuration is not written while this stands "
                                               "(it keeps the one it had); correct the setting"});
    if (plan.destinations.empty())
        return out;
    const std::string stunnel = find_on_path(relay_program);
    const std::string run_dir = station_path(relay_run_dir);
    struct stat st {};
    if (stunnel.empty())
        out.push_back({area, "tls relay", verdict::error,
                       std::string(relay_program) +
                           " is not installed: the TLS accounts are refused and reach no server; install stunnel4"});
    else if (::stat((run_dir + "/" + relay_ready_name).c_str(), &st) != 0)
        out.push_back({area, "tls relay", verdict::error,
                       "the TLS relay does not listen (no " + run_dir + "/" + relay_ready_name +
                           "): the TLS accounts reach no server; systemctl status station-tls says why"});
    else
        out.push_back({area, "tls relay", verdict::ok, "the TLS relay listens (" + stunnel + ")"});
    const long long now = static_cast<long long>(std::time(nullptr));
    for (const tls_destination& destination : plan.destinations)
        out.push_back(tls_verdict_finding(destination, read_verdict(run_dir, destination.address()), now));
    return out;
}
