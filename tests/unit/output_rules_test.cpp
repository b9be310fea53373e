#include <algorithm>
#include <cstdint>
#include <random>

#include <gtest/gtest.h>

#include "outputd/action_urls.h"
#include "outputd/gpio_status.h"
#include "outputd/output_state.h"

namespace {

output_modes modes(const char* relay, const char* music = "", const char* alarm = "")
{
    return {relay, music, alarm};
}

// The ticks of one cycle at which the line is written, with the levels.
std::vector<std::pair<int, int>> cycle(gpio_tick_state& s, int state)
{
    std::vector<std::pair<int, int>> writes;
    for (int i = 0; i < 200; ++i) {
        const int tick = s.tick + 1;
        if (auto level = gpio_tick(s, state))
            writes.emplace_back(tick, *level);
    }
    return writes;
}

using writes = std::vector<std::pair<std::int64_t, int>>;

// The writes, (tick since start, level), of a loop that wakes at every tick
// when the state for tick t is states[t - 1].
writes every_tick(const std::vector<int>& states)
{
    gpio_tick_state s;
    writes out;
    for (std::size_t t = 1; t <= states.size(); ++t)
        if (auto level = gpio_tick(s, states[t - 1]))
            out.emplace_back(t, *level);
    return out;
}

// The same through the sleeping schedule: a new state for tick t is noticed
// between ticks t - 1 and t, and only writing ticks are visited.
writes sleeping(const std::vector<int>& states)
{
    gpio_schedule at;
    at.state = states[0];
    writes out;
    std::int64_t next = at.next_write();
    for (std::size_t t = 1; t <= states.size(); ++t) {
        if (states[t - 1] != at.state) {
            at.change(states[t - 1], t - 1);
            next = at.next_write();
        }
        if (static_cast<std::int64_t>(t) != next)
            continue;
        if (auto level = at.write())
            out.emplace_back(t, *level);
        next = at.next_write();
    }
    return out;
}

// Held state `from` for the first ticks, then `to` from tick `change` on.
std::vector<int> switched(int from, int to, std::size_t change, std::size_t length)
{
    std::vector<int> states(length, to);
    std::fill_n(states.begin(), change - 1, from);
    return states;
}

}  // namespace

TEST(OutputModes, OnAndOffFollowTheRelayMode)
{
    EXPECT_EQ(state_for_type("On", modes("singleBToggle")), 1);
    EXPECT_EQ(state_for_type("Off", modes("singleBToggle")), 0);
    EXPECT_EQ(state_for_type("On", modes("singleAToggle")), 0);
    EXPECT_EQ(state_for_type("Off", modes("singleAToggle")), 1);
    EXPECT_EQ(state_for_type("On", modes("fastToggle")), 2);
    EXPECT_EQ(state_for_type("Off", modes("fastToggle")), 0);
    EXPECT_EQ(state_for_type("On", modes("slowToggle")), 3);
    EXPECT_EQ(state_for_type("Off", modes("slowToggle")), 0);
}

TEST(OutputModes, TheFirstModeNotDisabledGovernsTheIdleLevel)
{
    EXPECT_EQ(idle_level(modes("singleBToggle")), 0);
    EXPECT_EQ(idle_level(modes("singleAToggle")), 1);
    EXPECT_EQ(idle_level(modes("Disabled", "singleAToggle", "x")), 1);
    EXPECT_EQ(state_for_type("On", modes("Disabled", "singleAToggle")), 0);
    EXPECT_EQ(state_for_type("Off", modes("Disabled", "singleAToggle")), 1);
    EXPECT_EQ(idle_level(modes("Disabled", "Disabled", "singleAToggle")), 1);
    EXPECT_EQ(idle_level(modes("Disabled", "Disabled", "Disabled")), 0);
    EXPECT_EQ(state_for_type("On", modes("Disabled", "Disabled", "Disabled")), 0);
    // An empty relay mode governs: it is not "Disabled".
    EXPECT_EQ(idle_level(modes("", "singleAToggle", "singleAToggle")), 0);
    EXPECT_EQ(state_for_type("On", modes("", "singleAToggle")), 0);
}

TEST(OutputModes, ModeNamesAsTypesIgnoreTheSettings)
{
    EXPECT_EQ(state_for_type("slowToggle", modes("singleAToggle")), 3);
    EXPECT_EQ(state_for_type("fastToggle", modes("Disabled")), 2);
    EXPECT_EQ(state_for_type("singleBToggle", modes("singleAToggle")), 1);
    EXPECT_EQ(state_for_type("singleAToggle", modes("singleBToggle")), 0);
    EXPECT_EQ(state_for_type("on", modes("singleBToggle")), 0);
    EXPECT_EQ(state_for_type("", modes("singleAToggle")), 0);
}

TEST(GpioTicks, SteadyStatesWriteTwicePerCycle)
{
    gpio_tick_state s;
    EXPECT_EQ(cycle(s, 0), (std::vector<std::pair<int, int>>{{47, 0}, {143, 0}}));
    EXPECT_EQ(cycle(s, 1), (std::vector<std::pair<int, int>>{{47, 1}, {143, 1}}));
    EXPECT_EQ(s.tick, 0);
}

TEST(GpioTicks, BlinksToggleAtTheirTicks)
{
    gpio_tick_state s;
    EXPECT_EQ(cycle(s, 2), (std::vector<std::pair<int, int>>{{39, 1}, {78, 0}, {117, 1}, {156, 0}, {195, 1}}));
    EXPECT_EQ(cycle(s, 3), (std::vector<std::pair<int, int>>{{99, 1}, {198, 0}}));
    // The fast phase went on from where it stopped.
    EXPECT_EQ(cycle(s, 2), (std::vector<std::pair<int, int>>{{39, 0}, {78, 1}, {117, 0}, {156, 1}, {195, 0}}));
}

TEST(GpioTicks, StateChangeMidCycleTakesEffectAtTheNextWritingTick)
{
    gpio_tick_state s;
    std::vector<std::pair<int, int>> writes;
    for (int tick = 1; tick <= 200; ++tick) {
        const int state = tick <= 100 ? 2 : 0;  // fast blink, then off at tick 100
        if (auto level = gpio_tick(s, state))
            writes.emplace_back(tick, *level);
    }
    EXPECT_EQ(writes, (std::vector<std::pair<int, int>>{{39, 1}, {78, 0}, {143, 0}}));

    gpio_tick_state t;
    writes.clear();
    for (int tick = 1; tick <= 200; ++tick) {
        const int state = tick < 150 ? 1 : 3;
        if (auto level = gpio_tick(t, state))
            writes.emplace_back(tick, *level);
    }
    EXPECT_EQ(writes, (std::vector<std::pair<int, int>>{{47, 1}, {143, 1}, {198, 1}}));
}

TEST(GpioSchedule, SleepingWritesWhatTheTickLoopWrites)
{
    for (int state : {0, 1, 2, 3, 7})
        EXPECT_EQ(sleeping(std::vector<int>(800, state)), every_tick(std::vector<int>(800, state))) << state;
    // Every change point of a cycle, after a first cycle has set the phases,
    // for every pair of states.
    for (int from : {0, 1, 2, 3})
        for (int to : {0, 1, 2, 3})
            for (std::size_t change = 201; change <= 400; ++change) {
                const std::vector<int> states = switched(from, to, change, 700);
                ASSERT_EQ(sleeping(states), every_tick(states)) << from << " to " << to << " at " << change;
            }
}

TEST(GpioSchedule, ManyChangesInARow)
{
    std::mt19937 random(66);
    for (int run = 0; run < 200; ++run) {
        std::vector<int> states;
        while (states.size() < 2000)
            states.insert(states.end(), 1 + random() % 150, static_cast<int>(random() % 5));
        ASSERT_EQ(sleeping(states), every_tick(states)) << "run " << run;
    }
}

TEST(GpioSchedule, AStateThatNeverWritesSleepsAWholeCycle)
{
    gpio_schedule at;
    at.state = 9;
    EXPECT_EQ(at.next_write(), 200);
    EXPECT_EQ(at.write(), std::nullopt);
    EXPECT_EQ(at.ticks, 200);
    EXPECT_EQ(at.cycle.tick, 0);
}

TEST(GpioSchedule, AChangeNoticedLateLeavesTheDueWriteToTheNewState)
{
    gpio_schedule at;  // steady 0: next write at tick 47
    at.change(OUT_HIGH, 500);
    EXPECT_EQ(at.ticks, 46);
    EXPECT_EQ(at.next_write(), 47);
    EXPECT_EQ(at.write(), 1);
}

TEST(ActionUrls, EveryPlaceholderIsReplaced)
{
    std::string url = "http://h/?ip=${ip}&again=${ip}&mac=${mac}";
    replace_all(url, "${ip}", "192.168.1.20");
    replace_all(url, "${mac}", "021122334455");
    EXPECT_EQ(url, "http://h/?ip=192.168.1.20&again=192.168.1.20&mac=021122334455");
    std::string self = "${ip}";
    EXPECT_EQ(replace_all(self, "${ip}", "${ip}${ip}"), "${ip}${ip}") << "a value holding the placeholder stays";
    std::string none = "http://h/";
    EXPECT_EQ(replace_all(none, "${ip}", "x"), "http://h/");
}

TEST(ActionUrls, MacDigits)
{
    EXPECT_TRUE(is_mac_digits("021122334455"));
    EXPECT_TRUE(is_mac_digits("A0b1C2d3E4f5"));
    EXPECT_FALSE(is_mac_digits("02112233445"));
    EXPECT_FALSE(is_mac_digits("02:11:22:33:44:55"));
    EXPECT_FALSE(is_mac_digits("0211223344zz"));
}
