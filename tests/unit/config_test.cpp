#include <gtest/gtest.h>

#include "common/config.h"
#include "common/process.h"
#include "common/station_root.h"
#include "station_kit/station.h"

class Settings : public ::testing::Test {
protected:
    kit_root root;
    root_in_process in_root{root};
};

TEST_F(Settings, PresentEmptyAndAbsentKeys)
{
    root.write_settings("[button-gpio140]\nkey_mode = 1\nnext_number_1 =\n[relay_ctrl]\ntype = On\n");
    std::string value = "old";
    EXPECT_EQ(read_config_value(speaker_conf, "button-gpio140:key_mode", value, 32), 1);
    EXPECT_EQ(value, "1");
    EXPECT_EQ(read_config_value(speaker_conf, "button-gpio140:next_number_1", value, 32), 1);
    EXPECT_EQ(value, "");
    value = "old";
    EXPECT_EQ(read_config_value(speaker_conf, "button-gpio140:api_url", value, 256), 1);
    EXPECT_EQ(value, "");
    EXPECT_EQ(read_config_value(speaker_conf, "no_such_section:type", value, 8), 1);
    EXPECT_EQ(value, "");
}

TEST_F(Settings, MissingFileLeavesTheDestinationAndSaysSo)
{
    std::string value = "preset";
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_config_value("/etc/absent.conf", "a:b", value, 16), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(value, "preset");
    EXPECT_EQ(err, "cannot parse file: " + root.file("/etc/absent.conf") + "\n");
    EXPECT_EQ(config_value("/etc/absent.conf", "a:b", 16), "");
}

TEST_F(Settings, LongValuesAreCutAtSizeMinusOne)
{
    root.write_settings("[relay_ctrl]\ncall_state = yes\ndtmf_code = 123456789\n");
    EXPECT_EQ(config_value(speaker_conf, "relay_ctrl:call_state", 8), "yes");
    EXPECT_EQ(config_value(speaker_conf, "relay_ctrl:dtmf_code", 8), "1234567");
    EXPECT_EQ(config_value(speaker_conf, "relay_ctrl:dtmf_code", 10), "123456789");
    EXPECT_EQ(config_value(speaker_conf, "relay_ctrl:dtmf_code", 1), "");
}

TEST_F(Settings, EveryReadSeesTheFileAsItIsNow)
{
    root.write_settings("[system]\nlanguage = en\n");
    EXPECT_EQ(config_value(speaker_conf, "system:language", 8), "en");
    root.write_settings("[system]\nlanguage = cn\n");
    EXPECT_EQ(config_value(speaker_conf, "system:language", 8), "cn");
}

TEST_F(Settings, VolumeFileAndQuotedValues)
{
    root.write_volume_settings("[volume]\nkey_beep = yes\n");
    root.write_settings("[button-gpio140]\napi_url = \"http://10.0.0.2/open?a=1;b=2\"\n");
    EXPECT_EQ(config_value(volume_conf, "volume:key_beep", 8), "yes");
    EXPECT_EQ(config_value(speaker_conf, "button-gpio140:api_url", 256), "http://10.0.0.2/open?a=1;b=2");
}

TEST_F(Settings, OutputDaemonEchoesEveryReadInDebugMode)
{
    root.write_settings("[relay_ctrl]\nrelay_mode = singleAToggle\n");
    set_config_read_echo(true);
    testing::internal::CaptureStdout();
    config_value(speaker_conf, "relay_ctrl:relay_mode", 16);
    config_value(speaker_conf, "relay_ctrl:alarm", 16);
    const std::string out = testing::internal::GetCapturedStdout();
    set_config_read_echo(false);
    EXPECT_EQ(out, "keystr: \"relay_ctrl:relay_mode\" ; value: singleAToggle.\n"
                   "keystr: \"relay_ctrl:alarm\" ; value: .\n");
}

TEST(StationRootPaths, DevicePathsAreJoinedToTheRoot)
{
    unsetenv("STATION_ROOT");
    ASSERT_TRUE(station_root_init());
    EXPECT_EQ(station_path("/etc/speaker.conf"), "/etc/speaker.conf");
    setenv("STATION_ROOT", "/tmp/root-x/", 1);
    ASSERT_TRUE(station_root_init());
    EXPECT_EQ(station_path("/sys/class/gpio/gpio131/value"), "/tmp/root-x/sys/class/gpio/gpio131/value");
    setenv("STATION_ROOT", "/tmp/a b;touch x", 1);
    EXPECT_FALSE(station_root_init());
    unsetenv("STATION_ROOT");
    station_root_init();
}

TEST(StationTemplate, StandInsRecordTheirCallsAndShowTheSimulatedInterface)
{
    kit_root root;
    EXPECT_EQ(root.read("/sys/class/gpio/gpio140/value"), "1\n");
    EXPECT_EQ(root.read("/sys/class/gpio/gpio66/value"), "0\n");
    const std::string command = "cd " + root.path() + "/home && STATION_ROOT=" + root.path() + " " + root.path() +
                                "/sbin/ifconfig eth0 | grep 'inet addr' > " + root.path() + "/tmp/ip.txt && " +
                                "STATION_ROOT=" + root.path() + " " + root.bin_dir() +
                                "/curl -k 'http://x/?a=1;b' \"two words\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_NE(root.read("/tmp/ip.txt").find("inet addr:192.168.1.20"), std::string::npos);
    const auto calls = root.tool_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "ifconfig");
    EXPECT_EQ(calls[0].cwd, root.path() + "/home");
    EXPECT_EQ(calls[0].args, std::vector<std::string>{"eth0"});
    EXPECT_EQ(calls[1].name, "curl");
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"-k", "http://x/?a=1;b", "two words"}));
}

TEST(CommandLine, OnlyTheSingleArgumentDebugTurnsDebugOn)
{
    char prog[] = "orvanel", debug[] = "debug", upper[] = "DEBUG", other[] = "x";
    char* just_debug[] = {prog, debug};
    char* capitals[] = {prog, upper};
    char* two[] = {prog, debug, other};
    char* none[] = {prog};
    EXPECT_TRUE(debug_mode_from_args(2, just_debug));
    EXPECT_FALSE(debug_mode_from_args(2, capitals));
    EXPECT_FALSE(debug_mode_from_args(3, two));
    EXPECT_FALSE(debug_mode_from_args(1, none));
}
