// station-tls-relay: the TLS relay that verifies the PBX for the user agent
// (relay_plan.h), run by its unit (or the init script) as its own user.
//
//   station-tls-relay --run    run stunnel with the relay's configuration until
//                              it ends: stunnel's status; 0 when no account
//                              uses TLS, 1 when it cannot start
#include <cstdio>
#include <cstring>

#include "common/process.h"
#include "tlsrelay/relay_runner.h"

int main(int argc, char** argv)
{
    start_station_program();
    if (argc == 2 && std::strcmp(argv[1], "--run") == 0)
        return run_relay();
    std::fputs("usage: station-tls-relay --run\n", stderr);
    return 2;
}
