// The relay's output state and how relay requests and the configured modes
// give it. The relay, music playback and the alarm can each carry a mode
// (relay_ctrl:relay_mode, play_music, alarm); the modes decide the level the
// line rests at and what "On" means. Rules only: the thread gpio_status
// owns the line and is told of a new state through set_relay_state().
#pragma once

#include <atomic>
#include <string>

enum : int { OUT_LOW = 0, OUT_HIGH = 1, OUT_FAST_TOGGLE = 2, OUT_SLOW_TOGGLE = 3 };

// The relay's output state, read by gpio_status; set through
// set_relay_state() (outputd/gpio_status.h), which wakes the thread.
extern std::atomic<int> GPIO135_STATUS;
extern std::atomic<int> GPIO130_STATUS;       // recorded for the id "gpio130" only
extern std::atomic<int> GPIO135_PREV_STATUS;  // the state the previous "gpio135" request left

// The modes a setting or a relay request may name, with the state each
// gives; "Disabled" leaves the next mode to govern the resting level, and
// "On" in a request means the relay's own mode.
struct named_mode {
    const char* name;
    int state;
};
inline constexpr named_mode output_mode_table[] = {
    {"singleAToggle", OUT_LOW}, {"singleBToggle", OUT_HIGH}, {"fastToggle", OUT_FAST_TOGGLE}, {"slowToggle", OUT_SLOW_TOGGLE}};
inline constexpr const char* disabled_mode = "Disabled";
inline constexpr const char* output_on_type = "On";

// The state a mode name gives, or -1 for a text that names no mode.
int mode_state(const std::string& mode);

struct output_modes {
    std::string relay;
    std::string music;
    std::string alarm;
};

// The three modes as the settings hold them now.
output_modes read_output_modes();

// The rules themselves.
int idle_level(const output_modes& modes);
int state_for_type(const std::string& type, const output_modes& modes);

// The state of a request's type, reading the modes afresh.
int output_state_for_type(const std::string& type);
