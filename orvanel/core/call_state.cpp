#include "orvanel/core/call_state.h"

#include <condition_variable>
#include <mutex>

#include "orvanel/core/message_queue.h"

std::atomic<int> baresip_status{STATUS_NOT_READY};
std::atomic<int> active_key{0};
std::atomic<int> led_state_gpio140{LED_NO_ACCOUNT};
std::atomic<int> led_state_gpio67{LED_NO_ACCOUNT};
std::atomic<int> key_test_mode{0};
std::atomic<int> account_registered[3]{};
std::atomic<int> p2p_enabled{0};
std::atomic<int> in_alarm_callback{0};
std::atomic<int> manual_hangup{0};
std::atomic<int> next_hop_timer_armed{0};
std::atomic<int> abnormal_hangup{0};
std::string dtmf_digits;
std::unique_ptr<message_queue> next_hop_queue;

std::atomic<int>& account_flag(int n)
{
    return account_registered[n - 1];
}

namespace {

// Wakes one key's LED thread when its state changes.
struct led_signal {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long changes = 0;
};
led_signal led_signals[2];

std::atomic<int>* led_state(int key)
{
    if (key == 1)
        return &led_state_gpio140;
    if (key == 2)
        return &led_state_gpio67;
    return nullptr;
}

void post_led_change(int key)
{
    led_signal& signal = led_signals[key - 1];
    {
        const std::lock_guard<std::mutex> hold(signal.mutex);
        ++signal.changes;
    }
    signal.changed.notify_all();
}

// Stores `to` when the status held passes `from`, in one atomic step: a
// status that another thread stores meanwhile is judged afresh, never
// overwritten unseen. True when it stored.
template <typename Rule>
bool change_status_if(Rule from, int to)
{
    int status = baresip_status;
    while (from(status))
        if (baresip_status.compare_exchange_weak(status, to))
            return true;
    return false;
}

}  // namespace

const std::atomic<int>* led_state_of_key(int key)
{
    return led_state(key);
}

void claim_call(int key)
{
    active_key = key;
}

void release_call()
{
    active_key = no_key;
}

void enter_idle()
{
    baresip_status = STATUS_IDLE;
}

void release_call_and_idle()
{
    release_call();
    enter_idle();
}

void end_call_status()
{
    change_status_if([](int status) { return status != STATUS_NOT_READY; }, STATUS_IDLE);
}

void request_dial()
{
    baresip_status = STATUS_DIAL_REQUESTED;
}

bool enter_incoming_ringing()
{
    return change_status_if([](int status) { return status == STATUS_IDLE; }, STATUS_INCOMING_RINGING);
}

bool enter_outgoing_ringing()
{
    return change_status_if([](int status) { return status == STATUS_IDLE || status == STATUS_DIAL_REQUESTED; },
                            STATUS_OUTGOING_RINGING);
}

void establish_call()
{
    baresip_status = STATUS_IN_CALL;
}

void enter_not_ready()
{
    baresip_status = STATUS_NOT_READY;
}

bool leave_not_ready()
{
    return change_status_if([](int status) { return status == STATUS_NOT_READY; }, STATUS_IDLE);
}

bool call_answered_or_ringing(int status)
{
    return status == STATUS_IN_CALL || status == STATUS_INCOMING_RINGING;
}

void enter_idle_unless_answered_or_ringing()
{
    change_status_if([](int status) { return !call_answered_or_ringing(status); }, STATUS_IDLE);
}

void adopt_reported_status(int reported)
{
    change_status_if([](int status) { return status == STATUS_NOT_READY || status == STATUS_IDLE; }, reported);
}

void set_led_state(int key, int state)
{
    if (std::atomic<int>* led = led_state(key))
        if (led->exchange(state) != state)
            post_led_change(key);
}

void set_led_states(int state)
{
    set_led_state(1, state);
    set_led_state(2, state);
}

void end_led_pattern(int key, int pattern)
{
    if (std::atomic<int>* led = led_state(key))
        if (led->compare_exchange_strong(pattern, LED_READY))
            post_led_change(key);
}

unsigned long led_changes(int key)
{
    led_signal& signal = led_signals[key - 1];
    const std::lock_guard<std::mutex> hold(signal.mutex);
    return signal.changes;
}

void wait_led_change(int key, unsigned long seen)
{
    led_signal& signal = led_signals[key - 1];
    std::unique_lock<std::mutex> hold(signal.mutex);
    signal.changed.wait(hold, [&] { return signal.changes != seen; });
}
