#include "orvanel/keys/indicators.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/config.h"
#include "common/process.h"
#include "common/station_root.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"

namespace {

void pause_for(std::chrono::microseconds wait)
{
    std::this_thread::sleep_for(wait);
}

constexpr std::chrono::microseconds one_second{1000000};
constexpr std::chrono::microseconds half_second{500000};
constexpr std::chrono::microseconds pass_pause{200000};

// Ends a timed pattern: 4 only if the state still holds the pattern's value,
// so a state stored meanwhile (a new call ringing) is not lost.
void end_pattern(std::atomic<int>& state, int pattern)
{
    state.compare_exchange_strong(pattern, LED_READY);
}

// One blink of an LED: on for the time, then off for the same time.
void blink_once(int line, std::chrono::microseconds half_period)
{
    set_key_led(line, true);
    pause_for(half_period);
    set_key_led(line, false);
    pause_for(half_period);
}

[[noreturn]] void show_led_passes(const led_pair& leds, std::atomic<int>& state)
{
    for (;;) {
        show_led_state(leds, state);
        pause_for(pass_pause);
    }
}

void publish_volume_event(const char* action)
{
    redis_run("PUBLISH volume-event-channel %s", std::string(R"({"name": "SIP", "action": ")") + action + "\"}");
}

bool beep_announced(int status)
{
    return status == STATUS_IDLE || status == STATUS_NOT_READY;
}

}  // namespace

std::string gpio_value_path(int line)
{
    return "/sys/class/gpio/gpio" + std::to_string(line) + "/value";
}

void set_key_led(int line, bool on)
{
    const std::string path = station_path(gpio_value_path(line));
    char text[129] = {};
    ssize_t got = 0;
    {
        const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            return;
        got = read(fd.get(), text, 128);
    }
    const bool lit = got > 0 && std::atoi(text) == 1;
    const bool dark = got > 0 && text[0] == '0';
    if (on ? !lit : !dark)
        run_shell(std::string("echo ") + (on ? "1" : "0") + " > " + path);
}

void show_led_state(const led_pair& leds, std::atomic<int>& state)
{
    const int shown = state;
    switch (shown) {
    case LED_NO_ACCOUNT:
        set_key_led(leds.blue, false);
        set_key_led(leds.other, true);
        break;
    case LED_CALL_FAILED:
        set_key_led(leds.blue, false);
        for (int i = 0; i < 5; ++i)
            blink_once(leds.other, one_second);
        end_pattern(state, LED_CALL_FAILED);
        break;
    case LED_READY:
        set_key_led(leds.blue, true);
        set_key_led(leds.other, false);
        break;
    case LED_RINGING:
        set_key_led(leds.other, false);
        // A new state is noticed at the end of the blink cycle in progress.
        while (state == LED_RINGING)
            blink_once(leds.blue, one_second);
        end_pattern(state, LED_RINGING);
        break;
    case LED_HTTP_SENT:
        set_key_led(leds.other, false);
        for (int i = 0; i < 3; ++i)
            blink_once(leds.blue, half_second);
        end_pattern(state, LED_HTTP_SENT);
        break;
    case LED_SELF_TEST:
        set_key_led(leds.blue, true);
        set_key_led(leds.other, false);
        pause_for(pass_pause);
        set_key_led(leds.other, true);
        set_key_led(leds.blue, false);
        break;
    default:
        break;  // 16 among them: the LEDs keep what they show
    }
}

void Led_State_GPIO140()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Led_State_GPIO140");
    show_led_passes(key1_leds, led_state_gpio140);
}

void Led_State_GPIO67()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Led_State_GPIO67");
    // Only the two-key model has the second key's LEDs; read once.
    const std::string model = config_value(speaker_conf, "system:model", 32);
    if (model != "ZR-K11") {
        log_print(LEVEL_INFO, "module:%s 不含有gpio67 结束当前线程:%s\n", model.c_str(), "Led_State_GPIO67");
        return;
    }
    show_led_passes(key2_leds, led_state_gpio67);
}

void key_beep()
{
    if (config_value(volume_conf, "volume:key_beep", 8) != "yes")
        return;
    if (beep_announced(baresip_status))
        publish_volume_event("on");
    pause_for(std::chrono::microseconds(100000));
    run_shell("mpg123 " + station_path("/home/kovrin/target/share/sounds/beep.mp3"));
    pause_for(std::chrono::microseconds(400000));
    if (beep_announced(baresip_status))
        publish_volume_event("off");
}

void amplifier_on(bool on)
{
    run_shell(station_path("/etc/scripts/pa_mute.sh") + (on ? " 0" : " 1"));
}
