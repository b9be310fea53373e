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

// A writer killed after its line was synced but before it took the line off
// cdr-processing: the next one finds the line there and in the file, and
// writes it once. A line left over that the file does not hold yet (the
// storage refused it) is written, and a new line that happens to repeat the
// last one is never taken for a left-over.
TEST_F(CallRecordWriter, ALineLeftOverAfterItWasWrittenIsNotWrittenTwice)
{
    const std::string a = "2030-01-01,10:00:00,10:00:09,sip:1000@example.test,2002,9,in,ANSWERED,x";
    const std::string b = "2030-01-01,10:01:00,10:01:09,sip:1000@example.test,2003,9,in,ANSWERED,y";
    root.write("/userdata/cdr.csv", a + "\n");
    client.command("LPUSH cdr-processing %s", a);
    call_record_writer writer;
    writer.pass();
    EXPECT_EQ(root.read("/userdata/cdr.csv"), a + "\n");
    EXPECT_TRUE(client.list("cdr-processing").empty());

    client.command("LPUSH cdr-processing %s", b);
    writer.pass();
    EXPECT_EQ(root.read("/userdata/cdr.csv"), a + "\n" + b + "\n");

    client.command("LPUSH cdr-channel %s", b);
    writer.pass();
    EXPECT_EQ(root.read("/userdata/cdr.csv"), a + "\n" + b + "\n" + b + "\n");
    EXPECT_TRUE(client.list("cdr-processing").empty());
}
