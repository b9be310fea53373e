#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>

#include "check/door_check.h"
#include "check/settings_check.h"
#include "common/config.h"
#include "common/redis_link.h"
#include "common/settings_line.h"
#include "station_kit/redis.h"
#include "station_kit/station.h"

namespace {

// Settings that a healthy station carries: key 1 calls through account 1,
// the relay opens on the door code, the P2P line takes calls from one host.
const std::string healthy =
    "[button-gpio140]\nkey_mode = 1\nnext_number_1 = 2001\nnumber_1_line = 2\n"
    "next_number_2 = 2002\nnumber_2_line = 1\nno_reply = yes\nnext_time = 20\nbusy_or_unuse = no\nhang_up = yes\n"
    "[relay_ctrl]\nrelay_mode = singleBToggle\ntype = On\ncall_state = no\ndtmf = yes\ndtmf_code = 4711\n"
    "dtmf_tries = 3\nmode = delay\ndtmf_reset_duration = 5\n"
    "[relay_action_url]\non_enable = yes\non_url = http://door.example/open?ip=${ip}\n"
    "[account_info_1]\nenable = yes\nusername = 1001\npassword = hunter2secret\nserver = pbx.example\n"
    "transport = udp\nregint = 600\n"
    "[account_info_p2p]\nenable = yes\nallowed_hosts = 192.168.1.20\n";

class CheckSettings : public ::testing::Test {
protected:
    kit_root root;
    root_in_process in_root{root};

    settings_as_read settings_of(const std::string& ini) const
    {
        root.write_settings(ini);
        return read_station_settings();
    }
    findings settings_findings(const std::string& ini, const registration_states& registered = {}) const
    {
        return check_settings(settings_of(ini), registered);
    }
};

// The findings of an item, joined, and the worst verdict among them.
std::string texts_of(const findings& all, const std::string& item)
{
    std::string text;
    for (const finding& f : all)
        if (f.item == item)
            text += f.text + "\n";
    return text;
}

verdict level_of(const findings& all, const std::string& item)
{
    verdict worst = verdict::ok;
    bool seen = false;
    for (const finding& f : all)
        if (f.item == item) {
            seen = true;
            if (f.level > worst)
                worst = f.level;
        }
    EXPECT_TRUE(seen) << "no finding for " << item;
    return worst;
}

}  // namespace

TEST_F(CheckSettings, HealthySettingsGiveNoWarningAndShowEveryKeySet)
{
    const findings all = settings_findings(healthy);
    for (const finding& f : all)
        EXPECT_EQ(f.level, verdict::ok) << f.item << ": " << f.text;
    EXPECT_NE(texts_of(all, "button-gpio140:next_number_1").find("\"2001\""), std::string::npos);
    EXPECT_NE(texts_of(all, "relay_ctrl:relay_mode").find("singleBToggle"), std::string::npos);
    EXPECT_EQ(texts_of(all, "button-gpio67:key_mode"), "");  // not set, not shown

    const findings door = check_door(settings_of(healthy), door_lockout{});
    for (const finding& f : door)
        EXPECT_EQ(f.level, verdict::ok) << f.item << ": " << f.text;
}

// The reader's own cut, quotes and comments: what the check says the
// station uses is what the settings reader gives the programs.
TEST_F(CheckSettings, ValueAsReadIsWhatTheSettingsReaderGives)
{
    const std::string raws[] = {"plain",       "two words",       "\"quoted; with # marks\"", "'single'",
                                "cut;here",    "comment ; after", "12345678901234567890",    "trailing   ",
                                "\"unclosed", ";only comment",  "\"\"", "\"a\\\"b\"", "\"",    "a#b",                     ""};
    std::string ini = "[t]\n";
    for (std::size_t i = 0; i < std::size(raws); ++i)
        ini += "k" + std::to_string(i) + " = " + raws[i] + "\n";
    root.write_settings(ini);
    settings_as_read settings;
    settings.speaker.emplace();
    (*settings.speaker)["t"] = raw_config_section(speaker_conf, "t").value();
    for (std::size_t i = 0; i < std::size(raws); ++i) {
        const std::string key = "k" + std::to_string(i);
        for (const std::size_t size : {8u, 64u}) {
            const std::string expected = config_value(speaker_conf, ("t:" + key).c_str(), size);
            EXPECT_EQ(value_as_read(raw_value(settings.speaker, "t", key), size), expected) << raws[i] << " / " << size;
        }
    }
}

// The typos of a first installation: each is named with its key, its value
// and what to write instead.
TEST_F(CheckSettings, TyposAreNamedWithTheValueAndTheFix)
{
    const findings all = settings_findings(healthy +
                                           "[button-gpio67]\nno_reply = Yes\nnext_time = 5s\nhang_up = s5\n"
                                           "key_mode = 4\n"
                                           "[relay_ctrl]\nrelay_mode = singleAtoggle\ntype = Open\nstate_info = answerd\n");
    EXPECT_EQ(level_of(all, "button-gpio67:no_reply"), verdict::warning);
    EXPECT_NE(texts_of(all, "button-gpio67:no_reply").find("\"Yes\""), std::string::npos);
    EXPECT_NE(texts_of(all, "button-gpio67:no_reply").find("write yes"), std::string::npos);

    EXPECT_EQ(level_of(all, "button-gpio67:next_time"), verdict::warning);
    EXPECT_NE(texts_of(all, "button-gpio67:next_time").find("uses 5; write 5"), std::string::npos);

    EXPECT_EQ(level_of(all, "button-gpio67:key_mode"), verdict::warning);
    EXPECT_EQ(level_of(all, "button-gpio67:hang_up"), verdict::warning);  // neither yes nor no

    // The last line of a section wins, as in the reader.
    EXPECT_EQ(level_of(all, "relay_ctrl:relay_mode"), verdict::error);
    EXPECT_NE(texts_of(all, "relay_ctrl:relay_mode").find("write singleAToggle"), std::string::npos);
    EXPECT_EQ(level_of(all, "relay_ctrl:type"), verdict::error);
    EXPECT_EQ(level_of(all, "relay_ctrl:state_info"), verdict::warning);

    // A letter doubled, left out or changed still names the mode meant; a
    // text near none names them all.
    EXPECT_NE(texts_of(settings_findings("[relay_ctrl]\nrelay_mode = singleBToogle\n"), "relay_ctrl:relay_mode")
                  .find("write singleBToggle"),
              std::string::npos);
    EXPECT_NE(texts_of(settings_findings("[relay_ctrl]\nrelay_mode = fastToggel\n"), "relay_ctrl:relay_mode")
                  .find("write fastToggle"),
              std::string::npos);
    EXPECT_NE(texts_of(settings_findings("[relay_ctrl]\nrelay_mode = door\n"), "relay_ctrl:relay_mode")
                  .find("write one of singleAToggle, singleBToggle"),
              std::string::npos);
}

// A value that would drive the terminal or split a line reaches the report
// as harmless text.
TEST_F(CheckSettings, HostileValuesCannotBreakTheReport)
{
    const std::string hostile = "1\x1b[2J\r\x07x";
    const findings all = settings_findings("[button-gpio140]\nnext_number_1 = " + hostile + "\n[relay_ctrl]\nrelay_mode = " +
                                           hostile + "\nstate_info = " + hostile + "\n[unpack-intercom]\nactive = 7\n");
    findings door = check_door(settings_of("[relay_ctrl]\ncall_state = yes\nstate_info = " + hostile +
                                           "\ndtmf = yes\ndtmf_code = 1234\ndtmf_tries = " + hostile + "\n"),
                               door_lockout{});
    door.insert(door.end(), all.begin(), all.end());
    for (const finding& f : door)
        for (const char c : f.text)
            EXPECT_FALSE(c == '\x1b' || c == '\r' || c == '\x07') << f.item;
    EXPECT_EQ(level_of(all, "button-gpio140:next_number_1"), verdict::error);
    EXPECT_EQ(level_of(all, "relay_ctrl:relay_mode"), verdict::error);
    EXPECT_EQ(level_of(all, "unpack-intercom:active"), verdict::warning);
}

// A type outputd has no state for sets the relay line low: nothing
// switches where the line rests low.
TEST_F(CheckSettings, RelayTypesAgainstWhereTheLineRests)
{
    EXPECT_EQ(level_of(settings_findings("[relay_ctrl]\ndtmf = yes\nrelay_mode = singleBToggle\ntype =\n"),
                       "relay_ctrl:type"),
              verdict::error);
    const findings rests_high =
        settings_findings("[relay_ctrl]\ndtmf = yes\nrelay_mode = singleAToggle\ntype = on\n");
    EXPECT_EQ(level_of(rests_high, "relay_ctrl:type"), verdict::warning);
    EXPECT_NE(texts_of(rests_high, "relay_ctrl:type").find("write On"), std::string::npos);
    const findings unused = settings_findings("[relay_ctrl]\ndtmf = no\ncall_state = no\ntype =\n");
    EXPECT_EQ(level_of(unused, "relay_ctrl:type"), verdict::ok);
}

TEST_F(CheckSettings, NumbersWithoutLeadingDigitsAreZero)
{
    const findings all = settings_findings("[button-gpio140]\nnext_time = s5\nnumber_2_line = 2x\n");
    EXPECT_NE(texts_of(all, "button-gpio140:next_time").find("uses 0"), std::string::npos);
    EXPECT_NE(texts_of(all, "button-gpio140:number_2_line").find("uses 2; write 2"), std::string::npos);
}

TEST_F(CheckSettings, ValuesCutByACommentOrTheBufferAreErrors)
{
    const std::string long_number(40, '7');
    const findings all = settings_findings("[account_info_1]\nserver = pbx.example:5060;transport=tcp\n"
                                           "domain = \"pbx.example;x\"\nauth_user = user ; the installer's note\n"
                                           "[button-gpio140]\nnext_number_1 = " + long_number + "\n");
    EXPECT_EQ(level_of(all, "account_info_1:server"), verdict::error);
    EXPECT_NE(texts_of(all, "account_info_1:server").find("as \"pbx.example:5060\""), std::string::npos);
    EXPECT_EQ(level_of(all, "account_info_1:domain"), verdict::ok);     // quoted: kept whole
    EXPECT_EQ(level_of(all, "account_info_1:auth_user"), verdict::ok);  // a comment after a blank is meant
    EXPECT_EQ(level_of(all, "button-gpio140:next_number_1"), verdict::error);
    EXPECT_NE(texts_of(all, "button-gpio140:next_number_1").find("first 31"), std::string::npos);
}

TEST_F(CheckSettings, SecretsAreNeverShown)
{
    for (const std::string& password : {std::string("hunter2secret"), std::string("hunter2;secret"),
                                        std::string(80, 'p')}) {
        const findings all = settings_findings("[account_info_1]\npassword = " + password +
                                               "\n[relay_ctrl]\ndtmf = yes\ndtmf_code = 98765;43\n");
        for (const finding& f : all) {
            EXPECT_EQ(f.text.find("hunter2"), std::string::npos) << f.text;
            EXPECT_EQ(f.text.find("ppppp"), std::string::npos) << f.text;
            EXPECT_EQ(f.text.find("98765"), std::string::npos) << f.text;
        }
        EXPECT_EQ(level_of(all, "relay_ctrl:dtmf_code"), verdict::error);
    }
}

TEST_F(CheckSettings, NextNumbersOnLinesThatCannotDial)
{
    const std::string ini = healthy + "[button-gpio67]\nnext_number_1 = 3001\nnumber_1_line = 3\n"
                                      "next_number_2 = 3002\nnumber_2_line = 7\n"
                                      "next_number_3 = 3003\nnumber_3_line = 2\n"
                                      "[account_info_p2p]\nenable = no\n[button-gpio140]\nnext_number_4 = 10.0.0.9\nnumber_4_line = 5\n";
    registration_states registered;
    registered[1] = false;
    const findings all = settings_findings(ini, registered);
    EXPECT_EQ(level_of(all, "button-gpio67:number_1_line"), verdict::error);  // account 2 is not enabled
    EXPECT_NE(texts_of(all, "button-gpio67:number_1_line").find("account 2 is not enabled"), std::string::npos);
    EXPECT_EQ(level_of(all, "button-gpio67:number_2_line"), verdict::error);  // no line 7
    EXPECT_EQ(level_of(all, "button-gpio67:number_3_line"), verdict::warning);  // account 1 not registered
    EXPECT_EQ(level_of(all, "button-gpio140:number_2_line"), verdict::warning);  // Auto, none registered
    EXPECT_EQ(level_of(all, "button-gpio140:number_4_line"), verdict::warning);  // P2P off

    registered[1] = true;
    const findings now_registered = settings_findings(ini, registered);
    EXPECT_EQ(level_of(now_registered, "button-gpio67:number_3_line"), verdict::ok);
}

TEST_F(CheckSettings, NumbersASipAddressCannotCarry)
{
    const findings all = settings_findings("[button-gpio140]\nnext_number_1 = 20 01\nnext_number_2 = <2002>\n"
                                           "next_number_3 = sip:2003@pbx.example\nnext_number_4 = *21#\n"
                                           "[unpack-intercom]\nnumber = \"a\\\"b\"\n");
    EXPECT_EQ(level_of(all, "button-gpio140:next_number_1"), verdict::error);
    EXPECT_EQ(level_of(all, "button-gpio140:next_number_2"), verdict::error);
    EXPECT_EQ(level_of(all, "button-gpio140:next_number_3"), verdict::ok);
    EXPECT_EQ(level_of(all, "button-gpio140:next_number_4"), verdict::error);  // cut at '#'
    EXPECT_EQ(level_of(all, "unpack-intercom:number"), verdict::error);
}

TEST_F(CheckSettings, ActionUrlsAndTheirEnables)
{
    const findings all = settings_findings("[relay_action_url]\non_enable = no\non_url = http://h/open?mac=${mac}\n"
                                           "off_enable = yes\noff_url =\n");
    EXPECT_EQ(level_of(all, "relay_action_url:on_url"), verdict::warning);
    EXPECT_NE(texts_of(all, "relay_action_url:on_url").find("set on_enable = yes"), std::string::npos);
    EXPECT_EQ(level_of(all, "relay_action_url:off_url"), verdict::warning);

    const findings misspelt = settings_findings("[relay_action_url]\non_enable = yes\non_url = http://h/?ip=${IP}\n");
    EXPECT_NE(texts_of(misspelt, "relay_action_url:on_url").find("\"${IP}\""), std::string::npos);
}

TEST_F(CheckSettings, UnreadableSettingsAreOneError)
{
    ::unlink(root.file(speaker_conf).c_str());
    const findings all = check_settings(read_station_settings(), {});
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].level, verdict::error);
    EXPECT_TRUE(check_door(read_station_settings(), door_lockout{}).empty());
}

// The settings reader refuses a whole file for one line it cannot take, and
// the station then runs with every setting empty: the door code too. The
// check names the line and judges the rest as the station sees it.
TEST_F(CheckSettings, AFileTheReaderRefusesIsNamedByItsLine)
{
    const std::size_t limit = settings_line_limit;
    const int last_line = 1 + static_cast<int>(std::count(healthy.begin(), healthy.end(), '\n'));
    struct case_ {
        std::string extra;  // the file's last line
        bool refused;
        std::string says;
    };
    const case_ cases[] = {
        {"; " + std::string(limit - 2, 'c'), false, ""},
        {"; " + std::string(limit - 1, 'c'), true, std::to_string(limit + 1) + " bytes, longer than the"},
        {"note = " + std::string(limit - 7, 'n') + "\r", true, "bytes, longer than the"},
        {"note = " + std::string(600, 'a') + "\\  \n" + std::string(500, 'b'), true, "bytes, longer than the"},
        {"note = " + std::string(600, 'a') + "\\\n" + std::string(300, 'b'), false, ""},
        {"the door code is 4711", true, "is neither a [section], a key = value nor a comment"},
        {"[unclosed", true, "is neither"},
        // The reader quotes the line after its number: its text is not taken for one.
        {"see note (3)", true, "is neither"},
    };
    for (const case_& c : cases) {
        const settings_as_read settings = settings_of(healthy + c.extra + "\n");
        // What the programs read decides the case, not the check's own idea.
        ASSERT_EQ(config_value(speaker_conf, "relay_ctrl:dtmf", 8).empty(), c.refused) << c.extra.substr(0, 40);
        const findings all = check_settings(settings, {});
        if (!c.refused) {
            EXPECT_EQ(texts_of(all, speaker_conf), "");
            continue;
        }
        const int line = last_line + (c.extra.find('\n') != std::string::npos ? 1 : 0);
        const std::string text = texts_of(all, speaker_conf);
        EXPECT_EQ(level_of(all, speaker_conf), verdict::error);
        EXPECT_NE(text.find("line " + std::to_string(line) + " "), std::string::npos) << text;
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_NE(text.find("every setting of it empty"), std::string::npos) << text;
        EXPECT_EQ(text.find("4711"), std::string::npos) << "the refused line is never shown";
        // Judged as the station has it: no door code, so no door opens by one.
        EXPECT_EQ(setting_as_read(settings, setting::relay_dtmf), "");
        EXPECT_EQ(texts_of(all, "relay_ctrl:dtmf_code"), "");
    }
}

TEST_F(CheckSettings, RelaySettingsThatOpenWithoutACode)
{
    for (const char* info : {"incoming", "both", "outgoing"}) {
        const findings door =
            check_door(settings_of(std::string("[relay_ctrl]\ncall_state = yes\nstate_info = ") + info + "\n"), {});
        EXPECT_EQ(level_of(door, "relay on calls"), verdict::error) << info;
    }
    const findings answered = check_door(settings_of("[relay_ctrl]\ncall_state = yes\nstate_info = answered\n"), {});
    EXPECT_EQ(level_of(answered, "relay on calls"), verdict::warning);
    const findings hangup = check_door(settings_of("[relay_ctrl]\ncall_state = yes\nstate_info = hangup\n"), {});
    EXPECT_EQ(level_of(hangup, "relay on calls"), verdict::ok);
}

TEST_F(CheckSettings, DoorCodeLengthCharactersAndTries)
{
    const auto code_level = [this](const std::string& relay) {
        return level_of(check_door(settings_of("[relay_ctrl]\ndtmf = yes\n" + relay), door_lockout{}), "door code");
    };
    EXPECT_EQ(code_level("dtmf_code =\n"), verdict::error);  // every digit opens
    EXPECT_EQ(code_level("dtmf_code = 12\n"), verdict::warning);
    EXPECT_EQ(code_level("dtmf_code = 12x4\n"), verdict::error);
    EXPECT_EQ(code_level("dtmf_code = 1234\n"), verdict::ok);

    const findings bad_tries = check_door(settings_of("[relay_ctrl]\ndtmf = yes\ndtmf_code = 1234\ndtmf_tries = 5x\n"), {});
    EXPECT_EQ(level_of(bad_tries, "door code tries"), verdict::warning);
    EXPECT_NE(texts_of(bad_tries, "door code tries").find("takes 3 tries"), std::string::npos);
    const findings many = check_door(settings_of("[relay_ctrl]\ndtmf = yes\ndtmf_code = 1234\ndtmf_tries = 50\n"), {});
    EXPECT_EQ(level_of(many, "door code tries"), verdict::warning);
}

TEST_F(CheckSettings, LockoutInForceAndUnknown)
{
    const settings_as_read settings = settings_of(healthy);
    EXPECT_EQ(level_of(check_door(settings, door_lockout{24, 2, std::chrono::milliseconds(119500)}), "door code lockout"), verdict::warning);
    EXPECT_NE(texts_of(check_door(settings, door_lockout{24, 2, std::chrono::milliseconds(119500)}), "door code lockout").find("120 s more"),
              std::string::npos);
    EXPECT_EQ(level_of(check_door(settings, std::nullopt), "door code lockout"), verdict::warning);
}

TEST_F(CheckSettings, TrustedCallersAsTheFilterTakesThem)
{
    const settings_as_read settings = settings_of(
        "[account_info_1]\nenable = yes\nserver = sip:pbx.example\noutbound = proxy.example:5070\n"
        "[account_info_2]\nenable = no\nserver = other.example\n"
        "[account_info_p2p]\nenable = yes\nallowed_hosts = 192.168.1.20, bad host/name\n");
    std::string words;
    for (const trusted_caller& c : trusted_callers(settings))
        words += c.setting + "=" + c.word + " ";
    EXPECT_EQ(words, "account_info_1:server=pbx.example account_info_1:outbound=proxy.example:5070 "
                     "account_info_p2p:allowed_hosts=192.168.1.20 account_info_p2p:allowed_hosts=bad "
                     "account_info_p2p:allowed_hosts=host/name ");
    const findings door = check_door(settings, door_lockout{});
    EXPECT_EQ(level_of(door, "trusted callers"), verdict::warning);
    EXPECT_NE(texts_of(door, "trusted callers").find("\"host/name\" is no host"), std::string::npos);

    const findings no_hosts = check_door(settings_of("[account_info_p2p]\nenable = yes\n"), door_lockout{});
    EXPECT_NE(texts_of(no_hosts, "trusted callers").find("refuses every P2P call"), std::string::npos);
}

// The lockout as the main program keeps it, and what a stranger may have
// left in its keys.
TEST_F(CheckSettings, LockoutReadFromTheMainProgramsKeys)
{
    redis_server server(root);
    redis_client client(root.socket());
    redis_ptr c = redis_open(root.socket(), std::chrono::seconds(2));
    ASSERT_TRUE(c);

    std::optional<door_lockout> read = door_code_guard::read_kept(c.get());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->remaining.count(), 0);
    EXPECT_EQ(read->wrong_digits, 0);

    client.command("SET dtmf-guard %s EX %s", "2 2", "86400");
    client.command("SET dtmf-lockout %s PX %s", "120", "120000");
    read = door_code_guard::read_kept(c.get());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->wrong_digits, 2);
    EXPECT_EQ(read->lockouts, 2);
    EXPECT_GT(read->remaining.count(), 100000);
    EXPECT_LE(read->remaining.count(), 120000);

    client.command("SET dtmf-guard %s", "-5 99999999999999999999");
    client.command("SET dtmf-lockout %s", "x");  // no expiry: taken for the longest lockout
    read = door_code_guard::read_kept(c.get());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->wrong_digits, 0);
    EXPECT_EQ(read->lockouts, door_code_guard::most_lockouts);
    EXPECT_EQ(read->remaining.count(), 3600 * 1000);

    EXPECT_FALSE(door_code_guard::read_kept(nullptr));
}
