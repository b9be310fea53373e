#include <gtest/gtest.h>

#include <string>

#include "check/findings.h"
#include "common/c_holders.h"
#include "common/json_text.h"

namespace {

const findings mixed{
    {"settings", "key_setting:no_reply", verdict::warning, "\"Yes\" is not \"yes\": the chain never goes on"},
    {"settings", "key_setting:next_time", verdict::ok, "30 seconds"},
    {"door", "relay_setting:dtmf_code", verdict::error, "empty: set a code of 4 digits or more"},
};

std::size_t lines_of(const std::string& text)
{
    std::size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

} // namespace

TEST(CheckFindings, ExitStatusFollowsTheWorstVerdict)
{
    EXPECT_EQ(exit_status({}), 0);
    EXPECT_EQ(exit_status({mixed[1]}), 0);
    EXPECT_EQ(exit_status({mixed[1], mixed[0]}), 1);
    EXPECT_EQ(exit_status(mixed), 2);
    // An error before a warning is still the worst.
    EXPECT_EQ(exit_status({mixed[2], mixed[0]}), 2);
}

TEST(CheckFindings, TextHasEachItemAndASummaryAndNoColourUnlessAsked)
{
    const std::string text = findings_text(mixed, false);
    EXPECT_EQ(text.find('\033'), std::string::npos);
    EXPECT_NE(text.find("WARNING  key_setting:no_reply: \"Yes\" is not \"yes\""), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR    relay_setting:dtmf_code: empty"), std::string::npos) << text;
    EXPECT_NE(text.find("1 ok, 1 warning, 1 error: the station is not ready"), std::string::npos) << text;
    // Two area headings, three items, a blank line between areas and one
    // before the summary.
    EXPECT_EQ(lines_of(text), 2u + 3u + 2u + 1u) << text;

    const std::string coloured = findings_text(mixed, true);
    EXPECT_NE(coloured.find("\033[33mWARNING"), std::string::npos) << coloured;
    EXPECT_NE(coloured.find("\033[1;31mERROR"), std::string::npos) << coloured;

    EXPECT_NE(findings_text({}, false).find("0 ok, 0 warnings, 0 errors: the station is ready"), std::string::npos);

    // Only the problems: the ok line goes, the summary still counts it.
    const std::string problems = findings_text(mixed, false, true);
    EXPECT_EQ(problems.find("next_time"), std::string::npos) << problems;
    EXPECT_NE(problems.find("key_setting:no_reply"), std::string::npos) << problems;
    EXPECT_NE(problems.find("1 ok, 1 warning, 1 error"), std::string::npos) << problems;
    EXPECT_EQ(findings_text({mixed[1]}, false, true), "1 ok, 0 warnings, 0 errors: the station is ready\n");
}

TEST(CheckFindings, JsonParsesAndCarriesTheSameItemsAsTheText)
{
    const json_ptr parsed(cJSON_Parse(findings_json(mixed).c_str()));
    ASSERT_TRUE(parsed);
    const cJSON* list = cJSON_GetObjectItem(parsed.get(), "findings");
    ASSERT_TRUE(cJSON_IsArray(list));
    ASSERT_EQ(cJSON_GetArraySize(list), 3);
    const std::string text = findings_text(mixed, false);
    for (int i = 0; i < 3; ++i) {
        const cJSON* item = cJSON_GetArrayItem(list, i);
        EXPECT_EQ(json_string_member(item, "area"), mixed[i].area);
        EXPECT_EQ(json_string_member(item, "item"), mixed[i].item);
        EXPECT_EQ(json_string_member(item, "verdict"), verdict_name(mixed[i].level));
        EXPECT_EQ(json_string_member(item, "text"), mixed[i].text);
        EXPECT_NE(text.find(json_string_member(item, "item") + ": " + json_string_member(item, "text")),
                  std::string::npos);
    }
    const cJSON* summary = cJSON_GetObjectItem(parsed.get(), "summary");
    EXPECT_EQ(cJSON_GetObjectItem(summary, "ok")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(summary, "warning")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(summary, "error")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(summary, "exit")->valueint, 2);
}

// Values quoted in findings come from settings files and Redis: an escape
// sequence must not reach the terminal, and bytes that are not UTF-8 must
// not make the JSON text invalid.
TEST(CheckFindings, HostileValuesReachNeitherTheTerminalNorTheJsonAsCode)
{
    const std::string hostile = std::string("a\033]0;owned\007b\"}\r\n,\xff\xc0\xaf") + "\xc2\x9b" + "中";
    const findings one{{"settings", "key_setting:api_url" + hostile, verdict::warning, "value " + hostile}};

    const std::string text = findings_text(one, false);
    EXPECT_EQ(text.find('\033'), std::string::npos);
    EXPECT_EQ(text.find('\007'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(text.find("中"), std::string::npos);
    EXPECT_EQ(lines_of(text), 1u + 1u + 1u + 1u) << text;

    const std::string json = findings_json(one);
    EXPECT_EQ(json.find('\xff'), std::string::npos);
    const json_ptr parsed(cJSON_Parse(json.c_str()));
    ASSERT_TRUE(parsed) << json;
    const cJSON* item = cJSON_GetArrayItem(cJSON_GetObjectItem(parsed.get(), "findings"), 0);
    const std::string value = json_string_member(item, "text");
    EXPECT_EQ(value.find('\033'), std::string::npos);
    EXPECT_EQ(value.find('\xff'), std::string::npos);
    EXPECT_NE(value.find("b\"}"), std::string::npos) << value;
    EXPECT_NE(value.find("中"), std::string::npos);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(parsed.get(), "findings")), 1);
}
