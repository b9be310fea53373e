// The stand-in user agent's rules without Redis: commands and action lines
// taken apart, far-end behaviours looked up, event texts, and the call's
// transitions on a clock the test moves.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "simulator/uasim/behaviours.h"
#include "simulator/uasim/far_side.h"
#include "simulator/uasim/ua_commands.h"
#include "simulator/uasim/ua_events.h"
#include "simulator/uasim/user_agent.h"
#include "station_kit/station.h"

namespace {

std::string member(const std::string& text, const char* name)
{
    json_ptr parsed(cJSON_Parse(text.c_str()));
    return parsed ? json_string_member(parsed.get(), name) : "<not JSON: " + text + ">";
}

// Two enabled accounts, as the settings for accounts 1 and 3 would give.
station_view two_accounts()
{
    station_view view;
    view.enabled.push_back({1, "example.test", "sip:1000@example.test", "baresip-call-status-1000-example.test"});
    view.enabled.push_back({3, "10.0.0.9", "sip:3000@10.0.0.9", "baresip-call-status-3000-10.0.0.9"});
    return view;
}

behaviour_lookup always(far_end what, std::chrono::milliseconds after = 2s,
                        std::chrono::milliseconds hangup_after = 0ms)
{
    return [=](const std::string&) { return number_behaviour{what, after, hangup_after}; };
}

std::vector<std::string> published(const ua_effects& effects)
{
    std::vector<std::string> texts;
    for (const ua_effect& e : effects)
        if (e.kind == effect_kind::publish)
            texts.push_back(e.text);
    return texts;
}

// The types of the published events, with the close reason after a colon.
std::vector<std::string> event_types(const ua_effects& effects)
{
    std::vector<std::string> types;
    for (const std::string& text : published(effects)) {
        std::string type = member(text, "type");
        if (type == "CALL_CLOSED")
            type += ":" + member(text, "param");
        types.push_back(type);
    }
    return types;
}

// The status values set on a key, in order.
std::vector<std::string> statuses(const ua_effects& effects, const std::string& key)
{
    std::vector<std::string> values;
    for (const ua_effect& e : effects)
        if (e.kind == effect_kind::set_status && e.key == key)
            values.push_back(member(e.text, "status"));
    return values;
}

const std::string key_1 = "baresip-call-status-1000-example.test";
const std::string key_3 = "baresip-call-status-3000-10.0.0.9";

}  // namespace

TEST(UasimCommands, DialWithAndWithoutAnAccountIndex)
{
    ua_command c = parse_command(R"({"cmd":"dial","data":"1001 0"})");
    EXPECT_EQ(c.kind, command_kind::dial);
    EXPECT_EQ(c.number, "1001");
    EXPECT_FALSE(c.p2p);
    EXPECT_EQ(c.account_index, 0);

    c = parse_command(R"({"cmd":"dial","data":"  *77#  12 "})");
    EXPECT_EQ(c.number, "*77#");
    EXPECT_EQ(c.account_index, 12);

    c = parse_command(R"({"cmd":"dial","data":"192.168.1.50"})");
    EXPECT_EQ(c.kind, command_kind::dial);
    EXPECT_TRUE(c.p2p);
    EXPECT_EQ(c.number, "192.168.1.50");

    c = parse_command(R"({"cmd":"dial","data":"1001\"x 1"})");
    EXPECT_EQ(c.kind, command_kind::dial) << "a quote is the far end's business, not a fault";
    EXPECT_EQ(c.number, "1001\"x");

    c = parse_command(R"({"cmd":"dial","data":"1001 99999999999999999999"})");
    EXPECT_EQ(c.kind, command_kind::dial) << "an index too large for any account stays an index";
    EXPECT_GT(c.account_index, 3);
}

TEST(UasimCommands, MalformedAndHostileTextsAreRefusedWithAReason)
{
    const char* refused[] = {
        "",
        "not json",
        "[1,2]",
        R"({"data":"1001 0"})",
        R"({"cmd":5,"data":"1001 0"})",
        R"({"cmd":"dial"})",
        R"({"cmd":"dial","data":1001})",
        R"({"cmd":"dial","data":null})",
        R"({"cmd":"dial","data":""})",
        R"({"cmd":"dial","data":"   0"})",
        R"({"cmd":"dial","data":"10 01 0"})",
        R"({"cmd":"dial","data":"10\u000101 0"})",
        R"({"cmd":"play","data":"/a/beep.mp3"})",
        R"({"cmd":"play","data":"/a/beep.mp3:x"})",
        R"({"cmd":"play","data":{}})",
    };
    for (const char* text : refused) {
        const ua_command c = parse_command(text);
        EXPECT_EQ(c.kind, command_kind::malformed) << text;
        EXPECT_FALSE(c.problem.empty()) << text;
        EXPECT_EQ(c.text, text);
    }
    const std::string overlong = R"({"cmd":"dial","data":")" + std::string(longest_number + 1, '7') + " 0\"}";
    EXPECT_EQ(parse_command(overlong).kind, command_kind::malformed);
    const std::string longest = R"({"cmd":"dial","data":")" + std::string(longest_number, '7') + " 0\"}";
    EXPECT_EQ(parse_command(longest).kind, command_kind::dial);

    EXPECT_EQ(parse_command(R"({"cmd":"transfer","data":"1"})").kind, command_kind::unknown);
}

TEST(UasimCommands, HangupsAcceptAndPlay)
{
    EXPECT_EQ(parse_command(R"({"cmd":"hangup","data":""})").kind, command_kind::hangup);
    EXPECT_EQ(parse_command(R"({"cmd":"hangupall","data":""})").kind, command_kind::hangupall);
    EXPECT_EQ(parse_command(R"({"cmd":"accept","data":""})").kind, command_kind::accept);
    EXPECT_EQ(parse_command(R"({"cmd":"accept"})").kind, command_kind::accept);

    const ua_command play = parse_command(R"({"cmd":"play","data":"/snd/en/a:b.mp3:3"})");
    EXPECT_EQ(play.kind, command_kind::play);
    EXPECT_EQ(play.sound, "/snd/en/a:b.mp3");
    EXPECT_EQ(play.count, "3");
}

TEST(UasimActions, LinesAndTheirArguments)
{
    ua_action a = parse_action("call-in 2002");
    EXPECT_EQ(a.kind, action_kind::call_in);
    EXPECT_EQ(a.argument, "2002");
    a = parse_action("  dtmf   12*#AD\r\n");
    EXPECT_EQ(a.kind, action_kind::dtmf);
    EXPECT_EQ(a.argument, "12*#AD");
    a = parse_action("register-fail 3");
    EXPECT_EQ(a.kind, action_kind::register_fail);
    EXPECT_EQ(a.account, 3);
    EXPECT_EQ(parse_action("register 1").kind, action_kind::register_ok);
    EXPECT_EQ(parse_action("far-hangup").kind, action_kind::far_hangup);
    EXPECT_EQ(parse_action("answer").kind, action_kind::answer);
    EXPECT_EQ(parse_action("listing").kind, action_kind::listing);
    EXPECT_EQ(parse_action("exit").kind, action_kind::exit);

    const std::vector<std::string> refused_lines = {
        "", "   ", "call-in", "call-in 1 2", "dtmf 12x", "dtmf", std::string("dtmf 1\0002", 8),
        "dtmf " + std::string(longest_digits + 1, '1'), "register 4", "register 0", "register 12", "register",
        "exit now", "call-in " + std::string(longest_number + 1, '5'), "call-in 20\x01" "02",
    };
    for (const std::string& line : refused_lines) {
        const ua_action refused = parse_action(line);
        EXPECT_EQ(refused.kind, action_kind::malformed) << line;
        EXPECT_FALSE(refused.problem.empty()) << line;
    }
    EXPECT_EQ(parse_action("dance").kind, action_kind::unknown);
}

TEST(UasimBehaviours, SecondsAreAPlainDecimalNumber)
{
    EXPECT_EQ(parse_seconds("2"), 2000ms);
    EXPECT_EQ(parse_seconds("0"), 0ms);
    EXPECT_EQ(parse_seconds("0.25"), 250ms);
    EXPECT_EQ(parse_seconds("1.2345"), 1234ms);
    EXPECT_EQ(parse_seconds(".5"), 500ms);
    EXPECT_EQ(parse_seconds("86400"), 86400000ms);
    for (const char* bad : {"", ".", "-1", "1e3", "inf", "nan", "0x10", "2s", "1.2.3", "86401", "99999999999999999999"})
        EXPECT_EQ(parse_seconds(bad), -1ms) << bad;
}

class UasimBehaviourFile : public ::testing::Test {
protected:
    kit_root root;
    root_in_process in_root{root};
};

TEST_F(UasimBehaviourFile, EachKeyFallsBackToDefaultThenToTheBuiltIn)
{
    root.write(behaviour_file,
               "[default]\nbehaviour = noanswer\nafter = 5\n"
               "[1003]\nbehaviour = busy\nafter = 1\n"
               "[1004]\nhangup_after = 30\n"
               "[1005]\nbehaviour = BUSY\nafter = soon\n"
               "[Ab.Example]\nbehaviour = reject\n"
               "[1006]\nbehaviour = dance\n");
    auto is = [](const number_behaviour& b, far_end what, std::chrono::milliseconds after,
                 std::chrono::milliseconds hangup_after) {
        return b.what == what && b.after == after && b.hangup_after == hangup_after;
    };
    EXPECT_TRUE(is(behaviour_of("1003"), far_end::busy, 1s, 0ms));
    EXPECT_TRUE(is(behaviour_of("1004"), far_end::noanswer, 5s, 30s)) << "the rest from [default]";
    EXPECT_TRUE(is(behaviour_of("1005"), far_end::busy, 5s, 0ms)) << "words in any case; a bad time counts as unset";
    EXPECT_TRUE(is(behaviour_of("ab.example"), far_end::reject, 5s, 0ms)) << "section names are lowercased";
    EXPECT_TRUE(is(behaviour_of("AB.EXAMPLE"), far_end::reject, 5s, 0ms));
    EXPECT_TRUE(is(behaviour_of("1006"), far_end::noanswer, 5s, 0ms));
    EXPECT_TRUE(is(behaviour_of("7777"), far_end::noanswer, 5s, 0ms));

    root.write(behaviour_file, "[1003]\nbehaviour = unavailable\n");
    EXPECT_TRUE(is(behaviour_of("1003"), far_end::unavailable, 2s, 0ms)) << "read afresh, built-in time";
    EXPECT_TRUE(is(behaviour_of("7777"), far_end::answer, 2s, 0ms));

    std::remove(root.file(behaviour_file).c_str());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(is(behaviour_of("1003"), far_end::answer, 2s, 0ms));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a missing file is not an error";
}

TEST(UasimEvents, TextsParseBackWithTheirMembers)
{
    const call_parties call{"outgoing", "sip:1000@example.test", "sip:10\"01@example.test"};
    const ua_event outgoing = call_event("CALL_OUTGOING", call);
    json_ptr parsed(cJSON_Parse(outgoing.text.c_str()));
    ASSERT_TRUE(parsed) << outgoing.text;
    EXPECT_EQ(cJSON_GetArraySize(parsed.get()), 5);
    EXPECT_EQ(json_string_member(parsed.get(), "type"), "CALL_OUTGOING");
    EXPECT_EQ(json_string_member(parsed.get(), "class"), "call");
    EXPECT_EQ(json_string_member(parsed.get(), "direction"), "outgoing");
    EXPECT_EQ(json_string_member(parsed.get(), "accountaor"), "sip:1000@example.test");
    EXPECT_EQ(json_string_member(parsed.get(), "peeruri"), "sip:10\"01@example.test");

    const ua_event closed = call_closed_event({"incoming", "", "sip:2002"}, "486 Busy Here");
    EXPECT_EQ(member(closed.text, "param"), "486 Busy Here");
    EXPECT_EQ(member(closed.text, "direction"), "incoming");
    EXPECT_EQ(member(closed.text, "accountaor"), "");

    EXPECT_EQ(register_ok_event("sip:a@b", true).text,
              R"({"type":"REGISTER_OK","class":"init register","accountaor":"sip:a@b"})");
    EXPECT_EQ(register_ok_event("sip:a@b", false).text, R"({"type":"REGISTER_OK","accountaor":"sip:a@b"})");
    EXPECT_EQ(dtmf_event("outgoing", '#').text,
              R"({"type":"CALL_DTMF_START","class":"call","direction":"outgoing","param":"#"})");
    EXPECT_EQ(exit_event().text, R"({"type":"EXIT"})");
    EXPECT_EQ(status_value("ringing"), R"({"status":"ringing"})");

    json_ptr listing(cJSON_Parse(listing_reply({"sip:1000@example.test", "sip:3000@10.0.0.9"}).text.c_str()));
    ASSERT_TRUE(listing);
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(listing.get(), "event")));
    const std::string data = json_string_member(listing.get(), "data");
    EXPECT_EQ(data.rfind("\n--- User Agents (2) ---\n", 0), 0u) << data;
    EXPECT_NE(data.find("sip:3000@10.0.0.9"), std::string::npos);
}

TEST(UasimEvents, ConsoleLinesShowControlCharactersAndCutLongTexts)
{
    EXPECT_EQ(console_line("dial 1001"), "uasim: dial 1001\n");
    EXPECT_EQ(console_line("a\nb\x1b[2Jc"), "uasim: a?b?[2Jc\n");
    const std::string line = console_line(std::string(5000, 'x'));
    EXPECT_LT(line.size(), 400u);
    EXPECT_EQ(line.substr(line.size() - 4), "...\n");
}

// The far side with two enabled accounts and a clock the test moves.
class UasimFarSide : public ::testing::Test {
protected:
    ua_effects station(const std::string& text) { return side.take_command(parse_command(text), view, lookup, now); }
    ua_effects far(const std::string& line) { return side.take_action(parse_action(line), view, lookup, now); }
    ua_effects dial(const std::string& data) { return station(R"({"cmd":"dial","data":")" + data + "\"}"); }

    far_side side;
    station_view view = two_accounts();
    behaviour_lookup lookup = always(far_end::answer);
    const ua_clock::time_point t0 = ua_clock::now();
    ua_clock::time_point now = t0;
};

TEST_F(UasimFarSide, AnsweredCallWithAFarEndHangUpOnTheSchedule)
{
    lookup = always(far_end::answer, 1500ms, 10s);
    ua_effects effects = dial("1001 1");
    ASSERT_EQ(event_types(effects), std::vector<std::string>{"CALL_OUTGOING"});
    EXPECT_EQ(member(published(effects)[0], "accountaor"), "sip:3000@10.0.0.9") << "index 1 is account 3";
    EXPECT_EQ(member(published(effects)[0], "peeruri"), "sip:1001@10.0.0.9");
    EXPECT_EQ(statuses(effects, key_3), std::vector<std::string>{"ringing"});
    EXPECT_EQ(side.next_due(), t0 + 1500ms);

    EXPECT_TRUE(side.run_due(t0 + 1499ms).empty()) << "not due yet";
    effects = side.run_due(t0 + 1600ms);
    ASSERT_EQ(event_types(effects), std::vector<std::string>{"CALL_ESTABLISHED"});
    EXPECT_EQ(statuses(effects, key_3), std::vector<std::string>{"answer"});
    EXPECT_EQ(side.next_due(), t0 + 1600ms + 10s) << "the hang-up counts from the answer";

    effects = side.run_due(t0 + 20s);
    EXPECT_EQ(event_types(effects), std::vector<std::string>{"CALL_CLOSED:Connection reset by peer [104]"});
    EXPECT_EQ(statuses(effects, key_3), std::vector<std::string>{"idle"});
    EXPECT_EQ(side.phase(), call_phase::idle);
    EXPECT_FALSE(side.next_due());
}

TEST_F(UasimFarSide, FailuresCloseTheCallWithTheirReasons)
{
    const std::pair<far_end, const char*> failures[] = {
        {far_end::busy, "486 Busy Here"},
        {far_end::reject, "603 Decline"},
        {far_end::unavailable, "480 Temporarily Unavailable"},
    };
    for (const auto& [what, reason] : failures) {
        lookup = always(what, 1s);
        dial("1003 0");
        const ua_effects effects = side.run_due(t0 + 1s);
        EXPECT_EQ(event_types(effects), std::vector<std::string>{std::string("CALL_CLOSED:") + reason});
        EXPECT_EQ(statuses(effects, key_1), std::vector<std::string>{"idle"});
        EXPECT_EQ(side.phase(), call_phase::idle);
    }
}

TEST_F(UasimFarSide, TheStationsHangUpCancelsWhatWasScheduled)
{
    dial("1001 0");
    now = t0 + 1s;
    ua_effects effects = station(R"({"cmd":"hangupall","data":""})");
    EXPECT_EQ(event_types(effects), std::vector<std::string>{"CALL_CLOSED:Connection reset by user"});
    EXPECT_EQ(member(published(effects)[0], "direction"), "outgoing");
    EXPECT_EQ(statuses(effects, key_1), std::vector<std::string>{"idle"});
    EXPECT_FALSE(side.next_due());
    EXPECT_TRUE(side.run_due(t0 + 1h).empty());
    EXPECT_TRUE(published(station(R"({"cmd":"hangup","data":""})")).empty()) << "no call, nothing to close";
}

TEST_F(UasimFarSide, OneCallAtATimeAndEachCommandForItsOwnCall)
{
    lookup = always(far_end::noanswer);
    EXPECT_TRUE(published(dial("1001 2")).empty()) << "index 2 names no enabled account";
    EXPECT_EQ(side.phase(), call_phase::idle);

    ASSERT_EQ(published(dial("1001 0")).size(), 1u);
    EXPECT_FALSE(side.next_due()) << "nobody answers: nothing scheduled";
    EXPECT_TRUE(published(dial("1002 0")).empty()) << "a call is in progress";
    EXPECT_TRUE(published(far("call-in 2002")).empty());
    EXPECT_TRUE(published(station(R"({"cmd":"accept","data":""})")).empty()) << "accept is for incoming calls";
    EXPECT_EQ(event_types(far("answer")), std::vector<std::string>{"CALL_ESTABLISHED"});
    EXPECT_EQ(member(published(far("dtmf 5"))[0], "direction"), "outgoing");
    far("far-hangup");

    far("call-in 2002");
    EXPECT_TRUE(published(far("answer")).empty()) << "the far end does not answer its own call";
    EXPECT_EQ(event_types(station(R"({"cmd":"accept","data":""})")), std::vector<std::string>{"CALL_ESTABLISHED"});
}

TEST_F(UasimFarSide, P2pCallsWithAndWithoutAnAccount)
{
    ua_effects effects = dial("192.168.1.50");
    ASSERT_EQ(published(effects).size(), 1u);
    EXPECT_EQ(member(published(effects)[0], "accountaor"), "sip:1000@example.test");
    EXPECT_EQ(member(published(effects)[0], "peeruri"), "sip:192.168.1.50");
    station(R"({"cmd":"hangup","data":""})");

    view = station_view{};
    effects = dial("192.168.1.50");
    ASSERT_EQ(published(effects).size(), 1u);
    EXPECT_EQ(member(published(effects)[0], "accountaor"), "");
    for (const ua_effect& e : effects)
        EXPECT_NE(e.kind, effect_kind::set_status) << "no account, no status key";
}

TEST_F(UasimFarSide, RegistrationsOnlyForEnabledAccountsAndExitEnds)
{
    ua_effects effects = far("register-fail 3");
    ASSERT_EQ(published(effects).size(), 1u);
    EXPECT_EQ(published(effects)[0],
              R"({"type":"REGISTER_FAIL","accountaor":"sip:3000@10.0.0.9","param":"408 Request Timeout"})");
    EXPECT_TRUE(published(far("register 2")).empty());

    far("call-in 2002");
    effects = far("exit");
    EXPECT_EQ(statuses(effects, key_1), std::vector<std::string>{"idle"}) << "no key left ringing";
    ASSERT_EQ(event_types(effects), std::vector<std::string>{"EXIT"});
    EXPECT_EQ(effects.back().kind, effect_kind::exit_program) << "the event goes out before the end";
}
