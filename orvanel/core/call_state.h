// The call state that orvanel's threads share: the event thread, the key
// watchers, the LED threads, the next-number dialer, the self-test reader and
// the no-reply timer. Each value is an atomic integer read and written whole
// without a lock; every decision reads a value once.
//
// Who owns the call (active_key), the call status (baresip_status) and the
// LED states change only through the transitions below, so each change has
// a name, and a change of an LED state wakes that key's LED thread.
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
// The keys that can own a call: the two call keys and the tamper switch.
inline constexpr int no_key = 0;
inline constexpr int tamper_key = 3;

extern std::atomic<int> active_key;           // no_key, 1 and 2 call keys, tamper_key
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
// Read it; change it only through the transitions.
const std::atomic<int>* led_state_of_key(int key);

// Who owns the call.
void claim_call(int key);    // the key places or takes the call
void release_call();         // no key owns it any more

// The call status.
void enter_idle();                    // ready, no call
void release_call_and_idle();         // the key lets go and the station is idle
void end_call_status();               // a call ended: idle, unless the user agent is gone
void request_dial();                  // a dial command is on its way
bool enter_incoming_ringing();        // from idle only; true when it changed
bool enter_outgoing_ringing();        // from idle or a requested dial; true when it changed
void establish_call();                // in call
void enter_not_ready();               // no user agent, or no account registered
bool leave_not_ready();               // not ready -> idle; true when it changed
// An established call and an incoming call that rings keep their status;
// any other becomes idle.
bool call_answered_or_ringing(int status);
void enter_idle_unless_answered_or_ringing();
void adopt_reported_status(int status);  // at start, while not ready or idle

// The LED states. A key without LEDs (the tamper key, none) is left alone.
void set_led_state(int key, int state);
void set_led_states(int state);  // both keys
// A timed pattern is over: the key's LEDs go back to ready, unless another
// state was stored while the pattern ran. Also the way another key's ringing
// stops when this key takes the call.
void end_led_pattern(int key, int pattern);

// Every change of a key's LED state counts once; a LED thread reads the count
// before it reads the state, and sleeps until the count moves on.
unsigned long led_changes(int key);
void wait_led_change(int key, unsigned long seen);
