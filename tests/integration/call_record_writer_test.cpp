// Call records that end while Redis is away wait in orvanel's memory and go
// out, in order, as soon as the server is back, with no call after them.
#include "orvanel/records/call_record_writer.h"
#include "orvanel/records/call_records.h"
#include "tests/integration/in_process.h"

using CallRecordWriter = InProcessStation;

TEST_F(CallRecordWriter, RecordsHeldWhileRedisIsAwayReachTheFileInOrderOnceItIsBack)
{
    call_record_writer writer;
    redis.stop();
    for (const char* reason : {"away 1", "away 2"}) {
        cdr_begin_incoming("sip:1000@example.test", "2002");
        cdr_finish(reason);
    }
    EXPECT_EQ(held_call_records().size(), 2u);

    // The first pass finds its connection gone; the next makes it anew,
    // hands both lines over and writes one. No pass waits: a line is there.
    redis.start();
    for (int pass = 0; pass < 3 && split(root.read("/userdata/cdr.csv"), '\n').size() < 2; ++pass)
        writer.pass();
    EXPECT_TRUE(held_call_records().empty());
    const auto lines = split(root.read("/userdata/cdr.csv"), '\n');
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(split(lines[0], ',').at(8), "away 1");
    EXPECT_EQ(split(lines[1], ',').at(8), "away 2");
    redis_client after(root.socket());  // the test's own connection went with the server
    EXPECT_TRUE(after.list("cdr-channel").empty());
    EXPECT_TRUE(after.list("cdr-processing").empty());

    // Whoever else reaches the list cannot make a line of two records.
    redis_client(root.socket()).command("LPUSH cdr-channel %s", "forged\n2030-01-01,00:00:00,00:00:09,B,1,9,in,ANSWERED,x");
    writer.pass();
    EXPECT_EQ(split(root.read("/userdata/cdr.csv"), '\n').size(), 3u);
}
