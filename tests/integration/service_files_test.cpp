// The files that start the programs on a board: the systemd units verify,
// and the init script for boards without systemd starts, reports and stops
// both programs under a station root.
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
    for (const char* unit : {"orvanel", "outputd", "sipbridge"}) {
        std::string text = read_text_file(service_dir + "/" + unit + ".service");
        ASSERT_NE(text.find("Restart=always"), std::string::npos) << unit;
        ASSERT_NE(text.find("After=redis-server.service"), std::string::npos) << unit;
        const std::size_t exec = text.find("ExecStart=");
        const std::size_t name = text.find(std::string("/") + unit, exec);
        text.replace(exec + 10, name - exec - 10, STATION_BIN_DIR);
        scratch.write(std::string("/") + unit + ".service", text);
        files += " " + scratch.file(std::string("/") + unit + ".service");
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
