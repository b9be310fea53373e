#include <gtest/gtest.h>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "orvanel/core/dial.h"
#include "orvanel/core/publish.h"

TEST(JsonText, OrdinaryTextIsUnchanged)
{
    EXPECT_EQ(json_escape("1001"), "1001");
    EXPECT_EQ(json_escape("/userdata/alarm.mp3"), "/userdata/alarm.mp3");
    EXPECT_EQ(json_escape("sip:2001@10.0.0.5;transport=udp"), "sip:2001@10.0.0.5;transport=udp");
    EXPECT_EQ(json_escape("中文"), "中文");
}

TEST(JsonText, QuotesBackslashesAndControlsAreEscaped)
{
    EXPECT_EQ(json_escape("a\"b\\c"), "a\\\"b\\\\c");
    EXPECT_EQ(json_escape("x\ny\tz"), "x\\ny\\tz");
    EXPECT_EQ(json_escape(std::string("\x01", 1)), "\\u0001");
}

TEST(JsonText, CommandsWithHostileSettingsStayOneValidObject)
{
    const std::string number = R"(1001","cmd":"hangupall)";
    for (const std::string& text : {dial_command_text(number, 0), p2p_dial_command_text(number),
                                    play_command_text(R"(/a"b\.mp3)", 2)}) {
        json_ptr parsed(cJSON_Parse(text.c_str()));
        ASSERT_TRUE(parsed) << text;
        int members = 0;
        for (const cJSON* m = parsed->child; m; m = m->next)
            ++members;
        EXPECT_EQ(members, 2) << text;
        EXPECT_STREQ(cJSON_GetObjectItem(parsed.get(), "cmd")->valuestring,
                     text.find("play") != std::string::npos ? "play" : "dial");
    }
    json_ptr dial(cJSON_Parse(dial_command_text(number, 1).c_str()));
    EXPECT_EQ(std::string(cJSON_GetObjectItem(dial.get(), "data")->valuestring), number + " 1");
}

TEST(JsonText, CommandTextsOfOrdinaryValuesAreExact)
{
    EXPECT_EQ(dial_command_text("1001", 1), R"({"cmd":"dial","data":"1001 1"})");
    EXPECT_EQ(p2p_dial_command_text("192.168.1.30"), R"({"cmd":"dial","data":"192.168.1.30"})");
    EXPECT_EQ(play_command_text("/userdata/alarm.mp3", 2), R"({"cmd":"play","data":"/userdata/alarm.mp3:2"})");
}

TEST(JsonText, MembersOfAnotherTypeCountAsMissing)
{
    json_ptr event(cJSON_Parse(R"({"type":"CALL_CLOSED","param":5,"direction":[],"class":null})"));
    EXPECT_TRUE(json_has_string(event.get(), "type"));
    EXPECT_FALSE(json_has_string(event.get(), "param"));
    EXPECT_EQ(json_string_member(event.get(), "param"), "");
    EXPECT_EQ(json_string_member(event.get(), "direction"), "");
    EXPECT_EQ(json_string_member(event.get(), "class"), "");
    EXPECT_EQ(json_string_member(event.get(), "absent"), "");
    EXPECT_EQ(json_string_member(event.get(), "type"), "CALL_CLOSED");
}
