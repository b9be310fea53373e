#include "orvanel/keys/led_patterns.h"

#include "orvanel/core/call_state.h"

namespace {

using std::chrono::milliseconds;
constexpr milliseconds one_second{1000};
constexpr milliseconds half_second{500};

}  // namespace

led_step next_led_step(const led_pair& leds, led_position& at, int state)
{
    led_step step;
    const auto set = [&step](int line, bool on) { step.writes[step.count++] = {line, on}; };
    const auto wait = [&step](milliseconds time) { step.wait = time; };
    // The pass ends with the pause of one grid step before the next.
    const auto pass_over = [&step, &at](int ended) {
        step.ends_pattern = ended;
        step.wait = led_grid;
        at = {};
    };
    const auto steady = [&step, &pass_over] {
        step.steady = true;
        pass_over(-1);
    };

    if (at.pattern < 0)
        at = {state, 0};
    const int k = at.step++;
    // A number of blinks of one LED, the other dark, then ready.
    const auto blinks = [&](int dark, int line, int count, milliseconds half_period, int pattern) {
        if (k == 0)
            set(dark, false);
        if (k < 2 * count) {
            set(line, k % 2 == 0);
            wait(half_period);
        } else {
            pass_over(pattern);
        }
    };
    switch (at.pattern) {
    case LED_NO_ACCOUNT:
        set(leds.blue, false);
        set(leds.other, true);
        steady();
        break;
    case LED_READY:
        set(leds.blue, true);
        set(leds.other, false);
        steady();
        break;
    case LED_CALL_FAILED:
        blinks(leds.blue, leds.other, 5, one_second, LED_CALL_FAILED);  // slow, the other LED
        break;
    case LED_RINGING:
        // Slow blinks of the blue LED for as long as the state holds; a new
        // state is noticed at the end of the blink in progress.
        if (k == 0)
            set(leds.other, false);
        if (k % 2 == 1) {
            set(leds.blue, false);
            wait(one_second);
        } else if (state == LED_RINGING) {
            set(leds.blue, true);
            wait(one_second);
            at.step = 1;
        } else {
            pass_over(LED_RINGING);
        }
        break;
    case LED_HTTP_SENT:
        blinks(leds.other, leds.blue, 3, half_second, LED_HTTP_SENT);  // fast, the blue LED
        break;
    case LED_SELF_TEST:
        // The two LEDs in turn, for as long as the state holds.
        if (k == 0) {
            set(leds.blue, true);
            set(leds.other, false);
            wait(led_grid);
        } else {
            set(leds.other, true);
            set(leds.blue, false);
            pass_over(-1);
        }
        break;
    default:
        steady();  // 16 among them: the LEDs keep what they show
        break;
    }
    return step;
}

void show_led_passes(const led_pair& leds, led_surroundings& around)
{
    led_position at;
    led_surroundings::time_point moment = around.now();
    unsigned long seen = 0;
    for (;;) {
        // The count is read before the state, so a change stored after the
        // read still wakes the wait below.
        if (at.pattern < 0)
            seen = around.changes();
        const led_step step = next_led_step(leds, at, around.state());
        for (int i = 0; i < step.count; ++i)
            around.write(step.writes[i].line, step.writes[i].on);
        if (step.ends_pattern >= 0)
            around.end_pattern(step.ends_pattern);
        moment += step.wait;
        if (step.steady) {
            if (!around.wait_change(seen))
                return;
            // The next pass starts at the first grid moment that sees the change.
            const auto late = around.now() - moment;
            if (late.count() > 0) {
                const auto tick = led_surroundings::time_point::duration(1);
                moment += ((late + led_grid - tick) / led_grid) * led_grid;
            }
        }
        if (!around.sleep_until(moment))
            return;
    }
}
