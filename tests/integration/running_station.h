// Tests that run the real orvanel under a station root against a real
// redis-server, with the test acting as the SIP user agent through Redis.
#pragma once

#include <iostream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/harness/station.h"

class RunningStation : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure() && orvanel)
            std::cerr << "--- orvanel output:\n" << orvanel->output() << "--- errors:\n" << orvanel->errors();
    }

    // Starts orvanel and waits until it listens on session-channel.
    void start_orvanel(std::vector<std::string> args = {"debug"})
    {
        orvanel = std::make_unique<Program>(root, orvanel_binary(), std::move(args));
        ASSERT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }))
            << orvanel->output() << orvanel->errors();
    }

    void publish(const std::string& event) { client.command("PUBLISH session-channel %s", event); }

    // The operation log's entries, without their time stamps.
    std::vector<std::string> oplog()
    {
        std::vector<std::string> entries;
        std::stringstream lines(root.read("/userdata/system.csv"));
        std::string line;
        while (std::getline(lines, line))
            entries.push_back(line.size() > 20 ? line.substr(20) : line);
        return entries;
    }

    // Waits until the operation log holds n entries and returns them.
    std::vector<std::string> wait_oplog(size_t n, std::chrono::milliseconds timeout = 10s)
    {
        wait_until([&] { return oplog().size() >= n; }, timeout);
        return oplog();
    }

    StationRoot root;
    RedisServer redis{root};
    RedisClient client{root.socket()};
    std::unique_ptr<Program> orvanel;
};

// Settings with account 1 enabled as 1000 at example.test.
inline const std::string account_1_settings =
    "[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\nserver = 10.0.0.9\n";
inline const std::string account_1_aor = "sip:1000@example.test";
