#include "fuzz/fuzz_station.h"

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "common/process.h"
#include "station_kit/settings.h"

fuzz_station& fuzz_station::get()
{
    static fuzz_station station;
    return station;
}

fuzz_station::fuzz_station()
{
    // A device's settings with every relay trigger on, every hold 0 s and
    // no action URL; key 1 has three numbers and retries on no reply and
    // on busy. Account 1 and the P2P line are enabled so that dials and
    // registrations have an account to name.
    root.write_settings(device_settings("192.168.1.10")
                            .set("account_info_p2p", "enable", "yes")
                            .set("button-gpio140", "next_number_2", "1002")
                            .set("button-gpio140", "next_number_3", "1003")
                            .set("button-gpio140", "no_reply", "yes")
                            .set("button-gpio140", "next_time", "1")
                            .set("button-gpio140", "busy_or_unuse", "yes")
                            .set("unpack-intercom", "play_count", "1")
                            .set("relay_ctrl", "call_state", "yes")
                            .set("relay_ctrl", "call_reset_duration", "0")
                            .set("relay_ctrl", "dtmf", "yes")
                            .set("relay_ctrl", "dtmf_reset_duration", "0")
                            .text());
    const char* path = std::getenv("PATH");
    setenv("PATH", (root.bin_dir() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    survive_broken_pipes();
    // The console lines of the code under test would only slow the run; the
    // fuzzer reports on standard error.
    const unique_fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (null)
        dup2(null.get(), STDOUT_FILENO);
}

void fuzz_station::tidy()
{
    if (++inputs_ % 512 != 0)
        return;
    client_.command("FLUSHALL");
    for (const char* file : {"/userdata/system.csv", "/userdata/cdr.csv", "/userdata/log/orvanel.log", "/tools.log"})
        truncate(root.file(file).c_str(), 0);
}

void fuzz_require(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}
