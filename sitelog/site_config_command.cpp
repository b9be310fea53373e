#include "sitelog/site_config_command.h"

#include <cstdio>
#include <optional>
#include <string>

#include "common/station_root.h"
#include "sipbridge/config/ua_files.h"
#include "sitelog/site_config.h"

namespace {

void say(const std::string& line)
{
    std::printf("station-sitelog: %s\n", line.c_str());
}

void complain(const std::string& line)
{
    std::fprintf(stderr, "station-sitelog: %s\n", line.c_str());
}

// One file of the instance's folder brought to its text, or removed when it
// has none (written 0600 and given to the folder's owner, the instance's
// user, when root writes it); changed tells whether it differed.
bool bring(const std::string& dir, const char* name, const std::optional<std::string>& text, bool& changed)
{
    return bring_ua_file_reported("station-sitelog", dir, name, text, changed);
}

}  // namespace

site_outcome write_site_config()
{
    const site_plan plan = current_site_plan();
    const std::string dir = station_path(sitelog_dir());
    if (!plan.refusals.empty()) {
        for (const setting_refusal& refusal : plan.refusals)
            complain(refusal_text(refusal));
        complain("nothing written: " + dir + " keeps the configuration it had");
        return site_outcome::refused;
    }

    bool changed = false;
    if (!plan.forwarding) {
        // The configuration goes first: without it the instance does not
        // start, whatever else is left.
        if (!bring(dir, sitelog_config_name, std::nullopt, changed) ||
            !bring(dir, sitelog_ca_name, std::nullopt, changed))
            return site_outcome::refused;
        say(changed ? "no log_server in [site]: removed " + dir + "/" + sitelog_config_name + ", nothing is forwarded"
                    : "no log_server in [site]: nothing is forwarded");
        return changed ? site_outcome::changed : site_outcome::unchanged;
    }

    // The CA first, which the configuration names.
    const std::string config = site_rsyslog_config(*plan.forwarding, rooted_instance_paths());
    if (!bring(dir, sitelog_ca_name, plan.ca_text, changed) || !bring(dir, sitelog_config_name, config, changed))
        return site_outcome::refused;
    say(std::string(changed ? "wrote " : "unchanged: ") + dir + "/" + sitelog_config_name + ": forwarding to " +
        plan.forwarding->address() + " over TLS, the certificate for " + plan.forwarding->peer_name);
    return changed ? site_outcome::changed : site_outcome::unchanged;
}
