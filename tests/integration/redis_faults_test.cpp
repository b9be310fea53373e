// orvanel when Redis misbehaves: lists that hold another type than a list,
// which make every blocking pop fail at once.
#include "tests/integration/running_station.h"

using RedisFaults = RunningStation;

TEST_F(RedisFaults, ListsOfAnotherTypeArePolledGentlyAndReportedOnce)
{
    client.command("SET %s %s", "device-state", "not a list");
    client.command("SET %s %s", "writelog-channel", "not a list");
    start_orvanel({});
    const auto log = [&] { return root.message_log(); };
    ASSERT_TRUE(wait_until([&] { return occurrences(log(), "BRPOP writelog-channel answered") == 1; }));
    const double before = cpu_seconds(orvanel->pid());
    std::this_thread::sleep_for(2s);  // the interval over which the cost is measured
    EXPECT_LT(cpu_seconds(orvanel->pid()) - before, 0.3) << "a pop that fails at once must not be asked again at once";
    EXPECT_EQ(occurrences(log(), "BRPOP device-state answered \"WRONGTYPE"), 1u);
    EXPECT_EQ(occurrences(log(), "BRPOP writelog-channel answered \"WRONGTYPE"), 1u);

    // Once the key is a list again, entries flow; a new run is reported anew.
    client.command("DEL %s", "writelog-channel");
    client.command("LPUSH writelog-channel %s", "BUTTON,after,");
    ASSERT_EQ(wait_oplog(1), std::vector<std::string>{"BUTTON,after,"});
    client.command("SET %s %s", "writelog-channel", "not a list");
    EXPECT_TRUE(wait_until([&] { return occurrences(log(), "BRPOP writelog-channel answered") == 2; }));
    client.command("DEL %s", "device-state");
    client.command("LPUSH device-state %s", R"({"type":"key1","action":"TestOn"})");
    EXPECT_TRUE(wait_until([&] { return occurrences(log(), R"(Msg [{"type":"key1","action":"TestOn"}])") == 1; }));
}

// It holds the station to deadlines, so it runs one at a time (the "Timed"
// suite prefix gives it the ctest label "timed").
using TimedStalledRedis = RunningStation;

// A server that stops answering without closing its socket (stopped,
// swapping, wedged) costs each command its time-out; the station goes on
// and, once the server answers again, works as before without a restart.
TEST_F(TimedStalledRedis, StationKeepsWorkingAndRecovers)
{
    root.write_settings(account_1_settings + "[system]\nmodel = ZR-K11\n" +
                        "[button-gpio140]\nkey_mode = 1\nnext_number_1 = 1001\nnumber_1_line = 2\n"
                        "[button-gpio67]\nkey_mode = 1\nnext_number_1 = 2001\nnumber_1_line = 1\n");
    start_orvanel();
    publish(register_account_1);
    ASSERT_TRUE(wait_until([&] { return oplog().size() == 1; }));
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:3001@example.test"})");
    ASSERT_TRUE(orvanel->wait_output("Baresip Status is: 2"));

    redis.pause();
    const auto stopped = std::chrono::steady_clock::now();
    const auto log = [&] { return root.message_log(); };

    const auto blinking = sample_gpio(root, 65, 2500ms);
    EXPECT_GE(falls(blinking) + rises(blinking), 2) << "the LED threads keep running";

    // Key 2 answers: its press and release pushes wait out their time-outs,
    // and the key's decision is still taken and logged.
    root.set_gpio(67, 0);
    std::this_thread::sleep_for(200ms);  // a visitor's short press
    root.set_gpio(67, 1);
    EXPECT_TRUE(wait_until([&] { return log().find("BARESIP_STATUS:2") != std::string::npos; }, 7s))
        << "a key press is seen while the server does not answer";
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 10s);
    EXPECT_TRUE(orvanel->running());

    std::this_thread::sleep_until(stopped + 10s);  // the length of the stall under test
    redis.resume();

    // The answer went to the server with its check, in one write: the
    // server that wakes carries it out, late, though the station had to
    // give up waiting for its reply.
    EXPECT_TRUE(wait_until([&] { return client.list("control-channel") == std::vector<std::string>{R"({"cmd":"accept","data":""})"}; }));

    // Everything works again: events are taken, the operation log is
    // written, and a key press dials.
    client.command("DEL %s", "control-channel");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by peer [104]"})");
    ASSERT_TRUE(orvanel->wait_output("Msg [{\"type\":\"CALL_CLOSED\"", 10s));
    tap(140);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1001 0"})"));
}
