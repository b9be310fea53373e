// sipbridge: puts a stock SIP user agent (baresip with its ctrl_tcp module)
// behind the station's Redis protocol.
//
//   sipbridge [--ua HOST:PORT] [debug]   bridge the control socket (default 127.0.0.1:4444)
//   sipbridge --write-config DIR         write DIR/config and DIR/accounts from speaker.conf and exit
//   sipbridge --update-config DIR        the same, for a user agent that runs: exit 0 when anything
//                                        changed (restart it), 1 when nothing did, 255 when refused
//   sipbridge --write-accounts DIR       write DIR/accounts alone and exit
//   sipbridge --print-filter DIR         print the packet filter for speaker.conf and DIR/config
//   sipbridge --apply-filter DIR         load that filter with nft
#include <cstdio>
#include <cstring>
#include <string>

#include "common/process.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/ua_config_command.h"
#include "sipbridge/config/ua_files.h"
#include "sipbridge/filter/filter_command.h"
#include "sipbridge/link/bridge.h"

namespace {

int usage()
{
    std::fputs("usage: sipbridge [--ua HOST:PORT] [debug]\n"
               "       sipbridge --write-config DIR\n"
               "       sipbridge --update-config DIR\n"
               "       sipbridge --write-accounts DIR\n"
               "       sipbridge --print-filter DIR\n"
               "       sipbridge --apply-filter DIR\n",
               stderr);
    return 2;
}

int write_accounts(const std::string& dir)
{
    const accounts_text accounts = accounts_file_text(enabled_settings_accounts());
    for (const setting_refusal& refusal : accounts.refusals)
        std::fprintf(stderr, "sipbridge: %s: the account gets no line\n", refusal_text(refusal).c_str());
    for (const std::string& note : accounts.notes)
        std::printf("sipbridge: %s\n", note.c_str());
    std::string error;
    const bool written = write_accounts_file(dir, accounts.text, error);
    if (!error.empty())
        std::fprintf(stderr, "sipbridge: %s\n", error.c_str());  // what failed, or what may not survive a power cut
    if (!written)
        return 1;
    std::printf("sipbridge: wrote %s/accounts\n", dir.c_str());
    return accounts.refusals.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    start_station_program();
    if (argc == 3 && std::strcmp(argv[1], "--write-config") == 0)
        return write_config(argv[2]) == config_outcome::refused ? 1 : 0;
    if (argc == 3 && std::strcmp(argv[1], "--update-config") == 0) {
        switch (write_config(argv[2])) {
        case config_outcome::changed:
            return 0;
        case config_outcome::unchanged:
            return 1;
        case config_outcome::refused:
            return 255;
        }
    }
    if (argc == 3 && std::strcmp(argv[1], "--write-accounts") == 0)
        return write_accounts(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--print-filter") == 0)
        return print_filter(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--apply-filter") == 0)
        return apply_filter(argv[2]);

    ua_address user_agent;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "debug") == 0) {
            debug_mode = 1;
        } else if (std::strcmp(argv[i], "--ua") == 0 && i + 1 < argc) {
            const std::optional<ua_address> given = parse_ua_address(argv[++i]);
            if (!given) {
                std::fprintf(stderr, "sipbridge: --ua takes an IPv4 address and a port: %s\n", argv[i]);
                return 2;
            }
            user_agent = *given;
        } else {
            return usage();
        }
    }
    run_bridge(user_agent);
}
