// The station's small outputs: the LED pairs beside the keys, the key beep
// and the amplifier. Two threads, Led_State_GPIO140 and Led_State_GPIO67,
// turn their key's LED state into light patterns; every other part of the
// program only stores a new LED state. LEDs are written with shell echo
// commands into the GPIO value files, and only when a line really changes.
#pragma once

#include <atomic>
#include <string>

// A key's LED pair: the blue LED (steady when ready) and the other LED.
struct led_pair {
    int blue;
    int other;
};
inline constexpr led_pair key1_leds{131, 130};
inline constexpr led_pair key2_leds{65, 64};

// The value file of a GPIO line (a device path).
std::string gpio_value_path(int line);

// Shows on or off on one LED line; the shell runs only when the line differs.
void set_key_led(int line, bool on);

// Shows one pass of the pattern of the LED state. Timed patterns (2, 6 and 7)
// end by storing 4, unless another part of the program stored a new state
// meanwhile.
void show_led_state(const led_pair& leds, std::atomic<int>& state);

void Led_State_GPIO140();
void Led_State_GPIO67();

// The beep of a call-key press: only when volume:key_beep is "yes"; tells the
// audio side before and after when the station is idle or not ready.
void key_beep();

// Switches the audio amplifier on or off with the device script.
void amplifier_on(bool on);
