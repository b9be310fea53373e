// The bridge's translation without sockets: the user agent's events in (as
// baresip 1.0.0 sends them), the station's events and call-status keys
// out; the station's commands in, the control commands out.
#include <gtest/gtest.h>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/link/command_plan.h"
#include "sipbridge/link/event_translation.h"

#include <string>
#include <vector>

namespace {

const std::string aor = "sip:2000@127.0.0.1:15070";
const std::string peer = "sip:1001@127.0.0.1:15070";

std::string ua_event(const std::string& type, const std::string& direction, const std::string& id,
                     const std::string& param = "")
{
    json_ptr event(cJSON_CreateObject());
    cJSON_AddTrueToObject(event.get(), "event");
    cJSON_AddStringToObject(event.get(), "type", type.c_str());
    cJSON_AddStringToObject(event.get(), "class", "call");
    cJSON_AddStringToObject(event.get(), "accountaor", aor.c_str());
    cJSON_AddStringToObject(event.get(), "direction", direction.c_str());
    cJSON_AddStringToObject(event.get(), "peeruri", peer.c_str());
    if (!id.empty())
        cJSON_AddStringToObject(event.get(), "id", id.c_str());
    if (!param.empty())
        cJSON_AddStringToObject(event.get(), "param", param.c_str());
    const printed_json_ptr text(cJSON_PrintUnformatted(event.get()));
    return text.get();
}

station_update feed(bridge_state& state, const std::string& text)
{
    json_ptr event(cJSON_Parse(text.c_str()));
    return state.on_event(event.get());
}

std::vector<std::string> types_of(const station_update& update)
{
    std::vector<std::string> types;
    for (const std::string& text : update.events) {
        json_ptr event(cJSON_Parse(text.c_str()));
        types.push_back(json_string_member(event.get(), "type"));
    }
    return types;
}

std::string member_of(const std::string& text, const char* name)
{
    json_ptr event(cJSON_Parse(text.c_str()));
    return json_string_member(event.get(), name);
}

using statuses = std::vector<std::pair<std::string, std::optional<account_call_status>>>;

}  // namespace

TEST(BridgeTranslation, OutgoingCallFromTheFirstEventToTheClose)
{
    bridge_state state;
    // The local offer comes first, without an id, before the dial's reply.
    station_update update = feed(state, ua_event("CALL_LOCAL_SDP", "outgoing", "", "offer"));
    EXPECT_EQ(types_of(update), std::vector<std::string> {"CALL_OUTGOING"});
    EXPECT_EQ(member_of(update.events[0], "peeruri"), peer);
    EXPECT_EQ(member_of(update.events[0], "accountaor"), aor);
    EXPECT_EQ(member_of(update.events[0], "direction"), "outgoing");
    EXPECT_EQ(update.statuses, (statuses {{aor, account_call_status::outgoing_ringing}}));

    // The next events name the call; none of them is a new call.
    EXPECT_TRUE(feed(state, ua_event("CALL_RINGING", "outgoing", "c1", peer)).events.empty());
    EXPECT_TRUE(feed(state, ua_event("CALL_REMOTE_SDP", "outgoing", "c1", "answer")).events.empty());
    update = feed(state, ua_event("CALL_ESTABLISHED", "outgoing", "c1", peer));
    EXPECT_EQ(types_of(update), std::vector<std::string> {"CALL_ESTABLISHED"});
    EXPECT_EQ(update.statuses, (statuses {{aor, account_call_status::answered}}));
    ASSERT_NE(state.calls().current(), nullptr);
    EXPECT_EQ(state.calls().current()->id, "c1");

    update = feed(state, ua_event("CALL_CLOSED", "outgoing", "c1", "Connection reset by peer"));
    EXPECT_EQ(types_of(update), std::vector<std::string> {"CALL_CLOSED"});
    EXPECT_EQ(member_of(update.events[0], "param"), "Connection reset by peer [104]");
    EXPECT_EQ(update.statuses, (statuses {{aor, account_call_status::idle}}));
    EXPECT_EQ(state.calls().current(), nullptr);
}

TEST(BridgeTranslation, CallWithoutProvisionalAnswerStillStartsWithCallOutgoing)
{
    bridge_state state;
    // A far end that sends no 180: the first event with an id is the answer.
    EXPECT_EQ(types_of(feed(state, ua_event("CALL_ESTABLISHED", "outgoing", "c7", peer))),
              (std::vector<std::string> {"CALL_OUTGOING", "CALL_ESTABLISHED"}));
    EXPECT_EQ(types_of(feed(state, ua_event("CALL_CLOSED", "outgoing", "c7", "486 Busy Here"))),
              std::vector<std::string> {"CALL_CLOSED"});
}

TEST(BridgeTranslation, IncomingCallDigitsAndWhatIsNotForwarded)
{
    bridge_state state;
    station_update update = feed(state, ua_event("CALL_INCOMING", "incoming", "1-2@h", "sip:4000@h"));
    EXPECT_EQ(types_of(update), std::vector<std::string> {"CALL_INCOMING"});
    EXPECT_EQ(update.statuses, (statuses {{aor, account_call_status::incoming_ringing}}));
    ASSERT_NE(state.calls().ringing_in(), nullptr);

    feed(state, ua_event("CALL_ESTABLISHED", "incoming", "1-2@h"));
    EXPECT_EQ(state.calls().ringing_in(), nullptr);
    update = feed(state, ua_event("CALL_DTMF_START", "incoming", "1-2@h", "5"));
    EXPECT_EQ(types_of(update), std::vector<std::string> {"CALL_DTMF_START"});
    EXPECT_EQ(member_of(update.events[0], "param"), "5");
    EXPECT_TRUE(update.statuses.empty()) << "a digit changes no status";
    for (const char* ignored : {"CALL_DTMF_END", "CALL_RTPESTAB", "CALL_RTCP", "CALL_REMOTE_SDP"})
        EXPECT_TRUE(feed(state, ua_event(ignored, "incoming", "1-2@h")).events.empty()) << ignored;
    EXPECT_TRUE(feed(state, R"({"event":true,"type":"REGISTERING","class":"register","accountaor":"x"})").events.empty());
    EXPECT_TRUE(feed(state, R"({"event":true,"type":"SHUTDOWN","class":"application"})").events.empty());
    EXPECT_TRUE(feed(state, R"({"event":true,"type":7})").events.empty()) << "a type that is no text";
    EXPECT_TRUE(feed(state, R"({"event":true})").events.empty());
}

// A door code may only be tried from the call the station is in: digits of
// a call that rings, or of a stranger's call beside the answered one, stay
// with the user agent, and the bridge says so once per call.
TEST(BridgeTranslation, DigitsPassOnlyFromTheEstablishedCallOfTheStation)
{
    bridge_state state;
    const auto dtmf = [&](const char* id, const char* digit) {
        return feed(state, ua_event("CALL_DTMF_START", "incoming", id, digit));
    };
    feed(state, ua_event("CALL_INCOMING", "incoming", "visitor", "sip:4000@h"));
    station_update update = dtmf("visitor", "1");
    EXPECT_TRUE(update.events.empty()) << "the call still rings";
    ASSERT_EQ(update.notes.size(), 1u);
    EXPECT_NE(update.notes[0].find("no call is established"), std::string::npos) << update.notes[0];
    EXPECT_TRUE(dtmf("visitor", "2").notes.empty()) << "said once per call";

    feed(state, ua_event("CALL_ESTABLISHED", "incoming", "visitor"));
    EXPECT_EQ(types_of(dtmf("visitor", "3")), std::vector<std::string> {"CALL_DTMF_START"});

    // A second caller while the visitor talks: its digits stay out.
    feed(state, ua_event("CALL_INCOMING", "incoming", "stranger", "sip:6666@h"));
    update = dtmf("stranger", "4");
    EXPECT_TRUE(update.events.empty());
    ASSERT_EQ(update.notes.size(), 1u);
    EXPECT_NE(update.notes[0].find("not the call the station is in"), std::string::npos) << update.notes[0];
    EXPECT_TRUE(dtmf("", "5").events.empty()) << "a digit that names no call";
    EXPECT_TRUE(dtmf("unknown", "6").events.empty()) << "a call the bridge never saw";
    EXPECT_TRUE(dtmf("unknown", "6").notes.empty());
    EXPECT_EQ(types_of(dtmf("visitor", "7")), std::vector<std::string> {"CALL_DTMF_START"});

    // Once the visitor's call ends, nothing is established.
    feed(state, ua_event("CALL_CLOSED", "incoming", "visitor", "Connection reset by peer"));
    EXPECT_TRUE(dtmf("stranger", "8").events.empty());
}

TEST(BridgeTranslation, MembersOfTheWrongTypeAreLeftOutAndTextsStayEscaped)
{
    bridge_state state;
    const station_update update = feed(
        state, R"({"event":true,"type":"CALL_INCOMING","direction":"incoming","accountaor":["x"],"id":"a\"b","peeruri":"sip:\"},{\"x@h"})");
    ASSERT_EQ(update.events.size(), 1u);
    json_ptr event(cJSON_Parse(update.events[0].c_str()));
    ASSERT_TRUE(event) << update.events[0];
    EXPECT_FALSE(cJSON_HasObjectItem(event.get(), "accountaor"));
    EXPECT_EQ(json_string_member(event.get(), "id"), "a\"b");
    EXPECT_EQ(json_string_member(event.get(), "peeruri"), "sip:\"},{\"x@h");
}

TEST(BridgeTranslation, FirstRegistrationAlsoWhenItCameBeforeTheConnection)
{
    bridge_state state;
    const std::string listing = "\n--- User Agents (2) ---\n> " + aor + "   \x1b[32mOK \x1b[;m  Expires 60s\n"
                                "  sip:p2p@127.0.0.1                         \n\n";
    station_update update = state.on_connected(listing);
    EXPECT_EQ(types_of(update), (std::vector<std::string> {"REGISTER_OK", ""}));
    EXPECT_EQ(member_of(update.events[0], "class"), "init register");
    EXPECT_EQ(member_of(update.events[0], "accountaor"), aor);
    EXPECT_EQ(member_of(update.events[1], "data"), listing);
    EXPECT_NE(update.events[1].find(R"("event":false)"), std::string::npos);
    EXPECT_TRUE(update.all_statuses);
    EXPECT_EQ(state.registered(), std::set<std::string> {aor});

    // Its refresh is a plain registration.
    update = feed(state, R"({"event":true,"type":"REGISTER_OK","class":"register","accountaor":")" + aor +
                             R"(","param":"200 OK"})");
    EXPECT_EQ(member_of(update.events.at(0), "class"), "register");
    EXPECT_EQ(update.statuses, (statuses {{aor, account_call_status::idle}}));

    // A lost registration deletes the key; the next one is no first one.
    update = feed(state, R"({"event":true,"type":"REGISTER_FAIL","class":"register","accountaor":")" + aor +
                             R"(","param":"403 Forbidden"})");
    EXPECT_EQ(types_of(update), std::vector<std::string> {"REGISTER_FAIL"});
    EXPECT_EQ(member_of(update.events[0], "param"), "403 Forbidden");
    EXPECT_EQ(update.statuses, (statuses {{aor, std::nullopt}}));
    EXPECT_TRUE(state.registered().empty());

    // Its failures keep coming with their reasons; giving up an account
    // that is not registered (deleted to be made anew) tells the station
    // nothing.
    update = feed(state, R"({"event":true,"type":"REGISTER_FAIL","class":"register","accountaor":")" + aor +
                             R"(","param":"401 Unauthorized"})");
    EXPECT_EQ(member_of(update.events.at(0), "param"), "401 Unauthorized");
    update = feed(state, R"({"event":true,"type":"UNREGISTERING","class":"register","accountaor":")" + aor + R"("})");
    EXPECT_TRUE(update.events.empty());
    EXPECT_TRUE(update.statuses.empty());
}

TEST(BridgeTranslation, RegistrationRefreshDuringACallKeepsTheCallsStatus)
{
    bridge_state state;
    feed(state, ua_event("CALL_ESTABLISHED", "outgoing", "c1", peer));
    const station_update update = feed(
        state, R"({"event":true,"type":"REGISTER_OK","class":"register","accountaor":")" + aor + R"("})");
    EXPECT_EQ(update.statuses, (statuses {{aor, account_call_status::answered}}));
}

TEST(BridgeTranslation, UserAgentGoneIsReportedOnceAndForgetsEverything)
{
    bridge_state state;
    EXPECT_TRUE(state.on_user_agent_gone().events.empty()) << "nothing to report before a connection";
    state.on_connected("\n--- User Agents (1) ---\n> " + aor + " OK\n");
    feed(state, ua_event("CALL_INCOMING", "incoming", "i1"));

    // The calls it took with it are closed for the station first, so that
    // none of them holds a key or misses its record.
    feed(state, ua_event("CALL_LOCAL_SDP", "outgoing", ""));
    station_update update = feed(state, R"({"event":true,"type":"EXIT","class":"application"})");
    EXPECT_EQ(types_of(update), (std::vector<std::string> {"CALL_CLOSED", "CALL_CLOSED", "EXIT"}));
    EXPECT_EQ(member_of(update.events.at(0), "direction"), "outgoing");
    EXPECT_EQ(member_of(update.events.at(0), "id"), "");
    EXPECT_EQ(member_of(update.events.at(1), "direction"), "incoming");
    EXPECT_EQ(member_of(update.events.at(1), "id"), "i1");
    for (int i : {0, 1}) {
        EXPECT_EQ(member_of(update.events.at(i), "class"), "call");
        EXPECT_EQ(member_of(update.events.at(i), "accountaor"), aor);
        EXPECT_EQ(member_of(update.events.at(i), "peeruri"), peer);
        EXPECT_EQ(member_of(update.events.at(i), "param"), user_agent_gone_reason);
    }
    EXPECT_TRUE(update.all_statuses);
    EXPECT_TRUE(state.registered().empty());
    EXPECT_EQ(state.calls().current(), nullptr);
    EXPECT_TRUE(state.on_user_agent_gone().events.empty()) << "the socket closing after EXIT";

    // A user agent met anew registers its accounts for the first time.
    update = state.on_connected("\n--- User Agents (1) ---\n> " + aor + " OK\n");
    EXPECT_EQ(member_of(update.events.at(0), "class"), "init register");
    EXPECT_EQ(types_of(state.on_user_agent_gone()), std::vector<std::string> {"EXIT"});
}

TEST(BridgePlans, DialSelectsTheIndexedAccountOrTheP2pLine)
{
    station_view accounts;
    accounts.enabled = {{2, "b.test", "sip:2000@b.test", "k2"}, {3, "c.test", "sip:3000@c.test", "k3"}};
    const call_book none;
    using requests = std::vector<std::pair<std::string, std::string>>;
    const auto sent = [&](const std::string& text) {
        const command_plan plan = plan_command(parse_command(text), accounts, none);
        requests out;
        for (const ua_request& r : plan.requests)
            out.emplace_back(r.command, r.params);
        return std::make_pair(out, plan.refusal);
    };
    EXPECT_EQ(sent(R"({"cmd":"dial","data":"1001 1"})").first,
              (requests {{"uafind", "sip:3000@c.test"}, {"dial", "1001"}}));
    EXPECT_EQ(sent(R"({"cmd":"dial","data":"1001@10.0.0.7:5062"})").first,
              (requests {{"uafind", p2p_account_aor}, {"dial", "sip:1001@10.0.0.7:5062"}}));
    EXPECT_EQ(sent(R"({"cmd":"dial","data":"10.0.0.7"})").first,
              (requests {{"uafind", p2p_account_aor}, {"dial", "sip:10.0.0.7"}}));

    for (const char* refused : {R"({"cmd":"dial","data":"1001 2"})", R"({"cmd":"dial","data":"10\"01 0"})",
                                R"({"cmd":"dial","data":"1001@evil.test 0"})", R"({"cmd":"dial","data":"sip:x@h;evil"})",
                                R"({"cmd":"dial","data":"a@b@c"})", R"({"cmd":"dial","data":"h:99999"})",
                                R"({"cmd":"dial","data":"[::1"})", R"({"cmd":"dial","data":7})", R"(not json)",
                                R"({"cmd":"quit","data":""})"}) {
        const auto [out, refusal] = sent(refused);
        EXPECT_TRUE(out.empty()) << refused;
        EXPECT_FALSE(refusal.empty()) << refused;
    }
    EXPECT_EQ(sent(R"({"cmd":"dial","data":"[fe80::1]:5060"})").first.size(), 2u);
}

TEST(BridgePlans, HangupsSelectEveryCallTheBridgeKnows)
{
    const station_view accounts;
    call_book calls;
    using requests = std::vector<std::pair<std::string, std::string>>;
    const auto sent = [&](const std::string& text) {
        const command_plan plan = plan_command(parse_command(text), accounts, calls);
        requests out;
        for (const ua_request& r : plan.requests)
            out.emplace_back(r.command, r.params);
        return out;
    };
    EXPECT_EQ(sent(R"({"cmd":"hangup","data":""})"), (requests {{"hangup", ""}}));
    EXPECT_EQ(sent(R"({"cmd":"hangupall","data":""})"), (requests {{"hangup", ""}}));

    calls.note_incoming("i1", "sip:a@h", "sip:4000@h");
    calls.note_outgoing("", "sip:b@h", "sip:1001@h");  // not named yet
    // A key answers the call that made the station ring, not one that came
    // in just before the press.
    calls.note_incoming("i2", "sip:a@h", "sip:6666@h");
    EXPECT_EQ(sent(R"({"cmd":"accept","data":""})"),
              (requests {{"uafind", "sip:a@h"}, {"callfind", "i1"}, {"accept", ""}}));
    calls.note_closed("i2", "sip:a@h", "sip:6666@h");
    EXPECT_EQ(sent(R"({"cmd":"hangup","data":""})"), (requests {{"uafind", "sip:b@h"}, {"hangup", ""}}));
    EXPECT_EQ(sent(R"({"cmd":"hangupall","data":""})"),
              (requests {{"uafind", "sip:b@h"}, {"hangup", ""}, {"uafind", "sip:a@h"}, {"callfind", "i1"}, {"hangup", ""}}));
    EXPECT_FALSE(plan_command(parse_command(R"({"cmd":"hangupall","data":""})"), accounts, calls).stop_at_refusal);
}

TEST(BridgePlans, PlayTakesAPathAndASensibleCount)
{
    const station_view accounts;
    const call_book calls;
    command_plan plan = plan_command(parse_command(R"({"cmd":"play","data":"/userdata/alarm.mp3:2"})"), accounts, calls);
    EXPECT_TRUE(plan.play);
    EXPECT_EQ(plan.sound, "/userdata/alarm.mp3");
    EXPECT_EQ(plan.count, 2);
    EXPECT_TRUE(plan.requests.empty());
    for (const char* refused : {R"({"cmd":"play","data":"/a.mp3:0"})", R"({"cmd":"play","data":"/a.mp3:100"})",
                                R"({"cmd":"play","data":"/a.mp3:99999999999999999999"})", R"({"cmd":"play","data":"/a.mp3"})"}) {
        plan = plan_command(parse_command(refused), accounts, calls);
        EXPECT_FALSE(plan.play) << refused;
        EXPECT_FALSE(plan.refusal.empty()) << refused;
    }
}

TEST(BridgeCallBook, StatusIsTheMostAdvancedPhaseOfTheAccountsCalls)
{
    call_book calls;
    EXPECT_EQ(calls.status_of("sip:a@h"), account_call_status::idle);
    calls.note_outgoing("o1", "sip:a@h", "p1");
    EXPECT_EQ(calls.status_of("sip:a@h"), account_call_status::outgoing_ringing);
    calls.note_incoming("i1", "sip:a@h", "p2");
    EXPECT_EQ(calls.status_of("sip:a@h"), account_call_status::incoming_ringing);
    calls.note_established("o1", "sip:a@h", "p1");
    EXPECT_EQ(calls.status_of("sip:a@h"), account_call_status::answered);
    EXPECT_EQ(calls.status_of("sip:b@h"), account_call_status::idle) << "another account";
    calls.note_closed("o1", "sip:a@h", "p1");
    EXPECT_EQ(calls.status_of("sip:a@h"), account_call_status::incoming_ringing);
    calls.note_closed("unknown", "sip:a@h", "p9");
    EXPECT_EQ(calls.newest_first().size(), 1u) << "closing a call the book never saw removes nothing";
}
