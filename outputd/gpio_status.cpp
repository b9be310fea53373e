#include "outputd/gpio_status.h"

#include <chrono>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/process.h"
#include "common/station_root.h"
#include "outputd/output_state.h"

namespace {

const char* const relay_line = "/sys/class/gpio/gpio66/value";

// The level the line's value file shows now, or -1.
int line_level(const std::string& path)
{
    const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -1;
    char text[2] = {};
    const ssize_t got = read(fd.get(), text, 1);
    return got == 1 && (text[0] == '0' || text[0] == '1') ? text[0] - '0' : -1;
}

}  // namespace

std::optional<int> gpio_tick(gpio_tick_state& s, int state)
{
    ++s.tick;
    std::optional<int> level;
    if ((s.tick == 47 || s.tick == 143) && (state == OUT_LOW || state == OUT_HIGH)) {
        level = state;
    } else if (s.tick % 39 == 0 && state == OUT_FAST_TOGGLE) {
        s.fast ^= 1;
        level = s.fast;
    } else if (s.tick % 99 == 0 && state == OUT_SLOW_TOGGLE) {
        s.slow ^= 1;
        level = s.slow;
    }
    if (s.tick == 200)
        s.tick = 0;
    return level;
}

void gpio_status()
{
    const std::string path = station_path(relay_line);
    gpio_tick_state s;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int state = GPIO135_STATUS;
        const std::optional<int> level = gpio_tick(s, state);
        if (!level)
            continue;
        // A steady level is rewritten only when the line has lost it, which
        // spares a shell every second while the relay rests.
        const bool steady = state == OUT_LOW || state == OUT_HIGH;
        if (steady && line_level(path) == *level)
            continue;
        run_shell("echo " + std::to_string(*level) + " > " + path);
    }
}
