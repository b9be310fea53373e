// The event side of the station, end to end: events on session-channel in,
// operation log, call records and relay requests out.
#include "common/json_text.h"
#include "tests/integration/running_station.h"

namespace {

bool is_clock(const std::string& t)
{
    return t.size() == 8 && t[2] == ':' && t[5] == ':';
}

}  // namespace

using CallControl = RunningStation;

TEST_F(CallControl, RegistrationsExitAndP2pListingAreLogged)
{
    root.write_settings(account_1_settings);
    start_orvanel();
    publish(R"({"type":"REGISTER_OK","class":"init register","accountaor":")" + account_1_aor + "\"}");
    publish(R"({"type":"REGISTER_OK","accountaor":")" + account_1_aor + "\"}");  // already registered
    publish(R"({"type":"REGISTER_FAIL","param":"408 Request Timeout","accountaor":")" + account_1_aor + "\"}");
    ASSERT_TRUE(wait_until([&] { return root.tool_calls().size() == 1; }));
    EXPECT_EQ(root.tool_calls()[0].name, "killall");
    EXPECT_EQ(root.tool_calls()[0].args, std::vector<std::string>{"vlc"});

    publish(R"({"type":"EXIT"})");
    root.write_settings(account_1_settings + "[account_info_p2p]\nenable = yes\n");
    publish(R"({"event":false,"data":"\n--- User Agents (1) ---\n"})");
    publish(R"({"event":false,"data":"\n--- User Agents (1) ---\n"})");
    publish(R"({"event":false,"data":"--- User Agents without newline"})");
    ASSERT_EQ(wait_oplog(4).size(), 4u);
    root.write_settings(account_1_settings);
    publish(R"({"event":false,"data":"\n--- User Agents (0) ---\n"})");

    EXPECT_EQ(wait_oplog(5), (std::vector<std::string>{
                                 "SIP STATE,SIP REGISTERED,Primary SIP Account <sip:1000@example.test>",
                                 "SIP STATE,Primary Account REGISTER FAILED <sip:1000@example.test>,408 Request Timeout",
                                 "SIP STATE,APP EXIT,",
                                 "SIP STATE,P2P ACCOUNT,Enabled",
                                 "SIP STATE,P2P ACCOUNT,Disabled",
                             }));
    EXPECT_EQ(root.tool_calls().size(), 2u) << "EXIT stops the media player too";
    const std::string out = orvanel->output();
    EXPECT_NE(out.find("Baresip Status is: 5\n"), std::string::npos) << "lost the last account";
    EXPECT_NE(out.find("Baresip Status is: 0\n"), std::string::npos) << "P2P listing";
}

TEST_F(CallControl, OperationLogKeepsPushOrderAndHostileTextsStayInTheirLine)
{
    start_orvanel();
    for (int i = 0; i < 10; ++i)
        client.command("LPUSH writelog-channel %s", "BUTTON,entry " + std::to_string(i) + ",");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    publish(R"({"type":"CALL_DTMF_START","param":"%s%n\"}"})");
    publish(R"({"type":"CALL_DTMF_START","param":5})");
    const auto entries = wait_oplog(13);
    ASSERT_EQ(entries.size(), 13u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(entries[i], "BUTTON,entry " + std::to_string(i) + ",");
    EXPECT_EQ(entries[11], "FUNCTION,RECEIVE DTMF,%s%n\"}");
    EXPECT_EQ(entries[12], "FUNCTION,RECEIVE DTMF,") << "a number where text belongs counts as missing";
    const std::string line = root.read("/userdata/system.csv").substr(0, 20);
    EXPECT_EQ(line.size(), 20u);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[10], ' ');
    EXPECT_EQ(line[19], ',');
    EXPECT_NE(orvanel->errors().find(" INFO  main:2818: BUTTON,entry 0,\n"), std::string::npos);
}

// A writer killed after it took an entry and before its line was synced
// left the entry on its processing list: the next start writes it first.
TEST_F(CallControl, OperationLogEntryInFlightAtAKillIsWrittenAtTheNextStart)
{
    client.command("LPUSH writelog-processing %s", "BUTTON,in flight,");
    client.command("LPUSH writelog-channel %s", "BUTTON,waiting,");
    start_orvanel();
    EXPECT_EQ(wait_oplog(2), (std::vector<std::string>{"BUTTON,in flight,", "BUTTON,waiting,"}));
    EXPECT_TRUE(wait_until([&] { return client.list("writelog-processing").empty(); }));

    // Killed at any moment, the writer loses nothing: what it had taken
    // waits on its processing list.
    for (int i = 0; i < 20; ++i)
        client.command("LPUSH writelog-channel %s", "BUTTON,entry " + std::to_string(i) + ",");
    wait_until([&] { return oplog().size() >= 7; });
    orvanel->kill();
    start_orvanel();
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,entry 19,") == 1; }, 15s));
    const auto entries = oplog();
    std::vector<std::string> distinct;
    for (const std::string& e : entries)
        if (distinct.empty() || distinct.back() != e)
            distinct.push_back(e);
    ASSERT_EQ(distinct.size(), 22u) << "none lost, at most the one in flight twice:\n"
                                    << root.read("/userdata/system.csv");
    EXPECT_LE(entries.size(), 23u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(distinct[2 + i], "BUTTON,entry " + std::to_string(i) + ",");
}

TEST_F(CallControl, LogCleanReopensTheOperationLog)
{
    start_orvanel();
    client.command("LPUSH writelog-channel %s", "BUTTON,first,");
    ASSERT_EQ(wait_oplog(1).size(), 1u);
    std::remove(root.file("/userdata/system.csv").c_str());
    client.command("LPUSH writelog-channel %s", "log_clean");
    client.command("LPUSH writelog-channel %s", "BUTTON,second,");
    EXPECT_EQ(wait_oplog(1, 10s), std::vector<std::string>{"BUTTON,second,"});
}

TEST_F(CallControl, CallRecordsForMissedAnsweredAndUnansweredCalls)
{
    start_orvanel();
    const std::string aor = R"("accountaor":"sip:1000@example.test")";
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2002@10.0.0.5",)" + aor + "}");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by user",)" + aor + "}");
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2003@10.0.0.5",)" + aor + "}");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming",)" + aor + "}");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by peer [104]"})");
    publish(R"({"type":"CALL_OUTGOING","direction":"outgoing","peeruri":"sip:1002;transport=udp",)" + aor + "}");
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"486 Busy Here"})");

    ASSERT_TRUE(wait_until([&] { return split(root.read("/userdata/cdr.csv"), '\n').size() == 3; }));
    const auto lines = split(root.read("/userdata/cdr.csv"), '\n');
    const std::vector<std::vector<std::string>> expected = {
        {"sip:1000@example.test", "2002", "0", "in", "MISSED CALL", "Connection reset by user"},
        {"sip:1000@example.test", "2003", "?", "in", "ANSWERED", "Connection reset by peer [104]"},
        {"sip:1000@example.test", "1002", "0", "out", "NO ANSWER", "486 Busy Here"},
    };
    for (size_t i = 0; i < 3; ++i) {
        const auto fields = split(lines[i], ',');
        ASSERT_EQ(fields.size(), 9u) << lines[i];
        EXPECT_EQ(fields[0].size(), 10u) << lines[i];
        EXPECT_TRUE(is_clock(fields[1]) && is_clock(fields[2])) << lines[i];
        for (size_t f = 0; f < expected[i].size(); ++f) {
            if (expected[i][f] != "?") {
                EXPECT_EQ(fields[3 + f], expected[i][f]) << lines[i];
            }
        }
    }
    EXPECT_LE(std::stoi(split(lines[1], ',')[5]), 2);
}

// What a manager opens after something went wrong at the door: the records
// of callers who chose their names, read as a spreadsheet or a script would.
TEST_F(CallControl, HostileCallersCannotShiftOrArmTheRecords)
{
    start_orvanel();
    const std::string aor = R"("accountaor":"sip:1000@example.test")";
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:=1+2,evil,=HYPERLINK(x),x@host",)" + aor + "}");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"486 Busy, \"quoted\", =1+1",)" + aor + "}");
    publish("{\"type\":\"CALL_INCOMING\",\"direction\":\"incoming\",\"peeruri\":\"sip:-x\xff\\n@host\",\"accountaor\":\"@sip:1000\"}");
    publish("{\"type\":\"CALL_CLOSED\",\"direction\":\"incoming\",\"param\":\"\\\"-x\\r\\n2030-01-01 00:00:00,FUNCTION,RELAY Control,On\xc3\"}");
    publish(R"({"type":"CALL_OUTGOING","direction":"outgoing","peeruri":"sip:+4930123@host",)" + aor + "}");
    publish(R"j({"type":"CALL_CLOSED","direction":"outgoing","param":"@SUM(A1)",)j" + aor + "}");
    ASSERT_TRUE(wait_until([&] { return split(root.read("/userdata/cdr.csv"), '\n').size() == 3; }));
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,'@SUM(A1)") == 1; }))
        << root.read("/userdata/system.csv");

    const auto records = split(root.read("/userdata/cdr.csv"), '\n');
    EXPECT_EQ(records[0].substr(29), "sip:1000@example.test,'=1+2 evil =HYPERLINK(x) x,0,in,MISSED CALL,"
                                     "486 Busy  \"quoted\"  =1+1");
    EXPECT_EQ(records[1].substr(29), "'@sip:1000,'-x? ,0,in,MISSED CALL,"
                                     "'\"-x  2030-01-01 00:00:00 FUNCTION RELAY Control On?")
        << "the user part stops at the @ that the line end hid";
    EXPECT_EQ(records[2].substr(29), "sip:1000@example.test,+4930123,0,out,NO ANSWER,'@SUM(A1)");
    const std::vector<std::string> closes = {"SIP STATE,CALL CLOSED,486 Busy, \"quoted\", =1+1",
                                             "SIP STATE,CALL CLOSED,'\"-x  2030-01-01 00:00:00,FUNCTION,RELAY "
                                             "Control,On?"};
    for (const std::string& entry : closes)
        EXPECT_EQ(count_entries(entry), 1u) << entry << "\n" << root.read("/userdata/system.csv");
    EXPECT_EQ(count_entries("SIP STATE,INCOMING CALL,sip:=1+2,evil,'=HYPERLINK(x),x@host"), 1u);

    // Python's csv module reads what a split at the commas reads, the
    // files are UTF-8, every call record has its nine fields, and no cell
    // would run as a formula.
    root.write("/check.py", R"(import csv, sys
def armed(cell):
    return cell[:1] in ('=', '@', '"') or (cell[:1] in ('+', '-') and not cell[1:2].isdigit())
for path, fields in ((sys.argv[1], 9), (sys.argv[2], None)):
    lines = open(path, 'rb').read().decode('utf-8').split('\n')
    assert lines.pop() == '', path + ' ends with a part line'
    with open(path, newline='', encoding='utf-8') as f:
        rows = list(csv.reader(f))
    assert len(rows) == len(lines), (path, len(rows), len(lines))
    for row, line in zip(rows, lines):
        assert row == line.split(','), (row, line)
        assert fields is None or len(row) == fields, row
        assert not any(armed(cell) for cell in row), row
    print('checked', len(lines))
)");
    const std::string command = "python3 " + root.file("/check.py") + " " + root.file("/userdata/cdr.csv") + " " +
                                root.file("/userdata/system.csv") + " 2>&1";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
            out.append(buffer, n);
        EXPECT_EQ(pclose(p), 0) << out;
    }
    EXPECT_EQ(out, "checked 3\nchecked " + std::to_string(oplog().size()) + "\n");
}

TEST_F(CallControl, RelayRequestsFollowTheCallSettings)
{
    const std::string on = R"({"id":"gpio135","type":"On"})";
    const std::string off = R"({"id":"gpio135","type":"Off"})";
    auto relay = [&](const std::string& rest) {
        root.write_settings("[relay_ctrl]\ntype = On\n" + rest);
    };
    start_orvanel();
    publish(R"({"type":"REGISTER_OK","class":"init register"})");  // ready: status idle

    // Both directions, switched off again after the delay.
    relay("call_state = yes\nstate_info = both\ncall_reset_mode = delay\ncall_reset_duration = 1\n");
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2001@h"})");
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), on);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.pop_oldest("output-channel", 3s), off);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms) << "the delay switch-off came too early";

    // On when answered, off when the call closes.
    relay("call_state = yes\nstate_info = answered\ncall_reset_mode = hangup\n");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), on);
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by peer [104]"})");
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), off);

    // Reset mode "answered" switches off even with call triggers disabled.
    relay("call_state = no\ncall_reset_mode = answered\n");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), off);

    // A hang-up trigger switches on and always resets after the duration.
    relay("call_state = yes\nstate_info = hangup\ncall_reset_mode = answered\ncall_reset_duration = x\n");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by peer [104]"})");
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), on);
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), off);

    // A door code after a wrong digit in an answered call, with a switch-off
    // after the delay.
    relay("dtmf = yes\ndtmf_code = 1234\nmode = delay\ndtmf_reset_duration = 1\n");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    for (const char* digit : {"9", "1", "2", "3"})
        publish(std::string(R"({"type":"CALL_DTMF_START","param":")") + digit + "\"}");
    EXPECT_FALSE(client.pop_oldest("output-channel", 300ms));
    publish(R"({"type":"CALL_DTMF_START","param":"4"})");
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), on);
    EXPECT_EQ(client.pop_oldest("output-channel", 3s), off);

    // A hostile type cannot break out of its JSON string.
    const std::string hostile = R"(On\",\"id\":\"x)";
    relay("call_state = yes\nstate_info = incoming\ntype = " + hostile + "\n");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"x"})");  // back to idle
    EXPECT_EQ(client.pop_oldest("output-channel", 2s), off);
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2001@h"})");
    const auto request = client.pop_oldest("output-channel", 2s);
    ASSERT_TRUE(request);
    json_ptr parsed(cJSON_Parse(request->c_str()));
    ASSERT_TRUE(parsed) << *request;
    EXPECT_EQ(json_string_member(parsed.get(), "id"), "gpio135");
    EXPECT_EQ(json_string_member(parsed.get(), "type"), hostile);
}

TEST_F(CallControl, StartUpTakesTheStatusKeptInRedis)
{
    root.write_settings(account_1_settings +
                        "[account_info_2]\nenable = yes\nusername = 2000\ndomain =\nserver = 10.0.0.9\n");
    client.command("SET %s %s", "baresip-call-status-1000-example.test", R"({"status":"ring"})");
    client.command("SET %s %s", "baresip-call-status-2000-10.0.0.9", R"({"status":"idle"})");
    start_orvanel();
    const std::string out = orvanel->output();
    EXPECT_NE(out.find(R"(SIP acc: baresip-call-status-1000-example.test, status: {"status":"ring"})"),
              std::string::npos);
    EXPECT_NE(out.find(R"(SIP acc: baresip-call-status-2000-10.0.0.9, status: {"status":"idle"})"), std::string::npos);
    publish(R"({"type":"CALL_DTMF_START","param":"1"})");
    EXPECT_TRUE(orvanel->wait_output("Baresip Status is: 2\n"));
}

TEST_F(CallControl, EventsAreStillHandledAfterARedisRestart)
{
    start_orvanel();
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    publish(R"({"type":"CALL_DTMF_START","param":"1"})");
    ASSERT_EQ(wait_oplog(2).size(), 2u);

    redis.stop();
    redis.start();
    // Pub/sub keeps nothing for an absent subscriber: the station must be
    // back on the channel at once, or it misses the user agent's events.
    const auto back = std::chrono::steady_clock::now();
    redis_client fresh(root.socket());
    ASSERT_TRUE(wait_until([&] { return fresh.subscribers("session-channel") == 1; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - back, 500ms);
    fresh.command("PUBLISH session-channel %s", R"({"type":"CALL_DTMF_START","param":"2"})");
    EXPECT_EQ(wait_oplog(3), (std::vector<std::string>{"SIP STATE,CALL ESTABLISHED,incoming",
                                                       "FUNCTION,RECEIVE DTMF,1", "FUNCTION,RECEIVE DTMF,2"}));
    EXPECT_TRUE(orvanel->running());
}

TEST_F(CallControl, MalformedEventsChangeNothing)
{
    start_orvanel();
    for (const char* bad : {"not json", "[1,2]", "{}", R"({"type":5})", R"({"type":"CALL_CLOSED","direction":[]})",
                            R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":null,"accountaor":7})",
                            R"({"type":"REGISTER_OK","accountaor":{"a":1}})", R"({"event":false,"data":5})"})
        publish(bad);
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    const auto entries = wait_oplog(2);
    EXPECT_EQ(entries, (std::vector<std::string>{"SIP STATE,INCOMING CALL,", "SIP STATE,CALL ESTABLISHED,incoming"}));
    const std::string out = orvanel->output();
    // Another thread's start-up line may come between the two.
    const std::size_t msg = out.find("Msg [not json]\n");
    ASSERT_NE(msg, std::string::npos) << out;
    EXPECT_NE(out.find("parse failed!\n", msg), std::string::npos) << out;
    EXPECT_TRUE(orvanel->running());
}

// Every record is one line: a line end inside SIP data or inside another
// program's entry cannot add a line that reads as a record of its own.
TEST_F(CallControl, LineEndsInEventsAndEntriesCannotForgeRecords)
{
    start_orvanel();
    const std::string forged = R"(\n2030-01-01 00:00:00,FUNCTION,RELAY Control,On)";
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2002@h)" + forged +
            R"(","accountaor":"sip:1000@example.test\r\n2030-01-01,00:00:00,00:00:09,B,1,9,in,ANSWERED,x"})");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"gone)" + forged + "\"}");
    ASSERT_EQ(wait_oplog(2).size(), 2u);
    client.command("LPUSH writelog-channel %s", "BUTTON,from\r\nelsewhere\t,");

    const auto entries = wait_oplog(3);
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "SIP STATE,INCOMING CALL,sip:2002@h 2030-01-01 00:00:00,FUNCTION,RELAY Control,On",
                           "SIP STATE,CALL CLOSED,gone 2030-01-01 00:00:00,FUNCTION,RELAY Control,On",
                           "BUTTON,from  elsewhere ,",
                       }));
    // The file is made before its line is written: wait for the whole line.
    ASSERT_TRUE(wait_until([&] { return root.read("/userdata/cdr.csv").find('\n') != std::string::npos; }));
    const auto records = split(root.read("/userdata/cdr.csv"), '\n');
    ASSERT_EQ(records.size(), 1u) << root.read("/userdata/cdr.csv");
    EXPECT_NE(records[0].find(",sip:1000@example.test  2030-01-,2002,"), std::string::npos) << records[0];
}

// A call answered but never finished (a second incoming call arrived during
// it) must not give the next record its talk time.
TEST_F(CallControl, RecordsStartEmptyAfterAnUnfinishedCall)
{
    start_orvanel();
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2002@h"})");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:2003@h"})");
    ASSERT_EQ(wait_oplog(3).size(), 3u);
    std::this_thread::sleep_for(1100ms);  // long enough for an inherited talk time to show
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by user"})");
    // The file is made before its line is written: wait for the whole line.
    ASSERT_TRUE(wait_until([&] { return root.read("/userdata/cdr.csv").find('\n') != std::string::npos; }));
    const auto fields = split(split(root.read("/userdata/cdr.csv"), '\n').at(0), ',');
    ASSERT_EQ(fields.size(), 9u);
    EXPECT_EQ(fields[4], "2003");
    EXPECT_EQ(fields[5], "0") << "no talk time for a call nobody answered";
    EXPECT_EQ(fields[7], "MISSED CALL");
}
