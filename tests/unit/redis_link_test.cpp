#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/process.h"
#include "common/redis_link.h"
#include "station_kit/station.h"

TEST(Reconnect, QuickAtFirstThenOnceASecond)
{
    using namespace std::chrono_literals;
    EXPECT_EQ(reconnect_pause(0s), 100ms) << "a restarted server is met at once";
    EXPECT_EQ(reconnect_pause(4900ms), 100ms);
    EXPECT_EQ(reconnect_pause(5s), 1000ms) << "a server that stays away is asked once a second";
    EXPECT_EQ(reconnect_pause(10min), 1000ms);
}

namespace {

// A reply as hiredis builds it, for the payload rules.
struct built_reply {
    std::vector<redisReply> items;
    std::vector<redisReply*> pointers;
    redisReply array{};

    explicit built_reply(std::vector<redisReply> elements) : items(std::move(elements))
    {
        for (redisReply& r : items)
            pointers.push_back(&r);
        array.type = REDIS_REPLY_ARRAY;
        array.elements = items.size();
        array.element = pointers.data();
    }
};

redisReply text(const char* s)
{
    redisReply r{};
    r.type = REDIS_REPLY_STRING;
    r.str = const_cast<char*>(s);
    r.len = std::strlen(s);
    return r;
}

redisReply number(long long n)
{
    redisReply r{};
    r.type = REDIS_REPLY_INTEGER;
    r.integer = n;
    return r;
}

}  // namespace

TEST(ReplyPayload, PopAndPublishedTextsAreTakenOnlyFromTheirShapes)
{
    built_reply pop({text("writelog-channel"), text("entry")});
    EXPECT_EQ(popped_text(&pop.array), "entry");
    EXPECT_EQ(published_text(&pop.array), std::nullopt) << "a pop is not a message";

    built_reply message({text("message"), text("session-channel"), text("{}")});
    EXPECT_EQ(published_text(&message.array), "{}");
    EXPECT_EQ(popped_text(&message.array), std::nullopt);

    built_reply confirmation({text("subscribe"), text("session-channel"), number(1)});
    EXPECT_EQ(published_text(&confirmation.array), std::nullopt);
    built_reply pong({text("pong"), text("")});
    EXPECT_EQ(published_text(&pong.array), std::nullopt) << "the answer to a check is no event";

    built_reply wrong({text("output-channel"), number(7)});
    EXPECT_EQ(popped_text(&wrong.array), std::nullopt);
    redisReply nil{};
    nil.type = REDIS_REPLY_NIL;
    EXPECT_EQ(popped_text(&nil), std::nullopt);
    EXPECT_EQ(popped_text(nullptr), std::nullopt);
}

TEST(ReplyPayload, EmbeddedZeroBytesAreKept)
{
    redisReply value = text("a");
    static const char bytes[] = {'a', '\0', 'b'};
    value.str = const_cast<char*>(bytes);
    value.len = 3;
    built_reply pop({text("device-state"), value});
    EXPECT_EQ(popped_text(&pop.array), std::string("a\0b", 3));
}

TEST(ProcessingList, ElementDoneWhileTheServerWentAwayIsRemovedNotDoneAgain)
{
    using namespace std::chrono_literals;
    survive_broken_pipes();  // as the programs do: a write to a closed connection fails, not the process
    kit_root root;
    redis_server server(root);
    redis_ptr c = redis_open(root.socket(), 2s);
    ASSERT_TRUE(c);
    refused_pops refused("work", [](const std::string&) {});
    processing_list work{"work", "work-processing"};
    redis_command(c.get(), "LPUSH work %s", "first");
    redis_command(c.get(), "LPUSH work %s", "second");
    ASSERT_EQ(work.next(c.get(), refused), "first");

    // The work is done, but the removal meets a connection the server has
    // closed.
    redis_ptr doomed = redis_open(root.socket(), 2s);
    reply_ptr id = redis_command(doomed.get(), "CLIENT ID");
    ASSERT_TRUE(id && id->type == REDIS_REPLY_INTEGER);
    redis_command(c.get(), "CLIENT KILL ID %lld", id->integer);
    EXPECT_FALSE(work.finish(doomed.get(), "first"));

    // Back on a good connection, the element is removed, not handed out again.
    EXPECT_EQ(work.next(c.get(), refused), std::nullopt);
    reply_ptr left = redis_command(c.get(), "LLEN work-processing");
    EXPECT_EQ(left->integer, 0);
    EXPECT_EQ(work.next(c.get(), refused), "second");

    // A consumer that was killed before its removal does its element again.
    processing_list restarted{"work", "work-processing"};
    EXPECT_EQ(restarted.next(c.get(), refused), "second");
    EXPECT_TRUE(restarted.finish(c.get(), "second"));
    reply_ptr none = redis_command(c.get(), "LLEN work-processing");
    EXPECT_EQ(none->integer, 0);
}
