// The call state that orvanel's threads share: the event thread, the key
// watchers, the LED threads, the next-number dialer, the self-test reader and
// the no-reply timer. Each value is an atomic integer read and written whole
// without a lock; every decision reads a value once.
#pragma once

#include <atomic>
#include <memory>
#include <string>

class message_queue;

// The station's call status as seen from the SIP user agent.
enum : int {
    STATUS_IDLE = 0,
    STATUS_IN_CALL = 1,
    STATUS_INCOMING_RINGING = 2,
    STATUS_OUTGOING_RINGING = 3,
    STATUS_NOT_READY = 5,
    STATUS_DIAL_REQUESTED = 6,
};

// LED states of a key's LED pair.
enum : int {
    LED_NO_ACCOUNT = 0,
    LED_CALL_FAILED = 2,
    LED_READY = 4,
    LED_RINGING = 6,
    LED_HTTP_SENT = 7,
    LED_SELF_TEST = 8,
    LED_SELF_TEST_PASSED = 16,
};

extern std::atomic<int> baresip_status;       // 5 at load: not ready
extern std::atomic<int> active_key;           // 0 none, 1 and 2 call keys, 3 tamper key
extern std::atomic<int> led_state_gpio140;    // first key's LED pair
extern std::atomic<int> led_state_gpio67;     // second key's LED pair
extern std::atomic<int> key_test_mode;        // key under self-test, 0 none
extern std::atomic<int> account_registered[3];  // accounts 1 to 3 at index 0 to 2
extern std::atomic<int> p2p_enabled;
extern std::atomic<int> in_alarm_callback;
extern std::atomic<int> manual_hangup;
extern std::atomic<int> next_hop_timer_armed;
extern std::atomic<int> abnormal_hangup;

// DTMF digits received during the current call: at most dtmf_capacity
// digits. Only the event thread touches it.
inline constexpr std::size_t dtmf_capacity = 31;
extern std::string dtmf_digits;

// The queue that feeds the next-number dialer; absent when it could not be
// made, and then every push and pop on it fails at once.
extern std::unique_ptr<message_queue> next_hop_queue;

// The registration flag of account n (1 to 3).
std::atomic<int>& account_flag(int n);

// The LED state of a key: 1 and 2 have one, any other key none (null).
std::atomic<int>* led_state_of_key(int key);

// Every value back to its load value. The program never does this; tests do.
void reset_call_state();
