// orvanel when Redis misbehaves: lists that hold another type than a list,
// which make every blocking pop fail at once.
#include "tests/integration/running_station.h"

namespace {

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

using RedisFaults = RunningStation;

TEST_F(RedisFaults, ListsOfAnotherTypeArePolledGentlyAndReportedOnce)
{
    client.command("SET %s %s", "device-state", "not a list");
    client.command("SET %s %s", "writelog-channel", "not a list");
    start_orvanel({});
    const auto log = [&] { return read_text_file(root.file("/userdata/log/orvanel.log")); };
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
