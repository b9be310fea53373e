#include "orvanel/core/call_state.h"

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

std::atomic<int>* led_state_of_key(int key)
{
    if (key == 1)
        return &led_state_gpio140;
    if (key == 2)
        return &led_state_gpio67;
    return nullptr;
}

void reset_call_state()
{
    baresip_status = STATUS_NOT_READY;
    active_key = 0;
    led_state_gpio140 = LED_NO_ACCOUNT;
    led_state_gpio67 = LED_NO_ACCOUNT;
    key_test_mode = 0;
    for (auto& flag : account_registered)
        flag = 0;
    p2p_enabled = 0;
    in_alarm_callback = 0;
    manual_hangup = 0;
    next_hop_timer_armed = 0;
    abnormal_hangup = 0;
    dtmf_digits.clear();
}
