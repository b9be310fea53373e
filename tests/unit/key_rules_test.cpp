#include <gtest/gtest.h>

#include "common/http_action.h"
#include "common/net_address.h"
#include "orvanel/keys/ip_announcement.h"
#include "orvanel/keys/key_self_test.h"

TEST(HttpAction, OrdinaryUrlsGiveTheFamiliarCommand)
{
    EXPECT_EQ(http_action_command("http://10.0.0.2/open?door=1&x=${ip}"),
              "curl -k --connect-timeout 5 'http://10.0.0.2/open?door=1&x=${ip}' 2>/dev/null &");
    EXPECT_EQ(http_action_command(""), "curl -k --connect-timeout 5 '' 2>/dev/null &");
}

TEST(HttpAction, SingleQuotesCannotEndTheQuoting)
{
    EXPECT_EQ(shell_quote("a'b"), R"('a'\''b')");
    EXPECT_EQ(http_action_command("x'; touch /tmp/p; '"),
              R"(curl -k --connect-timeout 5 'x'\''; touch /tmp/p; '\''' 2>/dev/null &)");
}

TEST(IpAnnouncement, AddressesAndTheirSpeech)
{
    EXPECT_TRUE(is_ipv4_address("10.0.0.1"));
    EXPECT_TRUE(is_ipv4_address("192.168.100.200"));
    EXPECT_FALSE(is_ipv4_address(""));
    EXPECT_FALSE(is_ipv4_address("fe80::1"));
    EXPECT_FALSE(is_ipv4_address("10.0.0"));
    EXPECT_FALSE(is_ipv4_address("addr:10.0.0.1"));
    const std::string command = ip_speech_command("10.0.0.15", true);
    EXPECT_EQ(command, "cd /home/kovrin/target/share/sounds/en/;mpg123 -r 48000 digit-1.mp3 digit-0.mp3 dian.mp3 "
                       "digit-0.mp3 dian.mp3 digit-0.mp3 dian.mp3 digit-1.mp3 digit-5.mp3 ");
    EXPECT_EQ(ip_speech_command("1.2", false), "cd /home/kovrin/target/share/sounds/cn/;mpg123 -r 48000 digit-1.mp3 dian.mp3 digit-2.mp3 ");
}

TEST(KeySelfTest, ResultTexts)
{
    EXPECT_EQ(key_test_result_text(1, true), R"({"name": "key1", "result": "0"})");
    EXPECT_EQ(key_test_result_text(2, false), R"({"name": "key2", "result": "1"})");
    EXPECT_EQ(key_test_result_text(3, true), R"({"name": "atKey", "result": "0"})");
    EXPECT_EQ(key_test_result_text(4, true), "");
}
