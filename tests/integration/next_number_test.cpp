// Next-number chains, driven as the SIP user agent would drive them: the
// test hands events to the dispatcher, the real timer expires, and the
// next-hop messages are handed to the dialer one by one.
#include "orvanel/call/next_intercom.h"
#include "orvanel/core/dial.h"
#include "orvanel/core/next_hop_messages.h"
#include "orvanel/core/publish.h"
#include "tests/integration/in_process.h"

namespace {

const std::string key1_chain = "[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\n";

}  // namespace

class NextNumbers : public InProcessStation {
protected:
    void SetUp() override
    {
        InProcessStation::SetUp();
        account_flag(1) = 1;
        enter_idle();
    }

    // The key has dialled its first number (as a press would do).
    void key_dialled(int key)
    {
        claim_call(key);
        request_dial();
    }

    void outgoing(const std::string& number)
    {
        event(R"({"type":"CALL_OUTGOING","direction":"outgoing","peeruri":"sip:)" + number +
              R"(@example.test","accountaor":"sip:1000@example.test"})");
    }
    void closed(const std::string& reason)
    {
        event(R"({"type":"CALL_CLOSED","direction":"outgoing","param":")" + reason + "\"}");
    }

    // Takes the next message off the queue and lets the dialer act on it.
    int next_hop(int timeout_ms = 3000)
    {
        int type = 0;
        if (queue_pop(next_hop_queue.get(), timeout_ms, &type) != 0)
            return -1;
        on_next_hop_message(type, position);
        return type;
    }

    std::optional<std::string> command(std::chrono::milliseconds timeout = 4s)
    {
        return client.pop_oldest("control-channel", timeout);
    }

    int position = 0;
};

TEST_F(NextNumbers, UnansweredChainDialsUntilAnEmptyNumber)
{
    root.write_settings(key1_chain +
                        "[button-gpio140]\nno_reply = yes\nnext_time = 1\nnext_number_2 = 1002\nnumber_2_line = 2\n"
                        "next_number_3 = 1003\nnumber_3_line = 1\nnext_number_4 =\nnext_number_5 = 1005\n");
    key_dialled(1);
    for (const std::string number : {"1001", "1002", "1003"}) {
        outgoing(number);
        EXPECT_EQ(baresip_status, STATUS_OUTGOING_RINGING);
        EXPECT_EQ(led_state_gpio140, LED_RINGING);
        EXPECT_EQ(command(), std::string(hangupall_command)) << "nobody answered " << number;
        closed("Connection reset by user");
        EXPECT_EQ(led_state_gpio140, LED_CALL_FAILED);
        EXPECT_EQ(active_key, 1) << "the chain keeps its key";
        ASSERT_EQ(next_hop(), HOP_NO_REPLY_HUNG_UP);
        if (number == "1001") {
            EXPECT_EQ(command(1s), std::string(R"({"cmd":"dial","data":"1002 0"})"));
        } else if (number == "1002") {
            EXPECT_EQ(command(1s), std::string(R"({"cmd":"dial","data":"1003 0"})"));
        }
    }
    EXPECT_EQ(position, 0) << "number 4 is empty: the chain ends";
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    EXPECT_EQ(active_key, 0) << "nothing follows: the key lets go of the call";
    EXPECT_FALSE(command(300ms)) << "number 5 is never dialled after an empty number 4";

    const auto entries = oplog_entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "FUNCTION,KEY1 Call,1002 <Primary SIP Account>"), entries.end());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "FUNCTION,KEY1 Call,1003 <Auto>"), entries.end());
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const std::string& e) { return e.rfind("SIP STATE,CALL CLOSED", 0) == 0; }),
              0)
        << "the station's own hang-ups write no close entry";
    // Each unanswered number has its call record all the same.
    const auto records = call_records();
    ASSERT_EQ(records.size(), 3u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto fields = split(records[i], ',');
        ASSERT_EQ(fields.size(), 9u) << records[i];
        EXPECT_EQ(fields[4], "100" + std::to_string(i + 1));
        EXPECT_EQ(fields[6] + " " + fields[7] + " " + fields[8], "out NO ANSWER Connection reset by user");
    }
}

TEST_F(NextNumbers, BusyNumberArmsTheRetryAndDialsTheNext)
{
    root.write_settings(key1_chain +
                        "[button-gpio140]\nno_reply = no\nbusy_or_unuse = yes\nnext_time = 1\n"
                        "next_number_2 = 1002\nnumber_2_line = 2\n");
    key_dialled(1);
    outgoing("1001");
    closed("486 Busy Here");
    EXPECT_EQ(next_hop_timer_armed, 1);
    EXPECT_EQ(abnormal_hangup, 1);
    EXPECT_EQ(led_state_gpio140, LED_CALL_FAILED);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(next_hop(), HOP_RETRY_DUE) << "the retry time is over";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(command(), std::string(R"({"cmd":"dial","data":"1002 0"})"));
    EXPECT_EQ(position, 1);
    const auto entries = oplog_entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "SIP STATE,CALL CLOSED,486 Busy Here"), entries.end());
}

TEST_F(NextNumbers, BusyWithoutASecondNumberArmsNothing)
{
    root.write_settings(key1_chain + "[button-gpio140]\nbusy_or_unuse = yes\nnext_time = 1\nnext_number_2 =\n");
    key_dialled(1);
    outgoing("1001");
    closed("480 Temporarily Unavailable");
    EXPECT_EQ(next_hop_timer_armed, 0);
    EXPECT_EQ(active_key, 0) << "nothing follows: the other key may call";
    EXPECT_EQ(next_hop(1500), -1);
}

TEST_F(NextNumbers, RetryThatCannotStartOrFollowsAKeyHangUpArmsNothing)
{
    // A retry time of 0 starts no alarm, so nothing would ever follow.
    root.write_settings(key1_chain + "[button-gpio140]\nbusy_or_unuse = yes\nnext_time = 0\nnext_number_2 = 1002\n");
    key_dialled(1);
    outgoing("1001");
    closed("486 Busy Here");
    EXPECT_EQ(next_hop_timer_armed, 0);
    EXPECT_EQ(active_key, 0);

    // The visitor hung up with the key and the user agent gave another reason.
    root.write_settings(key1_chain + "[button-gpio140]\nbusy_or_unuse = yes\nnext_time = 1\nnext_number_2 = 1002\n");
    key_dialled(1);
    outgoing("1001");
    manual_hangup = 1;
    closed("487 Request Terminated");
    EXPECT_EQ(manual_hangup, 0);
    EXPECT_EQ(next_hop_timer_armed, 0);
    EXPECT_EQ(active_key, 0);
    EXPECT_EQ(next_hop(1500), -1) << "no next number after a key hang-up";
}

TEST_F(NextNumbers, EveryCloseClearsTheKeyHangUpFlag)
{
    for (const char* reason : {"Connection reset by peer [104]", "486 Busy Here"}) {
        key_dialled(1);
        outgoing("1001");
        manual_hangup = 1;
        closed(reason);
        EXPECT_EQ(manual_hangup, 0) << reason;
    }
    manual_hangup = 1;
    event(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by user"})");
    EXPECT_EQ(manual_hangup, 0) << "incoming close";
}

TEST_F(NextNumbers, RetryExpiryLeavesACallInProgressAlone)
{
    using enter = void (*)();
    const std::pair<enter, int> calls[] = {{establish_call, STATUS_IN_CALL},
                                           {[] { enter_incoming_ringing(); }, STATUS_INCOMING_RINGING}};
    for (const auto& [enter_call, status] : calls) {
        enter_idle();
        enter_call();
        abnormal_hangup = 1;
        next_hop_timer_armed = 1;
        on_no_reply_alarm(SIGALRM);
        EXPECT_EQ(baresip_status, status);
        EXPECT_EQ(next_hop_timer_armed, 0) << "a retry that fired is no longer pending";
        EXPECT_EQ(next_hop(200), -1) << "no next number while a call is in progress";
    }
    enter_idle();
    on_no_reply_alarm(SIGALRM);
    EXPECT_EQ(next_hop(), HOP_RETRY_DUE) << "idle: the retry is due";
}

TEST_F(NextNumbers, KeyHangUpResetsTheChain)
{
    root.write_settings(key1_chain +
                        "[button-gpio140]\nno_reply = yes\nnext_time = 1\nnext_number_2 = 1002\nnumber_2_line = 2\n"
                        "next_number_3 = 1003\nnumber_3_line = 2\n");
    key_dialled(1);
    outgoing("1001");
    EXPECT_EQ(command(), std::string(hangupall_command));
    closed("Connection reset by user");
    ASSERT_EQ(next_hop(), HOP_NO_REPLY_HUNG_UP);
    EXPECT_EQ(command(1s), std::string(R"({"cmd":"dial","data":"1002 0"})"));
    ASSERT_EQ(position, 1);

    // The visitor hangs up with the key during the second call.
    outgoing("1002");
    manual_hangup = 1;
    closed("Connection reset by user");
    EXPECT_EQ(active_key, 0);
    EXPECT_EQ(manual_hangup, 0);
    EXPECT_EQ(led_state_gpio140, LED_READY);
    ASSERT_EQ(next_hop(), HOP_KEY_HUNG_UP);
    EXPECT_EQ(position, 0);

    // The next chain starts again at number 2.
    key_dialled(1);
    outgoing("1001");
    EXPECT_EQ(command(), std::string(hangupall_command));
    closed("Connection reset by user");
    ASSERT_EQ(next_hop(), HOP_NO_REPLY_HUNG_UP);
    EXPECT_EQ(command(1s), std::string(R"({"cmd":"dial","data":"1002 0"})"));
}

TEST_F(NextNumbers, AnswerStopsTheTimerAndPeerHangUpFreesTheKey)
{
    root.write_settings(key1_chain + "[button-gpio140]\nno_reply = yes\nnext_time = 1\n");
    key_dialled(2);
    root.write_settings(key1_chain + "[button-gpio67]\nno_reply = yes\nnext_time = 1\n");
    outgoing("2001");
    event(R"({"type":"CALL_ESTABLISHED","direction":"outgoing"})");
    EXPECT_EQ(baresip_status, STATUS_IN_CALL);
    EXPECT_EQ(led_state_gpio67, LED_READY);
    EXPECT_FALSE(command(1500ms)) << "an answered call is not hung up";
    closed("Connection reset by peer [104]");
    EXPECT_EQ(active_key, 0);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
}

TEST_F(NextNumbers, MessagesAfterAKeyHangUpOrTheLastNumberDialNothing)
{
    root.write_settings(key1_chain + "[button-gpio140]\nnext_number_2 = 1002\nnumber_2_line = 2\n");
    claim_call(1);
    // A due number is taken as a retry: after a key hang-up both forget the chain.
    for (const next_hop_message type : {HOP_RETRY_DUE, HOP_NEXT_NUMBER_DUE}) {
        manual_hangup = 1;
        position = 2;
        queue_push(next_hop_queue.get(), 0, type);
        ASSERT_EQ(next_hop(), type);
        EXPECT_EQ(position, 0) << type;
        EXPECT_EQ(manual_hangup, 0) << type;
    }

    position = 4;
    claim_call(1);
    queue_push(next_hop_queue.get(), 0, HOP_NO_REPLY_HUNG_UP);
    ASSERT_EQ(next_hop(), HOP_NO_REPLY_HUNG_UP);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(active_key, 0) << "numbers used up";
    EXPECT_FALSE(command(200ms));
}

TEST_F(NextNumbers, UnusableLineStopsTheChainWhereItIs)
{
    root.write_settings(key1_chain + "[button-gpio140]\nnext_number_3 = 1003\nnumber_3_line = 3\n");
    claim_call(1);
    position = 1;
    queue_push(next_hop_queue.get(), 0, HOP_NO_REPLY_HUNG_UP);
    ASSERT_EQ(next_hop(), HOP_NO_REPLY_HUNG_UP);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(active_key, 0) << "no call, so nothing follows: the key lets go";
    EXPECT_FALSE(command(200ms)) << "account 2 is not registered";
}

TEST_F(NextNumbers, ZeroNextTimeStartsNoTimer)
{
    root.write_settings(key1_chain + "[button-gpio140]\nno_reply = yes\nnext_time = 0\n");
    key_dialled(1);
    outgoing("1001");
    EXPECT_FALSE(command(1500ms));
}

TEST_F(NextNumbers, TamperCallsEndWithoutRecordsOrChains)
{
    claim_call(tamper_key);
    enter_idle();
    outgoing("1009");
    closed("486 Busy Here");
    EXPECT_EQ(active_key, 0);
    EXPECT_EQ(baresip_status, STATUS_IDLE);
    EXPECT_EQ(oplog_entries(), std::vector<std::string>{"SIP STATE,OUTGOING CALL,sip:1009@example.test"});
    EXPECT_TRUE(call_records().empty());
}
