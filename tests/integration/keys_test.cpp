// The keys as a visitor and an installer use them: presses on the GPIO value
// files in, commands, operation-log entries, tool calls and LED levels out.
#include <filesystem>

#include <fcntl.h>

#include "tests/integration/running_station.h"

namespace {

const std::string call_keys = account_1_settings + "[system]\nmodel = ZR-K11\n" +
                              "[button-gpio140]\nkey_mode = 1\nnext_number_1 = 1001\nnumber_1_line = 2\nhang_up = yes\n"
                              "[button-gpio67]\nkey_mode = 1\nnext_number_1 = 2001\nnumber_1_line = 1\nhang_up = yes\n";


}  // namespace

class Keys : public RunningStation {
protected:
    void ready_station(const std::string& settings)
    {
        root.write_settings(settings);
        start_orvanel();
        publish(register_account_1);
        ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,SIP REGISTERED,Primary SIP Account <" +
                                                          account_1_aor + ">") == 1; }));
    }
    void outgoing_event(const std::string& number)
    {
        publish(R"({"type":"CALL_OUTGOING","direction":"outgoing","peeruri":"sip:)" + number +
                R"(@example.test","accountaor":"sip:1000@example.test"})");
    }
};

// Tests that time blinks and holds, or hold the station to a deadline, carry
// the "Timed" suite prefix: ctest runs them one at a time (label "timed").
using TimedKeys = Keys;

TEST_F(Keys, ShortPressDialsTheFirstNumber)
{
    ready_station(call_keys);
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    EXPECT_EQ(wait_oplog(4), (std::vector<std::string>{
                                 "SIP STATE,SIP REGISTERED,Primary SIP Account <sip:1000@example.test>",
                                 "BUTTON,KEY_GPIO140 Press,",
                                 "BUTTON,KEY_GPIO140 Release,",
                                 "FUNCTION,KEY1 Call,key_gpio140 1001 <Primary SIP Account>",
                             }));
}

TEST_F(Keys, OneKeyOwnsTheCallAndHangsUpOnlyWhenConfigured)
{
    ready_station(call_keys);
    tap(140);
    ASSERT_TRUE(command());
    outgoing_event("1001");

    tap(67);  // key 1 owns the call
    EXPECT_FALSE(command(500ms));

    root.write_settings(call_keys + "[button-gpio140]\nhang_up = no\n");
    tap(140);
    EXPECT_FALSE(command(500ms)) << "hang_up is no";

    root.write_settings(call_keys);
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"hangup","data":""})"));
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,KEY1 Hangup,") == 1; }));
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"Connection reset by user"})");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by user") == 1; }));

    tap(67);  // the call is over: key 2 may dial now
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"2001 0"})"));
}

TEST_F(TimedKeys, AnswerWithOneKeyCalmsTheOthersBlink)
{
    ready_station(call_keys);
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:3001@example.test"})");
    const auto blinking = sample_gpio(root, 65, 2500ms);
    EXPECT_GE(falls(blinking) + rises(blinking), 2) << "key 2 blinks while the call rings";

    tap(67);
    EXPECT_EQ(command(), std::string(R"({"cmd":"accept","data":""})"));
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    // After the blink cycle in progress both keys show ready: blue steady,
    // for longer than a blink would keep it on.
    const auto ready = [&] { return root.gpio(131) == 1 && root.gpio(130) == 0 && root.gpio(65) == 1; };
    EXPECT_TRUE(wait_until([&] { return holds(ready, 1500ms); }, 8s));
    EXPECT_EQ(count_entries("FUNCTION,KEY Answer,"), 1u);
}

TEST_F(TimedKeys, HttpModeFetchesTheUrlAndBlinksThreeTimes)
{
    ready_station(call_keys + "[button-gpio140]\nkey_mode = 2\napi_url = http://10.0.0.2/open?door=1\n");
    ASSERT_TRUE(wait_until([&] { return root.gpio(131) == 1; }));
    tap(140);
    const auto blue = sample_gpio(root, 131, 4500ms);
    EXPECT_EQ(falls(blue), 3);
    EXPECT_EQ(blue.back(), 1) << "ready again after the blinks";
    ASSERT_TRUE(wait_until([&] { return !root.tool_calls().empty(); }));
    const tool_call curl = root.tool_calls()[0];
    EXPECT_EQ(curl.name, "curl");
    EXPECT_EQ(curl.args, (std::vector<std::string>{"-k", "--connect-timeout", "5", "http://10.0.0.2/open?door=1"}));
    EXPECT_EQ(count_entries("Other Event,HTTP API URL:,http://10.0.0.2/open?door=1"), 1u);
    EXPECT_FALSE(command(100ms));
}

TEST_F(Keys, UrlWithQuotesAndCommandsReachesCurlWhole)
{
    const std::string url = "http://x/?a=1'; touch " + root.path() + "/pwned; echo '";
    ready_station(call_keys + "[button-gpio140]\nkey_mode = 2\napi_url = \"" + url + "\"\n");
    tap(140);
    ASSERT_TRUE(wait_until([&] { return !root.tool_calls().empty(); }));
    EXPECT_EQ(root.tool_calls()[0].args.back(), url);
    EXPECT_FALSE(root.exists("/pwned"));
}

TEST_F(Keys, OtherModesAreNotActive)
{
    ready_station(call_keys + "[button-gpio140]\nkey_mode = 0\n[button-gpio67]\nkey_mode = 7\n");
    tap(140);
    tap(67);
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO67 not active,") == 1; }));
    EXPECT_EQ(count_entries("BUTTON,KEY_GPIO140 not active,"), 1u);
    EXPECT_FALSE(command(200ms));
}

TEST_F(TimedKeys, LongPressSpeaksTheAddress)
{
    ready_station(call_keys + "[system]\nlanguage = en\n");
    press(140);
    std::this_thread::sleep_for(5200ms);  // the visitor holds the key
    release(140);
    ASSERT_TRUE(wait_until([&] { return root.tool_calls().size() >= 5; }, 5s));
    const auto calls = root.tool_calls();
    const std::string sounds = root.path() + "/home/kovrin/target/share/sounds/en";
    EXPECT_EQ(calls[0].name, "amixer");
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-q", "sset", "Master,0", "29"}));
    EXPECT_EQ(calls[1].name, "pa_mute.sh");
    EXPECT_EQ(calls[1].args, std::vector<std::string>{"0"});
    EXPECT_EQ(calls[2].name, "ifconfig");
    EXPECT_EQ(calls[3].name, "mpg123");
    EXPECT_EQ(calls[3].cwd, sounds);
    EXPECT_EQ(calls[3].joined_args(), "-r 48000 digit-1.mp3 digit-9.mp3 digit-2.mp3 dian.mp3 digit-1.mp3 "
                                      "digit-6.mp3 digit-8.mp3 dian.mp3 digit-1.mp3 dian.mp3 digit-2.mp3 digit-0.mp3");
    EXPECT_EQ(calls[4].name, "pa_mute.sh");
    EXPECT_EQ(calls[4].args, std::vector<std::string>{"1"});
    EXPECT_TRUE(wait_until([&] { return count_entries("Other Event,Play IP,") == 1; }));
    EXPECT_FALSE(command(100ms)) << "a long press neither dials nor hangs up";
}

TEST_F(TimedKeys, LongPressWithoutAnAddressPlaysTheFailurePrompt)
{
    root.write("/sim/ifconfig.txt", "eth0      Link encap:Ethernet  HWaddr 02:11:22:33:44:55\n");
    ready_station(call_keys);  // no language: Chinese
    press(140);
    std::this_thread::sleep_for(5100ms);
    release(140);
    ASSERT_TRUE(wait_until([&] { return root.tool_calls().size() >= 5; }, 5s));
    const auto calls = root.tool_calls();
    EXPECT_EQ(calls[3].name, "mpg123");
    EXPECT_EQ(calls[3].joined_args(), "-r 48000 " + root.path() + "/home/kovrin/target/share/sounds/cn/get_ip_failed.mp3");
    EXPECT_EQ(calls[4].joined_args(), "1");
    EXPECT_NE(orvanel->output().find("ip wrong\n"), std::string::npos);
}

TEST_F(Keys, TamperModes)
{
    ready_station(account_1_settings + "[unpack-intercom]\nactive = 0\n");
    close_tamper();  // the watcher starts out taking the switch as open
    root.set_gpio(3, 1);
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO3 not active,") == 1; }));
    root.set_gpio(3, 1);  // the level stayed unrecorded: the same reading acts again
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO3 not active,") == 2; }));
    EXPECT_EQ(count_entries("BUTTON,KEY_GPIO3 trigger,"), 2u);

    root.write_settings(account_1_settings +
                        "[unpack-intercom]\nactive = 3\naudio_file = /userdata/alarm.mp3\nplay_count = 2\n");
    root.set_gpio(3, 1);
    EXPECT_EQ(command(), std::string(R"({"cmd":"play","data":"/userdata/alarm.mp3:2"})"));
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,KEY1 Play Auido,File: /userdata/alarm.mp3; Repeat: 2") == 1; }));

    root.write_settings(account_1_settings + "[unpack-intercom]\nactive = 1\nnumber = 192.168.1.30\nnumber_line = 5\n");
    close_tamper();  // closing is only recorded
    root.set_gpio(3, 1);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"192.168.1.30"})"));
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,KEY3 Call,key_gpio3 192.168.1.30 <P2P ACCOUNT>") == 1; }));
    EXPECT_EQ(count_entries("BUTTON,KEY_GPIO3 trigger,"), 4u);
}

TEST_F(TimedKeys, SelfTestRound)
{
    ready_station(call_keys + "[button-gpio140]\nkey_mode = 0\n[unpack-intercom]\nactive = 0\n");
    client.command("LPUSH device-state %s", R"({"type":"key1","action":"TestOn"})");
    const auto blue = sample_gpio(root, 131, 1500ms);
    EXPECT_GE(falls(blue), 2) << "the LEDs alternate";

    press(140);
    EXPECT_EQ(client.pop_oldest("check-result-channel"), std::string(R"({"name": "key1", "result": "0"})"));
    release(140);
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO140 not active,") == 1; }))
        << "a key under test still acts";
    const int frozen_blue = root.gpio(131), frozen_other = root.gpio(130);
    EXPECT_TRUE(holds([&] { return root.gpio(131) == frozen_blue && root.gpio(130) == frozen_other; }, 1s));
    tap(140);
    EXPECT_EQ(client.pop_oldest("check-result-channel"), std::string(R"({"name": "key1", "result": "0"})"));
    tap(67);
    EXPECT_FALSE(client.pop_oldest("check-result-channel", 300ms)) << "key 2 is not under test";

    client.command("LPUSH device-state %s", R"({"type":"key2","action":"TestOff"})");
    client.command("LPUSH device-state %s", R"({"type":5,"action":"TestOn"})");
    client.command("LPUSH device-state %s", R"({"type":"atKey","action":"TestOn"})");
    ASSERT_TRUE(wait_until([&] { return orvanel->output().find(R"(Msg [{"type":"atKey")") != std::string::npos; }));
    close_tamper();
    root.set_gpio(3, 1);
    EXPECT_EQ(client.pop_oldest("check-result-channel"), std::string(R"({"name": "atKey", "result": "0"})"));
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO3 not active,") == 1; }));
    EXPECT_NE(root.message_log().find("key test command without"),
              std::string::npos);
}

TEST_F(TimedKeys, LedsFollowTheCallState)
{
    root.write_settings(call_keys + "[button-gpio140]\nbusy_or_unuse = no\n");
    start_orvanel();
    EXPECT_TRUE(wait_until([&] { return root.gpio(131) == 0 && root.gpio(130) == 1; })) << "0: no account";
    publish(register_account_1);
    EXPECT_TRUE(wait_until([&] { return root.gpio(131) == 1 && root.gpio(130) == 0; })) << "4: ready";

    tap(140);
    ASSERT_TRUE(command());
    outgoing_event("1001");
    const auto ringing = sample_gpio(root, 131, 2500ms);
    EXPECT_GE(rises(ringing) + falls(ringing), 2) << "6: slow blink";

    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"486 Busy Here"})");
    ASSERT_TRUE(wait_until([&] { return root.gpio(130) == 1; }, 4s)) << "2: the other LED blinks";
    const auto failed = sample_gpio(root, 130, 3000ms);
    EXPECT_GE(falls(failed), 1);
    EXPECT_EQ(root.gpio(131), 0);
}

TEST_F(Keys, BeepTellsTheAudioSideWhenIdle)
{
    root.write_volume_settings("[volume]\nkey_beep = yes\n");
    root.write_settings(call_keys + "[button-gpio140]\nkey_mode = 0\n");
    start_orvanel();
    channel_watch volume(root.socket(), "volume-event-channel");
    tap(140);
    EXPECT_EQ(volume.next(), std::string(R"({"name": "SIP", "action": "on"})"));
    EXPECT_EQ(volume.next(), std::string(R"({"name": "SIP", "action": "off"})"));
    ASSERT_FALSE(root.tool_calls().empty());
    EXPECT_EQ(root.tool_calls()[0].name, "mpg123");
    EXPECT_EQ(root.tool_calls()[0].args, std::vector<std::string>{root.path() + "/home/kovrin/target/share/sounds/beep.mp3"});
}

TEST_F(Keys, UnansweredChainFromAKeyPress)
{
    ready_station(call_keys + "[button-gpio140]\nno_reply = yes\nnext_time = 1\nnext_number_2 = 1002\nnumber_2_line = 2\n");
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    outgoing_event("1001");
    EXPECT_EQ(command(4s), std::string(R"({"cmd":"hangupall","data":""})"));
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"Connection reset by user"})");
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1002 0"})"));
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,KEY1 Call,1002 <Primary SIP Account>") == 1; }));
}

// A key that answered and hung up an incoming call must not make the next
// unanswered call of that key look like a key hang-up.
TEST_F(Keys, HangUpOfAnAnsweredCallLeavesTheNextChainAlone)
{
    ready_station(call_keys + "[button-gpio140]\nno_reply = yes\nnext_time = 1\nnext_number_2 = 1002\nnumber_2_line = 2\n");
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:3001@example.test"})");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,INCOMING CALL,sip:3001@example.test") == 1; }));
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"accept","data":""})"));
    publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,incoming") == 1; }));
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"hangup","data":""})"));
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by user"})");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by user") == 1; }));

    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    outgoing_event("1001");
    EXPECT_EQ(command(4s), std::string(R"({"cmd":"hangupall","data":""})")) << "nobody answers";
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"Connection reset by user"})");
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1002 0"})")) << "the chain goes on";
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,KEY1 Call,1002 <Primary SIP Account>") == 1; }));
    EXPECT_EQ(count_entries("SIP STATE,CALL CLOSED,Connection reset by user"), 1u)
        << "the station's own hang-up writes no close entry";
}

// When nothing follows a failed call, the other key may call again.
TEST_F(Keys, FailedCallWithoutARetryFreesTheOtherKey)
{
    ready_station(call_keys + "[button-gpio140]\nbusy_or_unuse = no\nnext_number_2 = 1002\n");
    tap(140);
    ASSERT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    outgoing_event("1001");
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"486 Busy Here"})");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,486 Busy Here") == 1; }));
    tap(67);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"2001 0"})"));
}

TEST_F(Keys, IncomingCallDropsAPendingBusyRetry)
{
    ready_station(call_keys +
                  "[button-gpio140]\nbusy_or_unuse = yes\nnext_time = 1\nnext_number_2 = 1002\nnumber_2_line = 2\n");
    tap(140);
    ASSERT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    outgoing_event("1001");
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"486 Busy Here"})");
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:3001@example.test"})");
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,INCOMING CALL,sip:3001@example.test") == 1; }));
    EXPECT_FALSE(command(2s)) << "no retry dials while the call rings";
    tap(67);
    EXPECT_EQ(command(), std::string(R"({"cmd":"accept","data":""})")) << "either key answers";
}

TEST_F(Keys, UserAgentListingLeavesAnEstablishedCallAlone)
{
    ready_station(call_keys + "[account_info_p2p]\nenable = yes\n");
    tap(140);
    ASSERT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    outgoing_event("1001");
    publish(R"({"type":"CALL_ESTABLISHED","direction":"outgoing"})");
    const std::string listing = R"({"event":false,"data":"\n--- User Agents (2) ---\n"})";
    publish(listing);
    ASSERT_TRUE(orvanel->wait_output("Msg [" + listing + "]\nBaresip Status is: "));
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"hangup","data":""})"));
}

TEST_F(Keys, TamperSwitchStartsFromTheLevelItReads)
{
    // A mounted station: the switch is closed (the line reads 0) at start,
    // so the first opening is a theft and is acted on.
    root.write_settings(account_1_settings + "[unpack-intercom]\nactive = 0\n");
    start_orvanel();
    root.set_gpio(3, 1);
    EXPECT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO3 not active,") == 1; }));

    // A switch that is already open at start acts after it closed and opened.
    root.set_gpio(3, 1);
    ASSERT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO3 not active,") == 2; }));
    start_orvanel();
    root.set_gpio(3, 1);
    close_tamper();
    EXPECT_EQ(count_entries("BUTTON,KEY_GPIO3 trigger,"), 2u);
    root.set_gpio(3, 1);
    EXPECT_TRUE(wait_until([&] { return count_entries("BUTTON,KEY_GPIO3 trigger,") == 3; }));
}

// The libfaketime preload steps the wall clock of orvanel alone while its
// monotonic clock runs on.
TEST_F(TimedKeys, HeldTimeIgnoresAClockStep)
{
    if (!program_emulator().empty())
        GTEST_SKIP() << "the preload would step the emulator's clock, not the program's";
    std::string preload;
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib"}) {
        const std::string lib = std::string(dir) + "/faketime/libfaketimeMT.so.1";
        if (access(lib.c_str(), R_OK) == 0) {
            preload = lib;
            break;
        }
    }
    if (preload.empty())
        GTEST_SKIP() << "libfaketime is not installed";
    const std::string offset = root.file("/tmp/clock-offset");
    root.write("/tmp/clock-offset", "+0\n");
    const char* asan = std::getenv("ASAN_OPTIONS");
    root.write_settings(call_keys);
    start_orvanel({"debug"}, {"LD_PRELOAD=" + preload, "FAKETIME_TIMESTAMP_FILE=" + offset, "FAKETIME_NO_CACHE=1",
                              "FAKETIME_DONT_FAKE_MONOTONIC=1",
                              std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    publish(register_account_1);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,SIP REGISTERED,Primary SIP Account <" +
                                                      account_1_aor + ">") == 1; }));
    press(140);
    root.write("/tmp/clock-offset", "+30\n");  // a time sync at boot steps the clock
    release(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})")) << "a short press stays a short press";
    EXPECT_EQ(count_entries("Other Event,Play IP,"), 0u);
}

// The key watchers, the operation log and the Redis connections stay open
// while other threads run shell commands; a shell that inherited one would
// keep a value file or a connection alive behind the station's back.
TEST_F(Keys, DescriptorsThatOrvanelHoldsAreClosedInTheShellsItStarts)
{
    ready_station(call_keys);
    tap(140);  // the operation log is open once an entry is written
    ASSERT_TRUE(wait_until([&] { return process_has_open(orvanel->pid(), root.file("/userdata/system.csv")); }));
    const std::string proc = "/proc/" + std::to_string(orvanel->pid());
    std::error_code error;
    size_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        const std::string fd = entry.path().filename();
        if (fd == "0" || fd == "1" || fd == "2")
            continue;
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored);
        // What the test runner left open reaches orvanel through its start.
        if (std::filesystem::read_symlink("/proc/self/fd/" + fd, ignored) == target)
            continue;
        // The settings parser, a library, opens the settings for a moment
        // without close-on-exec; the shells close every descriptor above the
        // standard three as they start.
        if (target == root.file("/etc/speaker.conf") || target == root.file("/oem/etc/volctrl.conf"))
            continue;
        const std::string info = read_text_file(proc + "/fdinfo/" + fd);
        const std::size_t at = info.find("flags:");
        if (at == std::string::npos)
            continue;  // closed meanwhile
        const unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
        EXPECT_NE(flags & O_CLOEXEC, 0u) << "descriptor " << fd << " -> " << target;
        ++checked;
    }
    EXPECT_GE(checked, 9u) << "three value files, the operation log and Redis connections at least";
}

// The platform unexports a line and exports it again: the watcher notices
// that its value file went away, says so once, and watches the new file
// within its 10 s retry.
TEST_F(Keys, KeyComesBackWhenItsValueFileIsMadeAnew)
{
    ready_station(call_keys);
    const std::string value = "/sys/class/gpio/gpio140/value";
    ASSERT_EQ(std::remove(root.file(value).c_str()), 0);
    ASSERT_TRUE(orvanel->wait_output(root.file(value) + " went away, retrying every 10 s"));
    root.write(value, "1\n");
    ASSERT_TRUE(orvanel->wait_output(root.file(value) + " is back, watching it again", 15s)) << orvanel->output();
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
    const std::string out = orvanel->output();
    EXPECT_EQ(out.find("went away"), out.rfind("went away")) << "one line per outage";
}
