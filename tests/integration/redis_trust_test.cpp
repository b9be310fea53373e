// The station's socket taken over by a stranger: while the station's Redis
// server is down, another local user (uid 65534, nobody) starts a server of
// his own on the socket. orvanel, outputd and sipbridge refuse it, say so
// once, leave its lists and channels alone, and work again as soon as the
// real server is back.
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/process.h"
#include "station_kit/station.h"
#include "tests/integration/running_station.h"

namespace {

constexpr uid_t stranger_uid = 65534;
constexpr gid_t stranger_gid = 65534;

const std::string relay_on = R"({"id":"gpio135","type":"On"})";
const std::string hangup_all = R"({"cmd":"hangupall","data":""})";
const std::string status_key = "baresip-call-status-1000-example.test";

// The commands the programs would send to a server they took: their pops,
// subscription, publishing and key writes. The test itself sends none of them.
const char* const program_commands[] = {"brpop", "brpoplpush", "lindex", "lrem", "subscribe", "publish", "del"};

std::string info(redis_client& client, const std::string& section)
{
    reply_ptr r = client.command("INFO %s", section);
    return r && r->type == REDIS_REPLY_STRING ? std::string(r->str, r->len) : "";
}

// The number that follows "name:" in an INFO text.
long long info_number(const std::string& text, const std::string& name)
{
    const std::size_t at = text.find("\r\n" + name + ":");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 3);
}

}  // namespace

class RedisTrust : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "NOT RUN: the stranger's Redis server must run as another user (uid 65534), which only "
                            "root can start; CI runs the tests as root";
        if (find_on_path("setpriv").empty())
            GTEST_SKIP() << "NOT RUN: setpriv (util-linux) is not on PATH to start the stranger's Redis server";
        stranger.run_as(stranger_uid, stranger_gid);
    }

    void TearDown() override
    {
        for (const auto& [name, program] : {std::pair{"orvanel", orvanel.get()}, std::pair{"outputd", outputd.get()},
                                            std::pair{"sipbridge", bridge.get()}})
            if (HasFailure() && program)
                std::cerr << program->report(name);
    }

    std::string message_log() const { return root.message_log(); }

    // How often each program has told that text: orvanel in its message
    // log, outputd and sipbridge on their consoles.
    void expect_told(const std::string& text, std::size_t times) const
    {
        EXPECT_EQ(occurrences(message_log(), text), times) << "orvanel's message log";
        EXPECT_EQ(occurrences(outputd->output(), text), times) << "outputd's console";
        EXPECT_EQ(occurrences(bridge->output(), "sipbridge: " + text), times) << "sipbridge's console";
    }
    bool all_told(const std::string& text, std::size_t times) const
    {
        return occurrences(message_log(), text) == times && occurrences(outputd->output(), text) == times &&
               occurrences(bridge->output(), "sipbridge: " + text) == times;
    }

    // The three programs against the station's own server, each shown at work.
    void start_station()
    {
        root.write_settings(account_1_settings + "[relay_ctrl]\nrelay_mode = singleBToggle\n");
        root.set_gpio(66, 0);
        redis_client client(root.socket());
        outputd = std::make_unique<kit_program>(root, outputd_binary());
        orvanel = std::make_unique<kit_program>(root, orvanel_binary());
        // No user agent listens on the bridge's control port: the bridge
        // keeps trying it, and meanwhile serves Redis as always.
        client.command("SET %s %s", status_key, R"({"status":"ring"})");
        bridge = std::make_unique<kit_program>(
            root, sipbridge_binary(), std::vector<std::string>{"--ua", "127.0.0.1:" + std::to_string(free_port_block(1))});
        ASSERT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; })) << "orvanel subscribed";
        ASSERT_TRUE(wait_until([&] { return !client.get(status_key); })) << "the bridge writes the keys anew";
        client.command("LPUSH output-channel %s", relay_on);
        ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; })) << "outputd switches the relay";
        client.command("LPUSH output-channel %s", std::string(R"({"id":"gpio135","type":"Off"})"));
        ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 0; }));
    }

    // The station's server goes down and the stranger's takes its socket,
    // baited with a relay request, a command for the user agent and a
    // call-status key that the bridge would delete.
    void stranger_takes_the_socket()
    {
        redis.stop();
        stranger.start();
        watch = std::make_unique<redis_client>(root.socket());
        watch->command("LPUSH output-channel %s", relay_on);
        watch->command("LPUSH control-channel %s", hangup_all);
        watch->command("SET %s %s", status_key, R"({"status":"ring"})");
    }

    // Nothing of the programs reached the stranger's server: its bait lies
    // where it was put, nobody listens on its channel, and none of the
    // programs' commands was ever run there.
    bool stranger_left_alone()
    {
        const std::string stats = info(*watch, "commandstats");
        for (const char* command : program_commands)
            if (stats.find(std::string("cmdstat_") + command + ":") != std::string::npos)
                return false;
        return root.gpio(66) == 0 && watch->list("output-channel") == std::vector<std::string>{relay_on} &&
               watch->list("control-channel") == std::vector<std::string>{hangup_all} &&
               watch->subscribers("session-channel") == 0 && watch->get(status_key) == R"({"status":"ring"})";
    }

    kit_root root;
    const std::string refusal = "refusing the Redis server at " + root.socket() + ": it runs as uid " +
                                std::to_string(stranger_uid) + ", not root or uid " + own_redis_user();
    const std::string trust_again = "trusting the Redis server at " + root.socket() + " again";
    redis_server redis{root};
    redis_server stranger{root, false};
    std::unique_ptr<redis_client> watch;  // the test's connection to the stranger's server
    std::unique_ptr<kit_program> outputd;
    std::unique_ptr<kit_program> orvanel;
    std::unique_ptr<kit_program> bridge;
};

TEST_F(RedisTrust, AStrangersServerOnTheSocketIsRefusedByEveryProgramUntilTheRealOneIsBack)
{
    ASSERT_NO_FATAL_FAILURE(start_station());
    stranger_takes_the_socket();

    ASSERT_TRUE(wait_until([&] { return all_told(refusal, 1); }, 10s)) << "each program says what it refused";
    // Several seconds of retries, quick ones at first: the programs keep
    // knocking (each attempt is a connection the server counts), take
    // nothing and say nothing more.
    const long long knocks = info_number(info(*watch, "stats"), "total_connections_received");
    EXPECT_TRUE(holds([&] { return stranger_left_alone(); }, 4s)) << info(*watch, "commandstats");
    EXPECT_GT(info_number(info(*watch, "stats"), "total_connections_received"), knocks + 6);
    expect_told(refusal, 1);
    for (kit_program* program : {outputd.get(), orvanel.get(), bridge.get()})
        EXPECT_TRUE(program->running());

    // The station's server is back on the socket: every program takes it
    // up again, says so once, and works.
    watch.reset();
    stranger.stop();
    redis.start();
    redis_client client(root.socket());
    EXPECT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }, 10s)) << "orvanel subscribes";
    client.command("LPUSH output-channel %s", relay_on);
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 10s)) << "outputd switches the relay";
    client.command("LPUSH control-channel %s", hangup_all);
    EXPECT_TRUE(wait_until([&] { return client.list("control-channel").empty(); }, 10s)) << "the bridge takes commands";
    EXPECT_TRUE(wait_until([&] { return all_told(trust_again, 1); }));
    expect_told(trust_again, 1);

    // A stranger that comes again is a new episode, told again.
    client.command("LPUSH output-channel %s", std::string(R"({"id":"gpio135","type":"Off"})"));
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 0; }));
    stranger_takes_the_socket();
    EXPECT_TRUE(wait_until([&] { return all_told(refusal, 2); }, 10s));
    EXPECT_TRUE(holds([&] { return stranger_left_alone(); }, 1s)) << info(*watch, "commandstats");
}
