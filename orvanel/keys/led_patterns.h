// The light patterns of a key's LED pair, as steps in time. A LED thread
// shows its key's LED state in passes: a pass reads the state, shows its
// pattern (at once for a steady state, over seconds for a blink) and is
// followed by a pause of one grid step, 200 ms, before the next pass reads
// the state again.
//
// The thread sleeps from one step to the next on deadlines counted from the
// pass, so the moments of the writes do not drift. After a pass of a steady
// state nothing changes on the lines until the state does: the thread then
// sleeps until a transition stores a new state, and the next pass starts at
// the first grid moment after that, as if it had looked every 200 ms.
#pragma once

#include <array>
#include <chrono>

// A key's LED pair: the blue LED (steady when ready) and the other LED.
struct led_pair {
    int blue;
    int other;
};
inline constexpr led_pair key1_leds{131, 130};
inline constexpr led_pair key2_leds{65, 64};

inline constexpr std::chrono::milliseconds led_grid{200};

struct led_write {
    int line;
    bool on;
};

// One step of a pattern: the lines it sets, in order, then what follows.
struct led_step {
    std::array<led_write, 2> writes{};
    int count = 0;                      // writes used
    int ends_pattern = -1;              // a timed pattern that is over (then back to 4), or -1
    std::chrono::milliseconds wait{0};  // until the next step
    bool steady = false;                // nothing more to show until the state changes
};

// Where a LED thread stands in its pass.
struct led_position {
    int pattern = -1;  // the state whose pattern runs; -1 at the start of a pass
    int step = 0;      // steps of it done
};

// The next step for the state stored now. Pure: the same position and state
// give the same step.
led_step next_led_step(const led_pair& leds, led_position& at, int state);

// What a LED thread needs from around it: the device's is real time, the
// key's LED state and its transitions, and the GPIO value files; a test's
// is a clock of its own.
class led_surroundings {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~led_surroundings() = default;
    virtual time_point now() = 0;
    // False when the thread is to end (a test has seen enough).
    virtual bool sleep_until(time_point deadline) = 0;
    virtual unsigned long changes() = 0;
    virtual bool wait_change(unsigned long seen) = 0;
    virtual int state() = 0;
    virtual void write(int line, bool on) = 0;
    virtual void end_pattern(int pattern) = 0;
};

// A LED thread's passes, until its surroundings end them (the device's never).
void show_led_passes(const led_pair& leds, led_surroundings& around);
