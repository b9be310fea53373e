// station-check: reads what the station reads and says, in one screen,
// whether the station is ready and what an installer must fix. It changes
// nothing; each check that asks Redis does so within its time-out.
//
//   station-check            the findings as text (colour on a terminal)
//   station-check --json     the same findings as one JSON object
//
// The exit status is 0 with no error or warning, 1 with warnings only and
// 2 with an error (a command line it cannot use counts as an error too).
#include <cstdio>
#include <cstring>
#include <string>

#include "check/findings.h"
#include "common/process.h"
#include "common/station_root.h"

namespace {

const char usage[] = "usage: station-check [--json]\n"
                     "  Checks the station under STATION_ROOT (the device itself when it is not set).\n"
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

findings run_checks()
{
    findings all;
    all.push_back(root_finding());
    return all;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
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
    if (!station_root_init()) {
        // The programs refuse such a root too, so nothing runs under it.
        const findings refused{{"station", "root", verdict::error,
                                "STATION_ROOT may hold only letters, digits and / . _ - + , ; the programs "
                                "will not start under " + station_root()}};
        put(json ? findings_json(refused) : findings_text(refused, colour_wanted()));
        return exit_status(refused);
    }

    const findings all = run_checks();
    put(json ? findings_json(all) : findings_text(all, colour_wanted()));
    if (std::fflush(stdout) != 0)
        return 2;
    return exit_status(all);
}
