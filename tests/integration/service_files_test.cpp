// The files that start the programs on a board: the systemd units verify,
// and the init script for boards without systemd starts, reports and stops
// both programs under a station root, and loads the packet filter (through a
// stand-in nft here: the machine's own filter is left alone).
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/integration/running_station.h"

namespace {

const std::string service_dir = STATION_SERVICE_DIR;

int shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool alive(const std::string& pid_file)
{
    const std::string pid = read_text_file(pid_file);
    return !pid.empty() && ::kill(std::stoi(pid), 0) == 0;
}

}  // namespace

// A station's Redis and a root, without orvanel: the script starts it.
class InitScript : public RunningStation {};

TEST(ServiceFiles, UnitsVerify)
{
    if (shell("command -v systemd-analyze > /dev/null") != 0)
        GTEST_SKIP() << "no systemd-analyze here";
    // The units name the installed programs; here they name the build's.
    kit_root scratch;
    std::string files;
    for (const std::string unit : {"orvanel.service", "outputd.service", "sipbridge.service", "station-filter.service",
                                   "station-filter.path", "station-filter.timer"}) {
        std::string text = read_text_file(service_dir + "/" + unit);
        if (unit.rfind("station-filter", 0) != 0) {
            ASSERT_NE(text.find("Restart=always"), std::string::npos) << unit;
            ASSERT_NE(text.find("After=redis-server.service"), std::string::npos) << unit;
        }
        const std::size_t exec = text.find("ExecStart=");
        if (exec != std::string::npos) {
            const std::size_t name = text.rfind('/', text.find(' ', exec));
            text.replace(exec + 10, name - exec - 10, STATION_BIN_DIR);
        }
        scratch.write("/" + unit, text);
        files += " " + scratch.file("/" + unit);
    }
    EXPECT_EQ(shell("systemd-analyze verify --man=no" + files + " > " + scratch.file("/verify.txt") + " 2>&1"), 0)
        << read_text_file(scratch.file("/verify.txt"));
}

TEST_F(InitScript, StartsReportsAndStopsThePrograms)
{
    const std::string script = service_dir + "/station";
    ASSERT_EQ(shell("sh -n " + script), 0);
    const std::string env = "STATION_ROOT=" + root.path() + " STATION_BIN=" STATION_BIN_DIR " STATION_RUN=" +
                            root.file("/run") + " STATION_LOG=" + root.file("/station.log") + " PATH=" +
                            root.bin_dir() + ":$PATH STATION_EMULATOR='" + program_emulator() + "' ";
    const std::string out = " >> " + root.file("/script.txt") + " 2>&1";

    ASSERT_EQ(shell(env + "sh " + script + " start" + out), 0) << root.read("/script.txt");
    EXPECT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }, 10s))
        << root.read("/script.txt") << root.read("/station.log");
    EXPECT_TRUE(alive(root.file("/run/orvanel.pid")));
    EXPECT_TRUE(alive(root.file("/run/outputd.pid")));
    EXPECT_EQ(shell(env + "sh " + script + " status" + out), 0) << root.read("/script.txt");
    EXPECT_EQ(shell(env + "sh " + script + " start" + out), 0) << "a second start starts nothing";
    EXPECT_NE(root.read("/script.txt").find("orvanel is already running"), std::string::npos);

    const std::string orvanel_pid = root.read("/run/orvanel.pid");
    ASSERT_EQ(shell(env + "sh " + script + " stop" + out), 0) << root.read("/script.txt");
    EXPECT_TRUE(wait_until([&] { return ::kill(std::stoi(orvanel_pid), 0) != 0; }, 7s));
    EXPECT_FALSE(root.exists("/run/orvanel.pid"));
    EXPECT_EQ(shell(env + "sh " + script + " status" + out), 3) << "3: not running";
    EXPECT_EQ(client.subscribers("session-channel"), 0);
}

TEST_F(InitScript, FilterCommandLoadsThePacketFilter)
{
    const std::string script = service_dir + "/station";
    // A stand-in nft keeps what it was given.
    root.write("/tools/nft", "#!/bin/sh\necho \"$@\" > " + root.file("/nft.args") + "\ncat > " +
                                 root.file("/nft.input") + "\n");
    ASSERT_EQ(::chmod(root.file("/tools/nft").c_str(), 0755), 0);
    root.write("/ua/config", "sip_listen 0.0.0.0:5060\nrtp_ports 10000-10099\n");
    root.write_settings("[account_info_1]\nenable = yes\nusername = 1000\ndomain = 192.0.2.10:5070\n");
    const std::string env = "STATION_ROOT=" + root.path() + " STATION_BIN=" STATION_BIN_DIR " PATH=" +
                            root.file("/tools") + ":$PATH STATION_EMULATOR='" + program_emulator() + "' ";
    const std::string out = " >> " + root.file("/script.txt") + " 2>&1";

    EXPECT_EQ(shell(env + "sh " + script + " filter" + out), 1) << "no folder, no filter";
    EXPECT_FALSE(root.exists("/nft.input"));

    ASSERT_EQ(shell(env + "STATION_UA_DIR=" + root.file("/ua") + " sh " + script + " filter" + out), 0)
        << root.read("/script.txt");
    EXPECT_EQ(root.read("/nft.args"), "-f -\n");
    const std::string ruleset = root.read("/nft.input");
    EXPECT_NE(ruleset.find("delete table inet orvanel_station\n"), std::string::npos) << ruleset;
    EXPECT_NE(ruleset.find("ip saddr { 192.0.2.10 } accept"), std::string::npos) << ruleset;
    EXPECT_NE(root.read("/script.txt").find("sipbridge: filter loaded"), std::string::npos) << root.read("/script.txt");
}
