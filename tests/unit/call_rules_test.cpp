#include <gtest/gtest.h>

#include "orvanel/call/call_events.h"
#include "orvanel/call/session_events.h"
#include "orvanel/call/start_status.h"
#include "orvanel/core/call_state.h"
#include "orvanel/relay/relay_triggers.h"

TEST(PeerNames, UserPartOfTheFarEnd)
{
    EXPECT_EQ(peer_number(incoming_peer_name("sip:2001@10.0.0.5")), "2001");
    EXPECT_EQ(incoming_peer_name("sip:2001;transport=udp"), "sip:2001;transport=udp");
    EXPECT_EQ(outgoing_peer_name("sip:2001;transport=udp"), "sip:2001");
    EXPECT_EQ(outgoing_peer_name("sip:2001"), "sip:2001");
    EXPECT_EQ(peer_number("sip:"), "");
    EXPECT_EQ(peer_number("ab"), "");
    EXPECT_EQ(incoming_peer_name(std::string(300, 'x')).size(), 127u) << "at most 127 bytes are looked at";
}

TEST(StartStatusTexts, WholeTextsOnly)
{
    EXPECT_EQ(call_status_of_text(R"({"status":"idle"})"), 0);
    EXPECT_EQ(call_status_of_text(R"({"status":"answer"})"), 1);
    EXPECT_EQ(call_status_of_text(R"({"status":"ring"})"), 2);
    EXPECT_EQ(call_status_of_text(R"({"status":"ringing"})"), 3);
    EXPECT_EQ(call_status_of_text(R"({"status": "idle"})"), 5);
    EXPECT_EQ(call_status_of_text(""), 5);
}

TEST(RelayRequests, TextsAreExactAndEscaped)
{
    EXPECT_EQ(relay_request_text("gpio135", true, "On"), R"({"id":"gpio135","type":"On"})");
    EXPECT_EQ(relay_request_text("gpio135", false, "ignored"), R"({"id":"gpio135","type":"Off"})");
    EXPECT_EQ(relay_request_text("gpio135", true, ""), R"({"id":"gpio135","type":""})");
    EXPECT_EQ(relay_request_text("gpio135", true, R"(a"b)"), R"({"id":"gpio135","type":"a\"b"})");
}
