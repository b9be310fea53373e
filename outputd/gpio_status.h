// The thread gpio_status: the one thread of outputd that touches hardware.
// It turns the relay's output state into levels of the line gpio66: steady 0
// or 1, rewritten about every second, or a fast or slow blink. Time runs in
// ticks of 10 ms, 200 to a cycle, and only a few ticks of a cycle write. The
// thread sleeps from one writing tick to the next, on deadlines counted from
// its start; a new output state wakes it to work out the next write afresh.
#pragma once

#include <cstdint>
#include <optional>

#include "outputd/output_state.h"

struct gpio_tick_state {
    int tick = 0;   // 1 to 200 within a cycle
    int fast = 0;   // phase of the fast blink
    int slow = 0;   // phase of the slow blink; both phases survive state changes
};

// One tick for the output state: the level to write, if this tick writes.
std::optional<int> gpio_tick(gpio_tick_state& s, int state);

// Ticks from s to the next tick that writes for the state, 1 to 200. A state
// that never writes gives a whole cycle.
int ticks_to_write(const gpio_tick_state& s, int state);

// Where the thread stands: its place in the cycle and the ticks since it
// started, for the output state it holds.
struct gpio_schedule {
    gpio_tick_state cycle;
    std::int64_t ticks = 0;  // ticks since start that the cycle has gone through
    int state = OUT_LOW;

    // The tick since start at which the held state writes next.
    std::int64_t next_write() const { return ticks + ticks_to_write(cycle, state); }
    // Goes on to next_write(): the level that tick writes, if any.
    std::optional<int> write();
    // A new state, noticed once `passed` ticks since start have gone by.
    // Those ticks wrote nothing for the old state; a writing tick already
    // due but not yet carried out is left to the new state.
    void change(int new_state, std::int64_t passed);
};

// The relay's new output state: stored in GPIO135_STATUS, and the thread
// woken at once to work out its next write for it. The one way the state
// changes; any thread may call it.
void set_relay_state(int state);

// Thread entry; never returns.
void gpio_status();
