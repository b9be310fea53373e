#include "sipbridge/ua_config_command.h"

#include <cstdio>

#include "common/file_text.h"
#include "common/station_root.h"
#include "sipbridge/accounts_file.h"
#include "sipbridge/ua_config.h"
#include "sipbridge/ua_files.h"

namespace {

constexpr std::size_t pem_limit = 1 << 20;

void say(const std::string& line)
{
    std::printf("sipbridge: %s\n", line.c_str());
}

void complain(const std::string& line)
{
    std::fprintf(stderr, "sipbridge: %s\n", line.c_str());
}

std::optional<std::string> read_device_file(const std::string& device_path, std::string& error)
{
    const std::optional<std::string> text = read_file_text(station_path(device_path), pem_limit, error);
    if (!text) {
        // "cannot read PATH: REASON" without the station root, which the
        // installer's setting does not name.
        const std::size_t colon = error.rfind(": ");
        error = "cannot read it" + (colon == std::string::npos ? std::string() : error.substr(colon));
    }
    return text;
}

// One file of the folder brought to its new text (or removed when it has
// none); changed tells whether it differed.
bool bring(const std::string& dir, const char* name, const std::optional<std::string>& text, bool& changed)
{
    std::string error;
    const bool done = bring_ua_file(dir, name, text, changed, error);
    if (!error.empty())
        complain(error);  // what failed, or what may not survive a power cut
    return done;
}

}  // namespace

config_outcome write_config(const std::string& dir)
{
    const std::vector<settings_account> accounts = enabled_settings_accounts();
    const sip_settings sip = read_sip_settings();
    const accounts_text accounts_file = accounts_file_text(accounts);

    std::string error;
    const std::string template_path = station_path(ua_config_template);
    const std::optional<std::string> template_text = read_file_text(template_path, pem_limit, error);
    if (!template_text) {
        complain("the user agent's template " + std::string(ua_config_template) + ": " + error +
                 "; nothing written");
        return config_outcome::refused;
    }
    const ua_config_plan plan = plan_ua_config(*template_text, sip, accounts, read_board_addresses(), dir,
                                               read_device_file);

    std::vector<setting_refusal> refusals = cut_settings("sip", sip_keys);
    refusals.insert(refusals.end(), plan.refusals.begin(), plan.refusals.end());
    refusals.insert(refusals.end(), accounts_file.refusals.begin(), accounts_file.refusals.end());
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
    const bool written = bring(dir, ua_certificate_name, plan.certificate, changed) &&
                         bring(dir, ua_cafile_name, plan.cafile, changed) &&
                         bring(dir, "accounts", accounts_file.text, changed) &&
                         bring(dir, "config", plan.config, changed);
    if (!written)
        return config_outcome::refused;
    ensure_ua_file(dir, "contacts");
    say(std::string(changed ? "wrote " : "unchanged: ") + dir + "/config and " + dir + "/accounts");
    return changed ? config_outcome::changed : config_outcome::unchanged;
}
