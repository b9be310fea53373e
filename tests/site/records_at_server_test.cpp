// The station's records at the site's log server, end to end: the real
// orvanel and outputd under a station root with Redis, the station's
// rsyslogd instance from station-sitelog's configuration, and a site's
// rsyslogd over TLS on loopback. What the server received is compared with
// what the station's files hold.
#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "station_kit/redis.h"
#include "tests/site/site_station.h"

namespace {

// A message as the server received it: MSGID, number, the fields' text and
// the line of the file that it copies.
struct received_message {
    std::string msgid;
    long long sequence = 0;
    std::string text;
    std::string whole;
};

received_message parse_received(const std::string& m)
{
    static const std::regex form(
        R"re(<\d+>1 \S+ door-3 orvanel \d+ (\S+) \[meta sequenceId="(\d+)" sysUpTime="\d+"\].*?[^\\]\] (.*))re");
    received_message out;
    out.whole = m;
    std::smatch match;
    if (std::regex_match(m, match, form)) {
        out.msgid = match[1];
        out.sequence = std::stoll(match[2]);
        out.text = match[3];
    }
    return out;
}

}  // namespace

class SiteRecords : public SiteStation {
protected:
    void SetUp() override
    {
        SiteStation::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(start_pair(certificate)) << report();
        // The site's settings with the station's own: account 1, the door
        // code, the tamper switch without an action.
        root.write_settings(site_settings_text(server.address(), ca_setting, "logs.example", "door-3") +
                            "[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\n"
                            "server = 10.0.0.9\n[relay_ctrl]\ntype = On\nrelay_mode = singleBToggle\ndtmf = yes\ndtmf_code = 1234\n"
                            "mode = hold\n");
        outputd = std::make_unique<kit_program>(root, outputd_binary());
        orvanel = std::make_unique<kit_program>(root, orvanel_binary(), std::vector<std::string>{"debug"});
        ASSERT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }, 10s));
        publish(R"({"type":"REGISTER_OK","class":"init register","accountaor":"sip:1000@example.test"})");
    }

    void TearDown() override
    {
        if (HasFailure()) {
            std::cerr << report();
            if (orvanel)
                std::cerr << orvanel->report("orvanel");
            if (outputd)
                std::cerr << outputd->report("outputd");
        }
    }

    void publish(const std::string& event) { client.command("PUBLISH session-channel %s", event); }

    // A visitor's call answered at the station, the code, the close.
    void call_with_the_code(const std::string& peer = "sip:4000@h",
                            const std::string& reason = "Connection reset by peer [104]")
    {
        publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":")" + peer + "\"}");
        publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
        for (const char d : std::string("1234"))
            publish(std::string(R"({"type":"CALL_DTMF_START","param":")") + d + "\"}");
        publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":")" + reason + "\"}");
    }

    std::vector<std::string> file_lines(const std::string& file, size_t stamp)
    {
        std::vector<std::string> out;
        for (const std::string& line : split(root.read(file), '\n'))
            if (!line.empty())
                out.push_back(line.substr(std::min(stamp, line.size())));
        return out;
    }
    std::vector<std::string> entries() { return file_lines("/userdata/system.csv", 20); }
    std::vector<std::string> records() { return file_lines("/userdata/cdr.csv", 0); }
    bool has_entry(const std::string& entry)
    {
        const std::vector<std::string> all = entries();
        return std::find(all.begin(), all.end(), entry) != all.end();
    }

    std::vector<received_message> at_server()
    {
        std::vector<received_message> out;
        for (const std::string& m : server.received())
            out.push_back(parse_received(m));
        return out;
    }

    // Waits until the server holds a message for every line of both files,
    // then checks that it holds each exactly once, the entries in the order
    // of system.csv, and the numbers without a gap.
    void expect_every_line_once_in_order(std::chrono::milliseconds within)
    {
        // The writers are done once the lists and their processing lists
        // are empty: the files hold every line there is.
        ASSERT_TRUE(wait_until(
            [&] {
                for (const char* list : {"writelog-channel", "writelog-processing", "cdr-channel", "cdr-processing"})
                    if (client.command("LLEN %s", list)->integer != 0)
                        return false;
                return true;
            },
            10s));
        const size_t lines = entries().size() + records().size();
        ASSERT_TRUE(server.wait_for([&](const std::vector<std::string>& got) { return got.size() >= lines; }, within))
            << server.received().size() << " of " << lines << " lines arrived";
        const std::vector<received_message> got = at_server();
        EXPECT_EQ(got.size(), lines) << "nothing twice";
        std::vector<long long> numbers;
        std::vector<std::string> entry_texts;
        for (const received_message& m : got) {
            ASSERT_FALSE(m.msgid.empty()) << "not the station's form: " << m.whole;
            numbers.push_back(m.sequence);
            if (m.msgid != "record")
                entry_texts.push_back(m.text);
        }
        EXPECT_EQ(entry_texts, entries());
        if (::testing::Test::HasFailure())
            for (const std::string& m : server.received())
                std::cerr << "received: " << m << "\n";
        std::sort(numbers.begin(), numbers.end());
        for (size_t n = 1; n < numbers.size(); ++n)
            EXPECT_EQ(numbers[n], numbers[n - 1] + 1) << "a gap or a copy in the series";
        for (const std::string& record : records())
            EXPECT_EQ(std::count_if(got.begin(), got.end(), [&](const received_message& m) { return m.text == record; }),
                      1);
    }

    // The message that copies the entry, or an empty one.
    received_message message_of(const std::string& entry)
    {
        for (const received_message& m : at_server())
            if (m.text == entry)
                return m;
        return {};
    }

    redis_server redis{root};
    redis_client client{root.socket()};
    std::unique_ptr<kit_program> outputd;
    std::unique_ptr<kit_program> orvanel;
};

TEST_F(SiteRecords, ACallADoorOpenedByCodeATamperOpeningAndAFailedRegistrationArriveOnceInOrder)
{
    call_with_the_code();
    ASSERT_TRUE(wait_until([&] { return has_entry("FUNCTION,RELAY Control,On"); }, 10s));
    root.set_gpio(3, 0);
    std::this_thread::sleep_for(300ms);  // a closing leaves no trace: the watcher's 100 ms, and more
    root.set_gpio(3, 1);
    ASSERT_TRUE(wait_until([&] { return has_entry("BUTTON,KEY_GPIO3 trigger,"); }, 10s));
    publish(R"({"type":"REGISTER_FAIL","class":"register","accountaor":"sip:1000@example.test","param":"403 Forbidden"})");
    const std::string failed = "SIP STATE,Primary Account REGISTER FAILED <sip:1000@example.test>,403 Forbidden";
    ASSERT_TRUE(wait_until([&] { return has_entry(failed); }, 10s));
    ASSERT_TRUE(wait_until([&] { return records().size() == 1; }, 10s));

    expect_every_line_once_in_order(30s);

    // Each with its kind and its fields.
    const received_message door = message_of("FUNCTION,RELAY Request,DTMF code");
    EXPECT_EQ(door.msgid, "door");
    EXPECT_NE(door.whole.find(R"([station@32473 name="door-3" mac="02:11:22:33:44:55"])"), std::string::npos)
        << door.whole;
    EXPECT_NE(door.whole.find(R"([entry@32473 category="FUNCTION" event="RELAY Request" detail="DTMF code"])"),
              std::string::npos)
        << door.whole;
    EXPECT_EQ(message_of("FUNCTION,RELAY Control,On").msgid, "relay");
    EXPECT_EQ(message_of("BUTTON,KEY_GPIO3 trigger,").msgid, "tamper");
    EXPECT_EQ(message_of("BUTTON,KEY_GPIO3 trigger,").whole.substr(0, 5), "<132>") << "a warning";
    const received_message registration = message_of(failed);
    EXPECT_EQ(registration.msgid, "sip");
    EXPECT_NE(registration.whole.find(R"(detail="403 Forbidden"])"), std::string::npos) << registration.whole;
    const received_message record = message_of(records().front());
    EXPECT_EQ(record.msgid, "record");
    EXPECT_NE(record.whole.find(R"(peer="4000" duration="0" direction="in" outcome="ANSWERED" )"
                                R"(reason="Connection reset by peer [104\]"])"),
              std::string::npos)
        << record.whole;
}

TEST_F(SiteRecords, HostileSipDataArrivesEscapedOneMessageEach)
{
    call_with_the_code(R"(sip:\"] [meta sequenceId=\"1\"]\n<13>1 - forged@h)", R"(=cmd|' /C calc'!A0\"]\r\n)");
    ASSERT_TRUE(wait_until([&] { return records().size() == 1; }, 10s));
    ASSERT_TRUE(wait_until([&] { return has_entry("FUNCTION,RELAY Control,On"); }, 10s));
    expect_every_line_once_in_order(30s);
    for (const std::string& m : server.received())
        EXPECT_EQ(m.find("#0"), std::string::npos) << "a control character reached the server: " << m;
    const received_message record = message_of(records().front());
    EXPECT_NE(record.whole.find(R"(reason="'=cmd|' /C calc'!A0\"\]  "])"), std::string::npos)
        << "disarmed as in the file, escaped: " << record.whole;
}

// The server away for two minutes while a call and a door opening happen:
// the station keeps the messages in its queue on /userdata and, once the
// server is back, delivers every one, without a gap in the series.
using SiteRecordsOutage = SiteRecords;

TEST_F(SiteRecordsOutage, TwoMinutesWithoutTheServerLoseNothing)
{
    call_with_the_code();
    ASSERT_TRUE(wait_until([&] { return records().size() == 1 && has_entry("FUNCTION,RELAY Control,On"); }, 10s));
    expect_every_line_once_in_order(30s);
    const size_t before = server.received().size();

    server.stop();
    call_with_the_code("sip:4001@h");
    ASSERT_TRUE(wait_until([&] { return records().size() == 2; }, 10s));
    ASSERT_TRUE(wait_until(
        [&] {
            const std::vector<std::string> all = entries();
            return std::count(all.begin(), all.end(), "FUNCTION,RELAY Control,On") == 2;
        },
        10s));
    // The outage itself: nothing arrives anywhere, for two minutes.
    EXPECT_TRUE(holds([&] { return server.received().size() == before; }, 120s));
    ASSERT_TRUE(server.restart()) << report();
    expect_every_line_once_in_order(60s);
}
