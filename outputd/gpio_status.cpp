#include "outputd/gpio_status.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/process.h"
#include "common/station_root.h"

namespace {

const char* const relay_line = "/sys/class/gpio/gpio66/value";
constexpr std::chrono::milliseconds tick{10};
constexpr std::chrono::milliseconds cycle = 200 * tick;

// The thread waits on these for its next tick or a new output state.
std::mutex wake_mutex;
std::condition_variable wake;

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

void write_line(const std::string& path, int state, int level)
{
    // A steady level is rewritten only when the line has lost it, which
    // spares a shell every second while the relay rests.
    const bool steady = state == OUT_LOW || state == OUT_HIGH;
    if (steady && line_level(path) == level)
        return;
    run_shell("echo " + std::to_string(level) + " > " + path);
}

// Ticks that write nothing still move the cycle on.
void go_through(gpio_schedule& at, std::int64_t ticks)
{
    for (; ticks > 0; --ticks, ++at.ticks)
        gpio_tick(at.cycle, at.state);
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

int ticks_to_write(const gpio_tick_state& s, int state)
{
    // Every state that writes at all does so within a cycle.
    gpio_tick_state ahead = s;
    for (int n = 1; n < 200; ++n)
        if (gpio_tick(ahead, state))
            return n;
    return 200;
}

std::optional<int> gpio_schedule::write()
{
    go_through(*this, ticks_to_write(cycle, state) - 1);
    ++ticks;
    return gpio_tick(cycle, state);
}

void gpio_schedule::change(int new_state, std::int64_t passed)
{
    go_through(*this, std::min<std::int64_t>(passed - ticks, ticks_to_write(cycle, state) - 1));
    state = new_state;
}

void set_relay_state(int state)
{
    GPIO135_STATUS = state;
    // The thread holds the mutex from its look at GPIO135_STATUS until it
    // sleeps: taking it after the store keeps the notification from falling
    // between the two.
    { const std::lock_guard<std::mutex> hold(wake_mutex); }
    wake.notify_one();
}

void gpio_status()
{
    using clock = std::chrono::steady_clock;
    // Named, so that top -H and /proc show which thread of outputd it is.
    pthread_setname_np(pthread_self(), "gpio_status");
    const std::string path = station_path(relay_line);
    gpio_schedule at;
    at.state = GPIO135_STATUS;
    // Tick n is due at origin + n ticks, so a shell that takes long does not
    // make the ticks after it late.
    clock::time_point origin = clock::now();
    std::unique_lock<std::mutex> lock(wake_mutex);
    for (;;) {
        // After a stop of more than a cycle (a stopped process, a machine
        // too busy to run it) the ticks go on from now: catching up on all
        // it missed would toggle the relay in a burst.
        const clock::duration behind = clock::now() - (origin + at.ticks * tick);
        if (behind > cycle)
            origin += behind;

        const clock::time_point deadline = origin + at.next_write() * tick;
        if (wake.wait_until(lock, deadline, [&] { return GPIO135_STATUS != at.state; })) {
            at.change(GPIO135_STATUS, (clock::now() - origin) / tick);
            continue;
        }
        if (const std::optional<int> level = at.write()) {
            lock.unlock();
            write_line(path, at.state, *level);
            lock.lock();
        }
    }
}
