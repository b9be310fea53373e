#include <gtest/gtest.h>

#include "orvanel/records/site_message.h"

namespace {

site_origin door_3()
{
    site_origin o;
    o.name = "door-3";
    o.mac = "02:11:22:33:44:55";
    o.pid = 812;
    return o;
}

site_stamp stamp_42()
{
    site_stamp s;
    s.sequence = 42;
    s.unix_ms = 1796879068123;  // 2026-12-10T05:04:28.123Z
    s.uptime_cs = 123456;
    return s;
}

TEST(SiteMessage, AnEntryIsOneRfc5424MessageWithItsFieldsAsStructuredData)
{
    EXPECT_EQ(site_entry_message("FUNCTION,RELAY Request,DTMF code", door_3(), stamp_42()),
              "<133>1 2026-12-10T05:04:28.123Z door-3 orvanel 812 door "
              "[meta sequenceId=\"42\" sysUpTime=\"123456\"]"
              "[station@32473 name=\"door-3\" mac=\"02:11:22:33:44:55\"]"
              "[entry@32473 category=\"FUNCTION\" event=\"RELAY Request\" detail=\"DTMF code\"] "
              "FUNCTION,RELAY Request,DTMF code");
}

TEST(SiteMessage, ACallRecordNamesItsNineFieldsAndACommaInTheReasonStaysInIt)
{
    const std::string line =
        "2026-12-09,10:31:05,10:31:40,sip:201@pbx.example.com,2001,30,out,ANSWERED,Busy, try later";
    const std::string m = site_record_message(line, door_3(), stamp_42());
    EXPECT_EQ(m.substr(0, m.find(" [meta")), "<134>1 2026-12-10T05:04:28.123Z door-3 orvanel 812 record");
    EXPECT_NE(m.find("[record@32473 date=\"2026-12-09\" start=\"10:31:05\" end=\"10:31:40\" "
                     "account=\"sip:201@pbx.example.com\" peer=\"2001\" duration=\"30\" direction=\"out\" "
                     "outcome=\"ANSWERED\" reason=\"Busy, try later\"] " +
                     line),
              std::string::npos)
        << m;
    // A record of a call whose start was not seen: the blanks stay fields.
    EXPECT_NE(site_record_message(",,04:06:57,,,0,,,Connection reset", door_3(), stamp_42())
                  .find("[record@32473 date=\"\" start=\"\" end=\"04:06:57\" account=\"\" peer=\"\" duration=\"0\" "
                        "direction=\"\" outcome=\"\" reason=\"Connection reset\"]"),
              std::string::npos);
}

TEST(SiteMessage, HostileTextCannotCloseAValueOrAnElementOrStartAnother)
{
    // As the file has it: made one line and disarmed by the writer already.
    const std::string entry = R"(SIP STATE,CALL CLOSED,'"] [meta sequenceId="1"] \x)";
    const std::string m = site_entry_message(entry, door_3(), stamp_42());
    EXPECT_NE(m.find(R"(detail="'\"\] [meta sequenceId=\"1\"\] \\x"])"), std::string::npos) << m;
    EXPECT_EQ(site_param_value(R"(a"b\c]d)"), R"(a\"b\\c\]d)");
    // A station name with blanks and control bytes cannot split the header.
    site_origin o = door_3();
    o.name = "hall door\n2";
    EXPECT_EQ(site_entry_message("BUTTON,KEY_GPIO3 trigger,", o, stamp_42()).substr(0, 50),
              "<132>1 2026-12-10T05:04:28.123Z hall_door_2 orvane");
    EXPECT_EQ(site_header_field("", 255), "-");
    EXPECT_EQ(site_header_field(std::string(300, 'a'), 255).size(), 255u);
}

TEST(SiteMessage, KindsAndSeveritiesFollowTheEntrysCategoryAndEvent)
{
    struct expected {
        const char* entry;
        const char* kind;
        int severity;
    };
    for (const expected& e : {
             expected{"BUTTON,KEY_GPIO140 Release,", "key", 6},
             expected{"BUTTON,KEY_GPIO3 trigger,", "tamper", 4},
             expected{"FUNCTION,KEY3 Call,key_gpio3 2001 <SIP1>", "tamper", 4},
             expected{"FUNCTION,KEY1 Play Auido,File: a.mp3; Repeat: 2", "tamper", 4},
             expected{"FUNCTION,KEY1 Call,2001 <SIP1>", "call", 6},
             expected{"SIP STATE,CALL CLOSED,486 Busy Here", "call", 6},
             expected{"SIP STATE,INCOMING CALL,sip:2001@pbx", "call", 6},
             expected{"SIP STATE,Primary Account REGISTER FAILED <sip:201@pbx>,401 Unauthorized", "sip", 4},
             expected{"SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@pbx>", "sip", 6},
             expected{"FUNCTION,RELAY Request,incoming call", "door", 5},
             expected{"FUNCTION,DTMF LOCKED,60 s", "door", 4},
             expected{"FUNCTION,RECEIVE DTMF,5", "door", 6},
             expected{"FUNCTION,RELAY Control,On", "relay", 5},
             expected{"Other Event,HTTP API URL:,http://x", "other", 6},
             expected{"no commas at all", "other", 6},
         }) {
        EXPECT_EQ(site_entry_kind(e.entry), e.kind) << e.entry;
        EXPECT_EQ(site_entry_severity(e.entry), e.severity) << e.entry;
    }
}

TEST(SiteMessage, ALineWithoutANumberHasNoSequenceIdAndAnUnknownMacNoMac)
{
    site_stamp s = stamp_42();
    s.sequence = 0;
    site_origin o = door_3();
    o.mac.clear();
    const std::string m = site_entry_message("BUTTON,KEY_GPIO140 Press,", o, s);
    EXPECT_NE(m.find("[meta sysUpTime=\"123456\"][station@32473 name=\"door-3\"][entry"), std::string::npos) << m;
    EXPECT_EQ(site_mac_text("0211223344AB"), "02:11:22:33:44:ab");
    EXPECT_EQ(site_mac_text("02:11:22:33:44:AB\n"), "02:11:22:33:44:ab");
    EXPECT_EQ(site_mac_text("02:11:22:33:44\n"), "");
    EXPECT_EQ(site_mac_text("02:11:22:33:44:5\" x=\"1"), "");
    EXPECT_EQ(site_timestamp(0), "1970-01-01T00:00:00.000Z");
}

}  // namespace
