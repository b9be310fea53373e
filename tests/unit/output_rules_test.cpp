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
