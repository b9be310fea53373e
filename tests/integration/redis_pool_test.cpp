#include "orvanel/core/publish.h"
#include "tests/integration/in_process.h"

using RedisAccess = InProcessStation;

TEST_F(RedisAccess, CommandsReachTheirLists)
{
    publish_command(TARGET_CONTROL, hangup_command);
    publish_command(TARGET_OUTPUT, R"({"id":"gpio135","type":"On"})");
    publish_command(7, accept_command);  // any other target is the user agent's list
    play_sound("/userdata/alarm.mp3", 3);
    redis_run("LPUSH writelog-channel %s", "BUTTON,KEY_GPIO3 trigger,");

    EXPECT_EQ(client.pop_oldest("control-channel"), std::string(hangup_command));
    EXPECT_EQ(client.pop_oldest("control-channel"), std::string(accept_command));
    EXPECT_EQ(client.pop_oldest("control-channel"), std::string(R"({"cmd":"play","data":"/userdata/alarm.mp3:3"})"));
    EXPECT_EQ(client.pop_oldest("output-channel"), std::string(R"({"id":"gpio135","type":"On"})"));
    EXPECT_EQ(client.pop_oldest("writelog-channel"), std::string("BUTTON,KEY_GPIO3 trigger,"));
}

TEST_F(RedisAccess, ArgumentWithBlanksAndQuotesIsOneElement)
{
    redis_run("LPUSH writelog-channel %s", "SIP STATE,CALL CLOSED,486 Busy \"Here\" ; x");
    EXPECT_EQ(client.list("writelog-channel"), std::vector<std::string>{"SIP STATE,CALL CLOSED,486 Busy \"Here\" ; x"});
}

TEST_F(RedisAccess, DebugModePrintsTheTargetBeforePublishing)
{
    debug_mode = 1;
    testing::internal::CaptureStdout();
    publish_command(TARGET_OUTPUT, "x");
    publish_command(TARGET_CONTROL, "y");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "output-channel [x]\ncontrol-channel [y]\n");
}

TEST_F(RedisAccess, PoolSurvivesARedisRestart)
{
    publish_command(TARGET_CONTROL, "before");
    EXPECT_EQ(client.pop_oldest("control-channel"), std::string("before"));

    redis.stop();
    testing::internal::CaptureStdout();
    publish_command(TARGET_CONTROL, "lost");  // no server: dropped
    const std::string down = testing::internal::GetCapturedStdout();
    EXPECT_NE(down.find("No available connections in pool"), std::string::npos);

    redis.start();
    redis_client fresh(root.socket());
    // Every slot finds its PING failing, reconnects and runs its command.
    for (int i = 0; i < connection_pool::slot_count + 1; ++i)
        publish_command(TARGET_CONTROL, "after " + std::to_string(i));
    for (int i = 0; i < connection_pool::slot_count + 1; ++i)
        EXPECT_EQ(fresh.pop_oldest("control-channel"), "after " + std::to_string(i));
    EXPECT_EQ(fresh.list("control-channel"), std::vector<std::string>{});
}

// The server's count of reads from its clients, read with one INFO.
long long reads_processed(redis_client& client)
{
    reply_ptr info = client.command("INFO %s", "stats");
    const std::string text = info && info->type == REDIS_REPLY_STRING ? std::string(info->str, info->len) : "";
    const std::string name = "total_reads_processed:";
    const auto at = text.find(name);
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + name.size()));
}

TEST_F(RedisAccess, ACheckedCommandCostsOneRoundTrip)
{
    const long long before = reads_processed(client);
    ASSERT_GE(before, 0);
    const int commands = 20;
    for (int i = 0; i < commands; ++i)
        publish_command(TARGET_CONTROL, "dial " + std::to_string(i));
    const long long reads = reads_processed(client) - before;
    // One read per command with its check, and the second INFO.
    EXPECT_LE(reads, commands + 3) << "the check and the command go to the server together";
    EXPECT_EQ(client.list("control-channel").size(), std::size_t(commands));
}

TEST_F(RedisAccess, AllSlotsTakenDropsTheCommand)
{
    std::vector<std::unique_ptr<pooled_connection>> held;
    for (int i = 0; i < connection_pool::slot_count; ++i) {
        held.push_back(std::make_unique<pooled_connection>(redis_pool.get()));
        ASSERT_TRUE(*held.back());
    }
    testing::internal::CaptureStdout();
    publish_command(TARGET_CONTROL, "dropped");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No available connections in pool\n");
    held.pop_back();
    publish_command(TARGET_CONTROL, "sent");
    EXPECT_EQ(client.list("control-channel"), std::vector<std::string>{"sent"});
}

TEST_F(RedisAccess, OwnConnectionIsRepairedAfterARestart)
{
    redis_ptr own;
    ASSERT_TRUE(redis_repair(own, root.socket(), command_timeout));
    redisContext* first = own.get();
    ASSERT_TRUE(redis_repair(own, root.socket(), command_timeout));
    EXPECT_EQ(own.get(), first) << "a good connection stays in use";

    redis.stop();
    EXPECT_FALSE(redis_command(own.get(), "PING"));
    EXPECT_FALSE(redis_repair(own, root.socket(), command_timeout));
    redis.start();
    ASSERT_TRUE(redis_repair(own, root.socket(), command_timeout));
    reply_ptr pong = redis_command(own.get(), "PING");
    ASSERT_TRUE(pong);
    EXPECT_STREQ(pong->str, "PONG");
}

TEST_F(RedisAccess, StalledServerCostsACommandItsTimeOutAndNoMore)
{
    redis.pause();
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    redis_run("LPUSH writelog-channel %s", "BUTTON,stalled,");
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string out = testing::internal::GetCapturedStdout();
    redis.resume();
    EXPECT_GE(took, command_timeout - 100ms);
    EXPECT_LT(took, command_timeout + 1s) << "the check's time-out drops the command";
    EXPECT_EQ(out, "No available connections in pool\n");

    // The next command gets a new connection and goes through.
    redis_run("LPUSH writelog-channel %s", "BUTTON,after,");
    EXPECT_TRUE(wait_until([&] {
        const auto items = client.list("writelog-channel");
        return !items.empty() && items.front() == "BUTTON,after,";
    }));
}

TEST_F(RedisAccess, SubscriberNoticesAServerThatStopsAnswering)
{
    redis_ptr c = open_own_connection(1s);
    ASSERT_TRUE(c);
    ASSERT_TRUE(redis_command(c.get(), "SUBSCRIBE %s", "session-channel"));

    // An idle but healthy server answers the check, and the answer is no event.
    reply_ptr pong = next_subscribed_reply(c.get(), 200ms, 1s);
    ASSERT_TRUE(pong);
    EXPECT_EQ(published_text(pong.get()), std::nullopt);
    client.command("PUBLISH session-channel %s", "{}");
    reply_ptr message = next_subscribed_reply(c.get(), 200ms, 1s);
    ASSERT_TRUE(message);
    EXPECT_EQ(published_text(message.get()), "{}");

    redis.pause();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(next_subscribed_reply(c.get(), 200ms, 500ms)) << "no answer to the check: the connection is lost";
    const auto took = std::chrono::steady_clock::now() - start;
    redis.resume();
    EXPECT_LT(took, 2s);
}
