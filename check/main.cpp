// station-check: reads what the station reads and says, in one screen,
// whether the station is ready and what an installer must fix. It changes
// nothing; each check that asks Redis does so within its time-out.
//
//   station-check            the findings as text (colour on a terminal)
//   station-check --problems only the warnings and errors, and the summary
//   station-check --json     the same findings as one JSON object
//   station-check --plugin   a monitoring plugin's status line, then the problems
//   station-check --prometheus FILE
//                            the figures for node_exporter's textfile collector
//                            (FILE is the machine's path, never under the root)
//
// The exit status is 0 with no error or warning, 1 with warnings only and
// 2 with an error; 3 when the check could not run (a command line it cannot
// use, a metrics file it cannot write), as a monitoring plugin's UNKNOWN.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

#include "check/door_check.h"
#include "check/findings.h"
#include "check/gpio_check.h"
#include "check/metrics.h"
#include "check/plugin_report.h"
#include "check/programs_check.h"
#include "check/redis_check.h"
#include "check/settings_check.h"
#include "check/sip_check.h"
#include "check/site_check.h"
#include "check/storage_check.h"
#include "check/tools_check.h"
#include "common/accounts.h"
#include "common/c_holders.h"
#include "common/config.h"
#include "common/process.h"
#include "common/station_protocol.h"
#include "common/station_root.h"

namespace {

const char usage[] = "usage: station-check [--problems | --json | --plugin] [--prometheus FILE]\n"
                     "  Checks the station under STATION_ROOT (the device itself when it is not set).\n"
                     "  --problems  only the warnings and errors, and the summary\n"
                     "  --json      every finding as one JSON object\n"
                     "  --plugin    for Nagios, Icinga or NRPE: one line \"STATION OK|WARNING|CRITICAL|UNKNOWN -\n"
                     "              ...\", the counts as performance data after '|', then the problems\n"
                     "  --prometheus FILE\n"
                     "              writes the figures for node_exporter's textfile collector to FILE (replaced\n"
                     "              whole, mode 0644); alone, it prints nothing unless FILE cannot be written\n"
                     "  Exit status: 0 ready, 1 warnings only, 2 errors, 3 the check could not run.\n";

void put(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Where the check looks: the device itself, or a station root as the
// programs resolve it.
finding root_finding()
{
    if (station_root().empty())
        return {"station", "root", verdict::ok, "checking the device itself (STATION_ROOT is not set)"};
    return {"station", "root", verdict::ok, "checking the station under " + station_root()};
}

// Whether each enabled account is registered: its call-status key holds one
// of the states that the main program takes for a ready account (the user
// agent deletes the key when the account is lost). Unknown without Redis.
registration_states read_registrations(redisContext* c)
{
    registration_states registered;
    if (!c)
        return registered;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n)) {
            registered[n] = false;
            continue;
        }
        const std::string key = account_status_key(account_identity_of(n));
        const reply_ptr reply = redis_command(c, "GET %s", key.c_str());
        if (!reply || reply->type == REDIS_REPLY_ERROR)
            continue;
        if (reply->type != REDIS_REPLY_STRING) {
            registered[n] = false;
            continue;
        }
        const std::string value(reply->str, reply->len);
        registered[n] = value == call_status_idle || value == call_status_answer || value == call_status_ring ||
                        value == call_status_ringing;
    }
    return registered;
}

void append(findings& all, findings more)
{
    all.insert(all.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// The findings, and with figures given the figures for Prometheus, read
// on the same connection from the same answers.
findings run_checks(station_figures* figures)
{
    findings all;
    all.push_back(root_finding());

    // One connection for every check that asks Redis; each command on it
    // ends within the connection's time-out, so a stalled server costs
    // each check at most that.
    redis_ptr redis;
    append(all, check_redis(redis));
    append(all, check_programs(station_processes(station_root()), redis.get()));

    const settings_as_read settings = read_station_settings();
    append(all, check_gpio(setting_as_read(settings, setting::system_model)));
    append(all, check_storage());
    append(all, check_tools());
    const registration_states registered = read_registrations(redis.get());
    const std::optional<door_lockout> lockout = door_code_guard::read_kept(redis.get());
    append(all, check_settings(settings, registered));
    append(all, check_door(settings, lockout));
    append(all, check_sip());
    append(all, check_site());
    if (figures)
        *figures = read_station_figures(redis.get(), registered, lockout);
    return all;
}

// Writes the metrics file; empty when done, else what failed.
std::string write_metrics(const std::string& path, const station_figures& figures, const findings& all)
{
    return write_metrics_file(path, exposition_text(station_metrics(figures, all, std::time(nullptr))));
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    bool problems_only = false;
    std::string metrics_file;
    // A monitoring server takes the plugin's state from its first line on
    // standard output, a refused command line's too.
    bool plugin = false;
    for (int i = 1; i < argc; ++i)
        plugin = plugin || std::strcmp(argv[i], "--plugin") == 0;
    const auto unusable = [plugin](const std::string& why) {
        if (plugin)
            put(plugin_unknown(why));
        std::fprintf(stderr, "station-check: %s\n%s", why.c_str(), usage);
        return exit_unknown;
    };
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--problems") == 0) {
            problems_only = true;
        } else if (std::strcmp(argv[i], "--plugin") == 0) {
            continue;
        } else if (std::strcmp(argv[i], "--prometheus") == 0) {
            if (i + 1 == argc || argv[i + 1][0] == '\0' || argv[i + 1][0] == '-')
                return unusable("--prometheus needs the path of the metrics file");
            metrics_file = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            put(usage);
            return 0;
        } else {
            return unusable(std::string("unknown option ") + argv[i]);
        }
    }
    if (json && plugin)
        return unusable("--json and --plugin are two forms of the output: give one");
    // Run by a timer for the metrics alone, it says nothing while all goes well.
    const bool quiet = !metrics_file.empty() && !json && !plugin && !problems_only;

    // A Redis server that closes the connection must give a failed check,
    // not end the program by SIGPIPE.
    survive_broken_pipes();
    // A settings file that cannot be read is one finding, not a line on
    // standard error at each read.
    set_config_load_report(false);
    if (!station_root_init()) {
        // The programs refuse such a root too, so nothing runs under it;
        // nothing under it is checked either.
        const std::string why = "STATION_ROOT may hold only letters, digits and / . _ - + , ; the programs "
                                "will not start under " + station_root();
        const findings refused{{"station", "root", verdict::error, why}};
        if (!metrics_file.empty()) {
            station_figures none;
            none.complete = false;
            const std::string error = write_metrics(metrics_file, none, refused);
            if (!error.empty())
                std::fprintf(stderr, "station-check: %s\n", error.c_str());
        }
        put(plugin ? plugin_unknown(why) : json ? findings_json(refused) : findings_text(refused, colour_wanted()));
        return exit_unknown;
    }

    station_figures figures;
    const findings all = run_checks(metrics_file.empty() ? nullptr : &figures);
    const std::string metrics_error = metrics_file.empty() ? std::string() : write_metrics(metrics_file, figures, all);
    if (!metrics_error.empty())
        std::fprintf(stderr, "station-check: %s\n", metrics_error.c_str());
    if (plugin)
        put(metrics_error.empty() ? plugin_report(all) : plugin_unknown(metrics_error));
    else if (json)
        put(findings_json(all));
    else if (!quiet)
        put(findings_text(all, colour_wanted(), problems_only));
    if (std::fflush(stdout) != 0 || !metrics_error.empty())
        return exit_unknown;
    return exit_status(all);
}
