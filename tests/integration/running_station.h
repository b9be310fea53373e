// Tests that run the real orvanel under a station root against a real
// redis-server, with the test acting as the SIP user agent through Redis.
#pragma once

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "station_kit/station.h"

class RunningStation : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure() && orvanel)
            std::cerr << orvanel->report("orvanel");
    }

    // Starts orvanel and waits until it listens on session-channel.
    void start_orvanel(std::vector<std::string> args = {"debug"}, const std::vector<std::string>& env = {})
    {
        orvanel.reset();  // a station started before ends first: one subscriber at a time
        orvanel = std::make_unique<kit_program>(root, orvanel_binary(), std::move(args), env);
        ASSERT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }))
            << orvanel->output() << orvanel->errors();
        watching_keys(orvanel->pid());
    }

    // Waits until the key watchers of the orvanel with this pid have read
    // their lines' first levels: a key pressed before that is taken for the
    // level it starts from, not for a press. The watchers set their watch
    // before they open the value file.
    void watching_keys(pid_t pid)
    {
        for (int line : {140, 67, 3}) {
            const std::string file = root.file("/sys/class/gpio/gpio" + std::to_string(line) + "/value");
            ASSERT_TRUE(wait_until([&] { return process_has_open(pid, file); })) << file;
        }
    }

    // How many entries of the operation log are exactly this text.
    size_t count_entries(const std::string& entry)
    {
        const auto all = oplog();
        return static_cast<size_t>(std::count(all.begin(), all.end(), entry));
    }

    // Presses a call key (its line reads "0") and waits until the press is
    // in the operation log.
    void press(int line)
    {
        const std::string entry = "BUTTON,KEY_GPIO" + std::to_string(line) + " Press,";
        const size_t before = count_entries(entry);
        root.set_gpio(line, 0);
        ASSERT_TRUE(wait_until([&] { return count_entries(entry) > before; }, 10s)) << "press not seen";
    }
    void release(int line) { root.set_gpio(line, 1); }
    void tap(int line)
    {
        press(line);
        release(line);
    }

    // Closes the tamper switch. Closing leaves no trace to wait for, so this
    // waits out the 100 ms within which a watcher must see a rewrite.
    void close_tamper()
    {
        root.set_gpio(3, 0);
        std::this_thread::sleep_for(300ms);
    }

    // The next command on control-channel.
    std::optional<std::string> command(std::chrono::milliseconds timeout = 5s)
    {
        return client.pop_oldest("control-channel", timeout);
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

    kit_root root;
    redis_server redis{root};
    redis_client client{root.socket()};
    std::unique_ptr<kit_program> orvanel;
};

// Settings with account 1 enabled as 1000 at example.test.
inline const std::string account_1_settings =
    "[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\nserver = 10.0.0.9\n";
inline const std::string account_1_aor = "sip:1000@example.test";
inline const std::string register_account_1 =
    R"({"type":"REGISTER_OK","class":"init register","accountaor":"sip:1000@example.test"})";
