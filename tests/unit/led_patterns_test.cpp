// The LED threads sleep between the steps of a pattern and while the LEDs
// are steady. These tests run the thread's loop on a clock of their own and
// compare every write with the loop it replaced, which looked at the state
// every 200 ms and paused inside the patterns.
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "orvanel/core/call_state.h"
#include "orvanel/keys/led_patterns.h"

namespace {

using ms = std::chrono::milliseconds;

struct led_change {
    long at;  // ms
    int state;
};

using write_record = std::vector<std::tuple<long, int, bool>>;  // ms, line, on

// A key's LED state that other threads change at scripted moments, its
// LED lines, and a clock that moves only when the thread waits.
class scripted_key {
public:
    scripted_key(std::vector<led_change> script, long horizon) : script_(std::move(script)), horizon_(horizon)
    {
        advance(0);
    }

    long now() const { return now_; }
    int state() const { return state_; }
    unsigned long changes() const { return changes_; }

    // False once the clock would pass the horizon.
    bool advance(long to)
    {
        if (to > horizon_)
            return false;
        now_ = to;
        while (next_ < script_.size() && script_[next_].at <= now_)
            store(script_[next_++].state);
        return true;
    }
    // The moment of the next scripted change, if any is left before the horizon.
    bool advance_to_next_change()
    {
        return next_ < script_.size() && advance(script_[next_].at);
    }

    void write(int line, bool on)
    {
        bool& lit = lines_[line];
        if (lit != on)
            writes.emplace_back(now_, line, on);
        lit = on;
    }
    void end_pattern(int pattern)
    {
        if (state_ == pattern)
            store(LED_READY);
    }

    write_record writes;
    int wake_ups = 0;

private:
    void store(int state)
    {
        if (state != state_)
            ++changes_;
        state_ = state;
    }

    std::vector<led_change> script_;
    std::size_t next_ = 0;
    long horizon_;
    long now_ = 0;
    int state_ = LED_NO_ACCOUNT;
    unsigned long changes_ = 0;
    std::map<int, bool> lines_;
};

// The loop the LED threads ran before they slept: a pass, then 200 ms.
struct horizon_reached {};

void pause(scripted_key& key, long time)
{
    if (!key.advance(key.now() + time))
        throw horizon_reached{};
}

void blink_once(scripted_key& key, int line, long half_period)
{
    key.write(line, true);
    pause(key, half_period);
    key.write(line, false);
    pause(key, half_period);
}

void per_pass_loop(const led_pair& leds, scripted_key& key)
{
    try {
        for (;;) {
            switch (key.state()) {
            case LED_NO_ACCOUNT:
                key.write(leds.blue, false);
                key.write(leds.other, true);
                break;
            case LED_CALL_FAILED:
                key.write(leds.blue, false);
                for (int i = 0; i < 5; ++i)
                    blink_once(key, leds.other, 1000);
                key.end_pattern(LED_CALL_FAILED);
                break;
            case LED_READY:
                key.write(leds.blue, true);
                key.write(leds.other, false);
                break;
            case LED_RINGING:
                key.write(leds.other, false);
                while (key.state() == LED_RINGING)
                    blink_once(key, leds.blue, 1000);
                key.end_pattern(LED_RINGING);
                break;
            case LED_HTTP_SENT:
                key.write(leds.other, false);
                for (int i = 0; i < 3; ++i)
                    blink_once(key, leds.blue, 500);
                key.end_pattern(LED_HTTP_SENT);
                break;
            case LED_SELF_TEST:
                key.write(leds.blue, true);
                key.write(leds.other, false);
                pause(key, 200);
                key.write(leds.other, true);
                key.write(leds.blue, false);
                break;
            default:
                break;
            }
            pause(key, 200);
        }
    } catch (const horizon_reached&) {
    }
}

// The sleeping loop's surroundings on the scripted key.
class scripted_surroundings final : public led_surroundings {
public:
    explicit scripted_surroundings(scripted_key& key) : key_(key) {}
    time_point now() override { return time_point(ms(key_.now())); }
    bool sleep_until(time_point deadline) override
    {
        ++key_.wake_ups;
        const long to = std::chrono::duration_cast<ms>(deadline.time_since_epoch()).count();
        EXPECT_GE(to, key_.now()) << "a deadline in the past on a clock that never runs late";
        return key_.advance(to);
    }
    unsigned long changes() override { return key_.changes(); }
    bool wait_change(unsigned long seen) override
    {
        ++key_.wake_ups;
        while (key_.changes() == seen)
            if (!key_.advance_to_next_change())
                return false;
        return true;
    }
    int state() override { return key_.state(); }
    void write(int line, bool on) override { key_.write(line, on); }
    void end_pattern(int pattern) override { key_.end_pattern(pattern); }

private:
    scripted_key& key_;
};

write_record sleeping(const std::vector<led_change>& script, long horizon, int* wake_ups = nullptr)
{
    scripted_key key(script, horizon);
    scripted_surroundings around(key);
    show_led_passes(key1_leds, around);
    if (wake_ups)
        *wake_ups = key.wake_ups;
    return key.writes;
}

write_record per_pass(const std::vector<led_change>& script, long horizon)
{
    scripted_key key(script, horizon);
    per_pass_loop(key1_leds, key);
    return key.writes;
}

}  // namespace

TEST(LedPatterns, SleepingScheduleWritesWhatThePerPassLoopWrote)
{
    // Every state, changes in the middle of patterns and between passes, on
    // and off the 200 ms grid, quick and slow.
    const int states[] = {LED_NO_ACCOUNT, LED_CALL_FAILED, LED_READY, LED_RINGING,
                          LED_HTTP_SENT,  LED_SELF_TEST,   LED_SELF_TEST_PASSED, 5};
    std::mt19937 random(20261209);
    constexpr long horizon = 60000;
    for (int run = 0; run < 400; ++run) {
        std::vector<led_change> script;
        long at = 0;
        for (;;) {
            const int gap_kind = random() % 3;
            at += gap_kind == 0 ? random() % 300 : gap_kind == 1 ? random() % 3000 : random() % 15000;
            if (at >= horizon)
                break;
            script.push_back({at, states[random() % std::size(states)]});
        }
        const write_record expected = per_pass(script, horizon);
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(sleeping(script, horizon), expected) << "run " << run;
    }
}

TEST(LedPatterns, SteadyLightsSleepUntilTheStateChanges)
{
    int wake_ups = 0;
    const write_record writes = sleeping({{0, LED_READY}, {50000, LED_NO_ACCOUNT}}, 60000, &wake_ups);
    EXPECT_EQ(writes, (write_record{{0, 131, true}, {50000, 131, false}, {50000, 130, true}}))
        << "the change shows at the grid moment that sees it";
    EXPECT_LE(wake_ups, 4) << "a minute of steady lights";

    const write_record late = sleeping({{0, LED_READY}, {50030, LED_NO_ACCOUNT}}, 60000);
    ASSERT_EQ(late.size(), 3u);
    EXPECT_EQ(std::get<0>(late[1]), 50200) << "between grid moments: the next one";
}

TEST(LedPatterns, TimedPatternsEndInReadyUnlessAStateCameMeanwhile)
{
    led_position at;
    int steps = 1;
    led_step step = next_led_step(key1_leds, at, LED_HTTP_SENT);
    while (step.ends_pattern < 0) {
        step = next_led_step(key1_leds, at, LED_READY);  // the state read meanwhile does not cut it short
        ++steps;
    }
    EXPECT_EQ(step.ends_pattern, LED_HTTP_SENT);
    EXPECT_EQ(steps, 7) << "three blinks of two edges, then the end";
    EXPECT_EQ(at.pattern, -1) << "the next step starts a pass";

    // A ringing key blinks until the state moves on, then ends its pattern.
    at = {};
    EXPECT_EQ(next_led_step(key1_leds, at, LED_RINGING).count, 2);
    EXPECT_EQ(next_led_step(key1_leds, at, LED_RINGING).writes[0].on, false);
    EXPECT_EQ(next_led_step(key1_leds, at, LED_RINGING).writes[0].on, true) << "still ringing";
    next_led_step(key1_leds, at, LED_RINGING);
    EXPECT_EQ(next_led_step(key1_leds, at, LED_CALL_FAILED).ends_pattern, LED_RINGING);
}
