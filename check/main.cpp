// station-check: reads what the station reads and says, in one screen,
// whether the station is ready and what an installer must fix. It changes
// nothing; each check that asks Redis does so within its time-out.
//
//   station-check            the findings as text (colour on a terminal)
//   station-check --problems only the warnings and errors, and the summary
//   station-check --json     the same findings as one JSON object
//
// The exit status is 0 with no error or warning, 1 with warnings only and
// 2 with an error (a command line it cannot use counts as an error too).
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "check/door_check.h"
#include "check/findings.h"
#include "check/gpio_check.h"
#include "check/programs_check.h"
#include "check/redis_check.h"
#include "check/settings_check.h"
#include "check/sip_check.h"
#include "check/storage_check.h"
#include "check/tools_check.h"
#include "common/accounts.h"
#include "common/c_holders.h"
#include "common/config.h"
#include "common/process.h"
#include "common/station_protocol.h"
#include "common/station_root.h"

namespace {

const char usage[] = "usage: station-check [--problems | --json]\n"
                     "  Checks the station under STATION_ROOT (the device itself when it is not set).\n"
                     "  --problems  only the warnings and errors, and the summary\n"
                     "  --json      every finding as one JSON object\n"
                     "  Exit status: 0 ready, 1 warnings only, 2 errors.\n";

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

findings run_checks()
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
    append(all, check_gpio(value_as_read(raw_value(settings.speaker, "system", "model"), 32)));
    append(all, check_storage());
    append(all, check_tools());
    append(all, check_settings(settings, read_registrations(redis.get())));
    append(all, check_door(settings, door_code_guard::read_kept(redis.get())));
    append(all, check_sip());
    return all;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    bool problems_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--problems") == 0) {
            problems_only = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            put(usage);
            return 0;
        } else {
            std::fprintf(stderr, "station-check: unknown option %s\n%s", argv[i], usage);
            return 2;
        }
    }

    // A Redis server that closes the connection must give a failed check,
    // not end the program by SIGPIPE.
    survive_broken_pipes();
    // A settings file that cannot be read is one finding, not a line on
    // standard error at each read.
    set_config_load_report(false);
    if (!station_root_init()) {
        // The programs refuse such a root too, so nothing runs under it.
        const findings refused{{"station", "root", verdict::error,
                                "STATION_ROOT may hold only letters, digits and / . _ - + , ; the programs "
                                "will not start under " + station_root()}};
        put(json ? findings_json(refused) : findings_text(refused, colour_wanted()));
        return exit_status(refused);
    }

    const findings all = run_checks();
    put(json ? findings_json(all) : findings_text(all, colour_wanted(), problems_only));
    if (std::fflush(stdout) != 0)
        return 2;
    return exit_status(all);
}
