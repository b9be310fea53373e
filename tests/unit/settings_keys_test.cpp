// The settings table (common/settings_keys.h) and speaker.conf(5), read
// from the page's scdoc source in the source tree: every key the programs
// read is documented under its section with its buffer and default, and
// every key the page documents is one they read. The page's key entries are
// lines of a fixed form (its opening comment says so too):
//
//   ## [SECTION]                     a section of /etc/speaker.conf
//   ## [SECTION], N = NUMBERS        a numbered section ("account_info_N")
//   ## [SECTION] in FILE             a section of another settings file
//   *KEY* (buffer SIZE; default: DEFAULT)
//   *KEY*, K = NUMBERS (buffer SIZE; default: DEFAULT)
//
// NUMBERS as numbers_text writes them ("1 to 3", "140 or 67"). Every "## "
// line of the page is a section heading, and every line that starts with
// '*' and holds "(buffer " a key entry: a line that means to be one and is
// written otherwise fails here rather than leave its key undocumented.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/settings_keys.h"
#include "station_kit/station.h"

namespace {

const std::string page_source = STATION_SOURCE_DIR "/man/speaker.conf.5.scd";

struct documented_key {
    int line = 0;
    std::string file;
    std::string section;
    std::string section_numbers;
    std::string key;
    std::string key_numbers;
    std::size_t buffer = 0;
    std::string fallback;
};

struct page_keys {
    std::vector<documented_key> keys;
    std::vector<std::string> errors;  // lines that break the form
};

page_keys read_page(const std::string& path)
{
    static const std::regex heading(R"(^## \[([^\]]+)\](?:, N = (.+?))?(?: in (/\S+))?$)");
    static const std::regex entry(R"(^\*([^*]+)\*(?:, K = (.+?))? \(buffer ([0-9]+); default: (.+)\)$)");
    page_keys out;
    std::ifstream in(path);
    if (!in) {
        out.errors.push_back("cannot read " + path);
        return out;
    }
    std::optional<documented_key> section;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::smatch m;
        if (text.rfind("## ", 0) == 0) {
            if (!std::regex_match(text, m, heading)) {
                out.errors.push_back("line " + std::to_string(number) + " is no section heading: " + text);
                section.reset();
                continue;
            }
            section = documented_key{};
            section->section = m[1];
            section->section_numbers = m[2];
            section->file = m[3].matched ? std::string(m[3]) : speaker_conf;
        } else if (text.rfind("*", 0) == 0 && text.find("(buffer ") != std::string::npos) {
            if (!std::regex_match(text, m, entry)) {
                out.errors.push_back("line " + std::to_string(number) + " is no key entry: " + text);
            } else if (!section) {
                out.errors.push_back("line " + std::to_string(number) + " stands under no section: " + text);
            } else {
                documented_key key = *section;
                key.line = number;
                key.key = m[1];
                key.key_numbers = m[2];
                key.buffer = std::stoul(m[3]);
                key.fallback = m[4];
                out.keys.push_back(key);
            }
        }
    }
    return out;
}

std::string where(const setting_key& entry)
{
    return std::string(settings_path(entry.file)) + " [" + entry.section + "] " + entry.key;
}

std::string where(const documented_key& key)
{
    return key.file + " [" + key.section + "] " + key.key + " (line " + std::to_string(key.line) + ")";
}

bool same_key(const setting_key& entry, const documented_key& key)
{
    return key.file == settings_path(entry.file) && key.section == entry.section && key.key == entry.key;
}

class SettingsPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        page = read_page(page_source);
        for (const std::string& error : page.errors)
            ADD_FAILURE() << page_source << ": " << error;
        ASSERT_FALSE(page.keys.empty()) << page_source << " documents no key";
    }
    page_keys page;
};

}  // namespace

TEST_F(SettingsPage, DocumentsEveryKeyOfTheTableWithItsBufferAndDefault)
{
    for (const setting_key& entry : settings_table) {
        int found = 0;
        for (const documented_key& key : page.keys) {
            if (!same_key(entry, key))
                continue;
            ++found;
            EXPECT_EQ(key.buffer, entry.size) << where(key);
            EXPECT_EQ(key.fallback, entry.fallback) << where(key);
            EXPECT_EQ(key.section_numbers, numbers_text(entry.section_numbers)) << where(key) << ": N";
            EXPECT_EQ(key.key_numbers, numbers_text(entry.key_numbers)) << where(key) << ": K";
        }
        EXPECT_EQ(found, 1) << where(entry) << " is documented " << found << " times in " << page_source;
    }
}

TEST_F(SettingsPage, DocumentsNoKeyThatTheProgramsDoNotRead)
{
    for (const documented_key& key : page.keys) {
        bool known = false;
        for (const setting_key& entry : settings_table)
            known = known || same_key(entry, key);
        EXPECT_TRUE(known) << where(key) << " is documented, but no program reads it (common/settings_keys.h)";
    }
}

// A name is made only with the numbers an entry takes, so nothing outside
// the table can be read through it.
TEST(SettingsKeys, NamesTakeOnlyTheNumbersOfTheirEntry)
{
    EXPECT_EQ(setting_name(setting::relay_dtmf_code), "relay_ctrl:dtmf_code");
    EXPECT_EQ(setting_name(setting::account_server, 2), "account_info_2:server");
    EXPECT_EQ(setting_name(setting::key_next_number, 67, 5), "button-gpio67:next_number_5");
    EXPECT_EQ(setting_name(setting::key_number_line, 140, 2), "button-gpio140:number_2_line");
    EXPECT_EQ(setting_name(setting::volume_key_beep), "volume:key_beep");

    EXPECT_EQ(setting_name(setting::account_server), "");            // N missing
    EXPECT_EQ(setting_name(setting::account_server, 4), "");         // no account 4
    EXPECT_EQ(setting_name(setting::key_next_number, 67, 6), "");    // no sixth number
    EXPECT_EQ(setting_name(setting::key_next_number, 1, 2), "");     // a key number, not its line
    EXPECT_EQ(setting_name(setting::relay_dtmf_code, 1), "");        // no numbered relay_ctrl
}

// Each key, set longer than its buffer, reaches the programs cut to its
// entry's size - 1, and only from its own file. (The reader takes lines of
// up to 1024 bytes, so a value of [site], whose buffer is that long, is
// never cut.)
TEST(SettingsKeys, EveryKeyIsReadAtItsBuffer)
{
    kit_root root;
    root_in_process in_root{root};
    const std::string long_value(1000, 'x');
    const auto first = [](const setting_numbers& numbers) { return numbers.count ? numbers.values[0] : 0; };
    std::string speaker, volume;
    for (const setting_key& entry : settings_table) {
        const std::string name = setting_name(entry.id, first(entry.section_numbers), first(entry.key_numbers));
        const std::size_t colon = name.find(':');
        (entry.file == settings_file::volume ? volume : speaker) +=
            "[" + name.substr(0, colon) + "]\n" + name.substr(colon + 1) + " = " + long_value + "\n";
    }
    root.write_settings(speaker);
    root.write_volume_settings(volume);
    for (const setting_key& entry : settings_table) {
        const int n = first(entry.section_numbers);
        const int k = first(entry.key_numbers);
        const std::size_t expected = std::min(entry.size - 1, long_value.size());
        std::string value = "untouched";
        EXPECT_TRUE(read_setting(entry.id, value, n, k)) << where(entry);
        EXPECT_EQ(value.size(), expected) << where(entry);
        EXPECT_EQ(setting_value(entry.id, n, k).size(), expected) << where(entry);
    }
    // The judge of [site] sees the name long, where orvanel cuts it.
    EXPECT_EQ(judged_setting_value(setting::site_name), long_value);

    // The number of another section reads nothing and touches nothing.
    std::string value = "untouched";
    EXPECT_FALSE(read_setting(setting::account_username, value, 7));
    EXPECT_EQ(value, "untouched");
}
