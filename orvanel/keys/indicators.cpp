#include "orvanel/keys/indicators.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/config.h"
#include "common/process.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "orvanel/core/call_state.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"

namespace {

void pause_for(std::chrono::microseconds wait)
{
    std::this_thread::sleep_for(wait);
}

// A key's LEDs on the device: real time, the key's LED state and the GPIO
// value files.
class device_leds final : public led_surroundings {
public:
    explicit device_leds(int key) : key_(key) {}
    time_point now() override { return std::chrono::steady_clock::now(); }
    bool sleep_until(time_point deadline) override
    {
        std::this_thread::sleep_until(deadline);
        return true;
    }
    unsigned long changes() override { return led_changes(key_); }
    bool wait_change(unsigned long seen) override
    {
        wait_led_change(key_, seen);
        return true;
    }
    int state() override { return *led_state_of_key(key_); }
    void write(int line, bool on) override { set_key_led(line, on); }
    void end_pattern(int pattern) override { end_led_pattern(key_, pattern); }

private:
    int key_;
};

void publish_volume_event(const char* action)
{
    redis_run(volume_event_publish, std::string(R"({"name": "SIP", "action": ")") + action + "\"}");
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

void Led_State_GPIO140()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Led_State_GPIO140");
    device_leds leds(1);
    show_led_passes(key1_leds, leds);
}

void Led_State_GPIO67()
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", "Led_State_GPIO67");
    // Only the two-key model has the second key's LEDs; read once.
    const std::string model = setting_value(setting::system_model);
    if (model != "ZR-K11") {
        log_print(LEVEL_INFO, "module:%s 不含有gpio67 结束当前线程:%s\n", model.c_str(), "Led_State_GPIO67");
        return;
    }
    device_leds leds(2);
    show_led_passes(key2_leds, leds);
}

void key_beep()
{
    if (setting_value(setting::volume_key_beep) != "yes")
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
