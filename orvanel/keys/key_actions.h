// What a call key does when it is released, on the key's watcher thread: by
// its mode nothing, an HTTP request, or call-key work (dial the first number
// when idle, answer a ringing call, hang up when configured). A hold of 5 s
// or more on the first key speaks the IP address instead.
#pragma once

inline constexpr double long_press_seconds = 5.0;

// The key's button-gpio*:key_mode, as atoi reads it; any other number is
// not active either.
enum : int { MODE_NOT_ACTIVE = 0, MODE_CALL = 1, MODE_HTTP = 2 };

void key_action(int key, double held_seconds);
