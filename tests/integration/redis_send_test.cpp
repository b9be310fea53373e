// The rule every program's one-shot commands follow (common/redis_link.h,
// redis_send): a send that failed goes once more on a new connection, one
// that timed out does not. Against a real redis-server that restarts, goes
// away and stalls.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/process.h"
#include "common/redis_link.h"
#include "station_kit/station.h"

namespace {

// How many connections the server has taken since it started.
long long connections_taken(redis_client& client)
{
    reply_ptr info = client.command("INFO %s", "stats");
    const std::string text = info && info->type == REDIS_REPLY_STRING ? std::string(info->str, info->len) : "";
    const std::string name = "\r\ntotal_connections_received:";
    const std::size_t at = text.find(name);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size());
}

class RedisSend : public ::testing::Test {
protected:
    void SetUp() override { survive_broken_pipes(); }

    redis_sent push(const std::string& value)
    {
        return redis_send(connection, root.socket(), timeout, [&](redisContext* c) {
            return redis_command(c, "LPUSH %s %s", "writelog-channel", value.c_str());
        });
    }

    const std::chrono::milliseconds timeout = 1s;
    kit_root root;
    redis_server redis{root};
    redis_ptr connection;
};

}  // namespace

TEST_F(RedisSend, AFailedSendGoesOnceMoreOnANewConnection)
{
    ASSERT_TRUE(push("before").reply);

    // The connection still looks usable, but the server behind it is new.
    redis.stop();
    redis.start();
    redis_client client(root.socket());
    const redis_sent sent = push("after");
    ASSERT_TRUE(sent.reply) << "the first command after a restart is not lost";
    EXPECT_TRUE(sent.reconnected) << "the caller learns that the server may have lost its keys";
    EXPECT_EQ(client.list("writelog-channel"), std::vector<std::string>{"after"}) << "and it ran once";

    // A server that is away costs one attempt to connect, and the next use
    // connects again.
    redis.stop();
    const redis_sent away = push("lost");
    EXPECT_FALSE(away.reply);
    EXPECT_TRUE(away.unreachable);
    EXPECT_FALSE(away.timed_out);
    redis.start();
    redis_client again(root.socket());
    EXPECT_TRUE(push("back").reply);
    EXPECT_EQ(again.list("writelog-channel"), std::vector<std::string>{"back"});
}

TEST_F(RedisSend, ATimedOutSendIsNotSentAgain)
{
    ASSERT_TRUE(push("first").reply);
    redis_client client(root.socket());
    const long long taken = connections_taken(client);
    ASSERT_GE(taken, 0);

    redis.pause();
    const redis_sent sent = push("stalled");
    redis.resume();
    EXPECT_FALSE(sent.reply);
    EXPECT_TRUE(sent.timed_out);
    EXPECT_FALSE(connection) << "the failed connection is dropped and made anew at the next use";

    // The server that wakes carries out the copy it has, and no second
    // connection brought it another.
    ASSERT_TRUE(wait_until([&] { return client.list("writelog-channel").size() >= 2; }));
    EXPECT_EQ(connections_taken(client), taken);
    EXPECT_EQ(client.list("writelog-channel"), (std::vector<std::string>{"stalled", "first"}));

    const redis_sent after = push("after");
    EXPECT_TRUE(after.reply);
    EXPECT_TRUE(after.reconnected);
}
