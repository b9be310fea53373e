// The thread gpio_status: the one thread of outputd that touches hardware.
// On a 10 ms tick it turns the relay's output state into levels of the line
// gpio66: steady 0 or 1, rewritten about every second, or a fast or slow
// blink. A cycle is 200 ticks.
#pragma once

#include <optional>

struct gpio_tick_state {
    int tick = 0;   // 1 to 200 within a cycle
    int fast = 0;   // phase of the fast blink
    int slow = 0;   // phase of the slow blink; both phases survive state changes
};

// One tick for the output state: the level to write, if this tick writes.
std::optional<int> gpio_tick(gpio_tick_state& s, int state);

// Thread entry; never returns.
void gpio_status();
