// The watchers of the two call keys and the tamper switch: one loop for the
// family, three threads. Each waits for a level change of its line's GPIO
// value file, turns changes into press and release events, stamps the
// operation log, measures how long a call key was held, and runs the key's
// action on its own thread. The call keys are active low: "0" is pressed.
#pragma once

struct key_watcher {
    const char* name;  // the thread's name
    int line;          // the GPIO input line
    int key;           // 1 and 2 the call keys, 3 the tamper switch
};

inline constexpr key_watcher key1_watcher{"Check_Button_GPIO140", 140, 1};
inline constexpr key_watcher key2_watcher{"Check_Button_GPIO67", 67, 2};
inline constexpr key_watcher tamper_watcher{"Check_Button_GPIO3", 3, 3};

// Runs the watcher for ever; a failing wait ends the process with status 1.
[[noreturn]] void watch_key(const key_watcher& watcher);

void Check_Button_GPIO140();
void Check_Button_GPIO67();
void Check_Button_GPIO3();

// The device's wait for a level change: the kernel raises a priority event
// (POLLPRI) on the line's sysfs value file. 1 on that event, 0 on a time-out
// or any other event, -1 when waiting failed; a signal does not end the
// wait. Under a station root the watchers wait for the file's rewrite
// instead.
int wait_for_level_event(int value_fd, int timeout_ms);

// Seconds on the monotonic clock, as held times are measured.
double now_seconds();
