// The station's small outputs: the LED pairs beside the keys, the key beep
// and the amplifier. Two threads, Led_State_GPIO140 and Led_State_GPIO67,
// turn their key's LED state into light patterns (led_patterns.h), asleep
// while the LEDs are steady; every other part of the program only stores a
// new LED state through its transitions, which wake them. LEDs are written
// with shell echo commands into the GPIO value files, and only when a line
// really changes.
#pragma once

#include <string>

#include "orvanel/keys/led_patterns.h"

// The value file of a GPIO line (a device path).
std::string gpio_value_path(int line);

// Shows on or off on one LED line; the shell runs only when the line differs.
void set_key_led(int line, bool on);

void Led_State_GPIO140();
void Led_State_GPIO67();

// The beep of a call-key press: only when volume:key_beep is "yes"; tells the
// audio side before and after when the station is idle or not ready.
void key_beep();

// Switches the audio amplifier on or off with the device script.
void amplifier_on(bool on);
