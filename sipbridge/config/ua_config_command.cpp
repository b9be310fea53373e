#include "sipbridge/config/ua_config_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include "common/file_text.h"
#include "common/process.h"
#include "common/station_root.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/tls_destinations.h"
#include "sipbridge/config/ua_config.h"
#include "sipbridge/config/ua_files.h"

namespace {

void say(const std::string& line)
{
    std::printf("sipbridge: %s\n", line.c_str());
}

void complain(const std::string& line)
{
    std::fprintf(stderr, "sipbridge: %s\n", line.c_str());
}

// One file of the folder brought to its new text (or removed when it has
// none); changed tells whether it differed.
bool bring(const std::string& dir, const char* name, const std::optional<std::string>& text, bool& changed)
{
    return bring_ua_file_reported("sipbridge", dir, name, text, changed);
}

// The TLS relay's files in its folder: its configuration and the copies of
// the CA and of the station's certificate (for a server that asks for the
// client's), the configuration last, since the relay's unit starts on it.
// None of them when no account uses TLS. A missing folder is a refusal
// only when the relay is needed.
bool bring_relay_files(const tls_plan& tls, const ua_config_plan& plan, bool& changed)
{
    const std::string dir = station_path(relay_dir);
    const bool needed = !tls.destinations.empty();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (!needed)
            return true;
        complain("the TLS relay's folder " + std::string(relay_dir) + " is missing (" + std::strerror(errno) +
                 "): TLS cannot be verified, and nothing is written; reinstall the package, which makes it");
        return false;
    }
    std::optional<std::string> config;
    if (needed)
        config = relay_config_text(tls.destinations, dir, station_path(relay_run_dir), plan.certificate.has_value());
    return bring(dir, relay_ca_name, needed ? plan.cafile : std::nullopt, changed) &&
           bring(dir, relay_client_certificate_name, needed ? plan.certificate : std::nullopt, changed) &&
           bring(dir, relay_config_name, config, changed);
}

}  // namespace

config_outcome write_config(const std::string& dir)
{
    const std::vector<settings_account> accounts = enabled_settings_accounts();
    const sip_settings sip = read_sip_settings();
    const accounts_text accounts_file = accounts_file_text(accounts);

    std::string error;
    const std::string template_path = station_path(ua_config_template);
    const std::optional<std::string> template_text = read_file_text(template_path, named_file_limit, error);
    if (!template_text) {
        complain("the user agent's template " + std::string(ua_config_template) + ": " + error +
                 "; nothing written");
        return config_outcome::refused;
    }
    const ua_config_plan plan = plan_ua_config(*template_text, sip, accounts, read_board_addresses(), dir,
                                               read_named_file);

    const tls_plan tls = plan_tls_destinations(accounts);

    std::vector<setting_refusal> refusals = cut_settings("sip", sip_keys);
    refusals.insert(refusals.end(), plan.refusals.begin(), plan.refusals.end());
    refusals.insert(refusals.end(), accounts_file.refusals.begin(), accounts_file.refusals.end());
    refusals.insert(refusals.end(), tls.refusals.begin(), tls.refusals.end());
    if (!tls.destinations.empty() && find_on_path(relay_program).empty())
        for (const tls_destination& destination : tls.destinations)
            for (const int n : destination.accounts)
                refusals.push_back({"account_info_" + std::to_string(n), "transport", "tls",
                                    std::string(relay_program) +
                                        " is not installed: the PBX's certificate cannot be verified, and the "
                                        "station talks no TLS unverified; install stunnel4"});
    for (const std::string& note : accounts_file.notes)
        say(note);
    for (const std::string& note : plan.notes)
        say(note);
    for (const setting_refusal& refusal : refusals)
        complain(refusal_text(refusal));
    for (const std::string& problem : plan.problems)
        complain(problem);
    if (!refusals.empty() || !plan.problems.empty()) {
        complain("nothing written: " + dir + " keeps the configuration it had");
        return config_outcome::refused;
    }

    // The files the configuration names first, the configuration last.
    bool changed = false;
    const bool written = bring_relay_files(tls, plan, changed) &&
                         bring(dir, ua_certificate_name, plan.certificate, changed) &&
                         bring(dir, ua_cafile_name, plan.cafile, changed) &&
                         bring(dir, "accounts", accounts_file.text, changed) &&
                         bring(dir, "config", plan.config, changed);
    if (!written)
        return config_outcome::refused;
    ensure_ua_file(dir, "contacts");
    say(std::string(changed ? "wrote " : "unchanged: ") + dir + "/config and " + dir + "/accounts");
    return changed ? config_outcome::changed : config_outcome::unchanged;
}
