// station-sitelog: the configuration of the station's own rsyslogd
// instance, which forwards the operation log and the call records to the
// site's log server, from [site] of speaker.conf.
//
//   station-sitelog --write-config    write it (or remove it: no log_server) and exit:
//                                     0 written or already so, 1 refused (as sipbridge's)
//   station-sitelog --update-config   the same, for an instance that runs: 0 when it
//                                     changed (restart the instance), 1 when nothing did,
//                                     255 when refused (the instance keeps what it had)
#include <cstdio>
#include <cstring>

#include "common/process.h"
#include "sitelog/site_config_command.h"

int main(int argc, char** argv)
{
    start_station_program();
    if (argc == 2 && std::strcmp(argv[1], "--write-config") == 0)
        return write_site_config() == site_outcome::refused ? 1 : 0;
    if (argc == 2 && std::strcmp(argv[1], "--update-config") == 0) {
        switch (write_site_config()) {
        case site_outcome::changed:
            return 0;
        case site_outcome::unchanged:
            return 1;
        case site_outcome::refused:
            return 255;
        }
    }
    std::fputs("usage: station-sitelog --write-config | --update-config\n", stderr);
    return 2;
}
