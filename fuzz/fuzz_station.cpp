#include "fuzz/fuzz_station.h"

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "common/process.h"

namespace {

// Every relay trigger on, every hold 0 s, no action URL. Account 1 is
// enabled so that dials and registrations have an account to name.
const char* const fuzz_settings = R"([account_info_1]
enable = yes
username = 1000
domain = 192.168.1.10
server = 192.168.1.10

[account_info_p2p]
enable = yes

[button-gpio140]
key_mode = 1
next_number_1 = 1001
next_number_2 = 1002
next_number_3 = 1003
no_reply = yes
next_time = 1
busy_or_unuse = yes
hang_up = yes
api_url =

[button-gpio67]
key_mode = 1
next_number_1 = 2001
hang_up = yes

[unpack-intercom]
active = 3
audio_file = /userdata/alarm.mp3
play_count = 1

[relay_ctrl]
call_state = yes
state_info = answered
call_reset_mode = delay
call_reset_duration = 0
type = On
dtmf = yes
dtmf_code = 1234
mode = delay
dtmf_reset_duration = 0
relay_mode = singleBToggle
play_music = Disabled
alarm = Disabled

[relay_action_url]
on_enable = no
off_enable = no
)";

}  // namespace

fuzz_station& fuzz_station::get()
{
    static fuzz_station station;
    return station;
}

fuzz_station::fuzz_station()
{
    root.write_settings(fuzz_settings);
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
