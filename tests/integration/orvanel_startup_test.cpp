#include <gtest/gtest.h>

#include "station_kit/station.h"

TEST(OrvanelStartup, WithoutRedisItEndsWithStatus255AfterTheConnectionErrors)
{
    kit_root root;
    kit_program orvanel(root, orvanel_binary());
    EXPECT_EQ(orvanel.wait_exit(5s), 255);
    const std::string out = orvanel.output();
    size_t count = 0;
    for (size_t at = out.find("Connection error: "); at != std::string::npos;
         at = out.find("Connection error: ", at + 1))
        ++count;
    EXPECT_EQ(count, 5u) << out;
}

TEST(OrvanelStartup, MessageLogLinesHaveTheirPrefix)
{
    kit_root root;
    redis_server redis(root);
    kit_program orvanel(root, orvanel_binary(), {"debug"});
    // The threads start in table order but log as they get to run.
    const std::vector<std::string> lines = {"[T][info] thread 'LogMonitorPthread'is ready \n",
                                            "[T][info] thread Baresip_thread is ready!\n",
                                            "[T][info] thread Next_intercom is ready!\n"};
    const auto all_there = [&] {
        const std::string log = mask_log_stamps(root.message_log());
        for (const std::string& line : lines)
            if (log.find(line) == std::string::npos)
                return false;
        return true;
    };
    EXPECT_TRUE(wait_until(all_there)) << root.message_log();
    EXPECT_TRUE(orvanel.wait_output("\033[0;32;32m["));
    EXPECT_EQ(orvanel.output().find("Connection error"), std::string::npos);
}

TEST(OrvanelStartup, RefusesARootThatShellCommandsCannotTake)
{
    kit_root root;
    const std::string bad = root.path() + "/a b";
    setenv("STATION_ROOT", bad.c_str(), 1);
    std::string command = emulated_command(orvanel_binary()) + " > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    unsetenv("STATION_ROOT");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}
