#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "orvanel/core/message_queue.h"

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

std::unique_ptr<message_queue> make_queue(int capacity)
{
    std::unique_ptr<message_queue> q;
    EXPECT_EQ(queue_create(capacity, q), 0);
    return q;
}

}  // namespace

TEST(MessageQueue, CreationNeedsAPositiveCapacity)
{
    std::unique_ptr<message_queue> q;
    EXPECT_EQ(queue_create(0, q), -1);
    EXPECT_EQ(queue_create(-3, q), -1);
    EXPECT_EQ(q, nullptr);
}

TEST(MessageQueue, AbsentQueueFailsAtOnce)
{
    int type = 0;
    const auto start = steady::now();
    EXPECT_EQ(queue_push(nullptr, -1, 2), -1);
    EXPECT_EQ(queue_pop(nullptr, -1, &type), -1);
    EXPECT_LT(steady::now() - start, 50ms);
}

TEST(MessageQueue, KeepsOrderAcrossTheWrapOfPositions)
{
    auto q = make_queue(3);
    int expected = 0;
    int next = 0;
    // Seven rounds of two pushes and two pops walk the positions round the
    // three slots several times.
    for (int round = 0; round < 7; ++round) {
        ASSERT_EQ(queue_push(q.get(), 0, next++), 0);
        ASSERT_EQ(queue_push(q.get(), 0, next++), 0);
        for (int i = 0; i < 2; ++i) {
            int type = -1;
            ASSERT_EQ(queue_pop(q.get(), 0, &type), 0);
            EXPECT_EQ(type, expected++);
        }
    }
}

TEST(MessageQueue, FullQueueRefusesUntilAPop)
{
    auto q = make_queue(5);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(queue_push(q.get(), 100, 3), 0);

    auto start = steady::now();
    EXPECT_EQ(queue_push(q.get(), 0, 3), -1);
    EXPECT_LT(steady::now() - start, 20ms) << "time-out 0 must not wait";

    start = steady::now();
    EXPECT_EQ(queue_push(q.get(), 100, 3), -1);
    const auto waited = steady::now() - start;
    EXPECT_GE(waited, 95ms);
    EXPECT_LT(waited, 1s);

    ASSERT_EQ(queue_pop(q.get(), 0, nullptr), 0);
    EXPECT_EQ(queue_push(q.get(), 100, 4), 0);
}

TEST(MessageQueue, EmptyQueueTimesOutOrWakesOnPush)
{
    auto q = make_queue(5);
    int type = 0;
    auto start = steady::now();
    EXPECT_EQ(queue_pop(q.get(), 0, &type), -1);
    EXPECT_EQ(queue_pop(q.get(), 80, &type), -1);
    EXPECT_GE(steady::now() - start, 75ms);

    std::thread producer([&] {
        std::this_thread::sleep_for(50ms);
        queue_push(q.get(), 0, 4);
    });
    start = steady::now();
    EXPECT_EQ(queue_pop(q.get(), 10000, &type), 0);
    EXPECT_LT(steady::now() - start, 2s) << "a push must end the wait at once";
    EXPECT_EQ(type, 4);
    producer.join();
}

TEST(MessageQueue, BlockedProducerWakesOnPop)
{
    auto q = make_queue(1);
    ASSERT_EQ(queue_push(q.get(), 0, 1), 0);
    std::thread consumer([&] {
        std::this_thread::sleep_for(50ms);
        queue_pop(q.get(), 0, nullptr);
    });
    EXPECT_EQ(queue_push(q.get(), -1, 2), 0);
    consumer.join();
    int type = 0;
    ASSERT_EQ(queue_pop(q.get(), 0, &type), 0);
    EXPECT_EQ(type, 2);
}

TEST(MessageQueue, PayloadIsCopiedAndCutToTheReceiversSize)
{
    auto q = make_queue(2);
    ASSERT_EQ(queue_push(q.get(), 0, 7, "abcdef"), 0);
    ASSERT_EQ(queue_push(q.get(), 0, 8), 0);

    std::string payload = "old";
    int type = 0;
    ASSERT_EQ(queue_pop(q.get(), 0, &type, &payload, 4), 0);
    EXPECT_EQ(type, 7);
    EXPECT_EQ(payload, "abcd");

    ASSERT_EQ(queue_pop(q.get(), 0, &type, &payload, 30000), 0);
    EXPECT_EQ(type, 8);
    EXPECT_EQ(payload, "") << "a message without payload comes out empty";
}

TEST(MessageQueue, ManyProducersAndConsumersLoseNothing)
{
    auto q = make_queue(5);
    constexpr int per_producer = 200;
    std::atomic<long> sum{0};
    std::atomic<int> received{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 3; ++p)
        threads.emplace_back([&] {
            for (int i = 1; i <= per_producer; ++i)
                queue_push(q.get(), -1, i);
        });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&] {
            int type = 0;
            while (queue_pop(q.get(), 500, &type) == 0) {
                sum += type;
                ++received;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(received, 3 * per_producer);
    EXPECT_EQ(sum, 3L * per_producer * (per_producer + 1) / 2);
}
