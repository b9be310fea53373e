// The files that start the programs on a board, as `cmake --install` puts
// them: the systemd units verify and each scores "OK" in systemd-analyze's
// security check; the station's Redis configuration gives a server without
// a TCP port and with a socket only its group may use; the tmpfiles rules
// give the station's users their files and take back the socket's path; and
// the init script for boards without systemd starts, reports and stops the
// programs under a station root, as an unprivileged user, and never signals
// a process a stale pid file names.
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "common/process.h"
#include "station_kit/net_namespace.h"
#include "station_kit/pbx.h"
#include "tests/integration/running_station.h"

namespace {

const std::string service_dir = STATION_SERVICE_DIR;

int shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool have(const std::string& tool)
{
    return shell("command -v " + tool + " > /dev/null 2>&1") == 0;
}

bool alive(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) == 0;
}

bool alive(const std::string& pid_file)
{
    const std::string pid = read_text_file(pid_file);
    return !pid.empty() && alive(std::stoi(pid));
}

// The uid a process runs as (the real one, from /proc/PID/status).
long uid_of(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Uid:", 0) == 0)
            return std::stol(line.substr(4));
    return -1;
}

void replace_all(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// What `cmake --install` puts into a staging folder, made once for the suite.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        stage_ = std::make_unique<kit_root>();
        const std::string log = stage_->file("/install.log");
        install_status_ = shell("DESTDIR=" + stage_->file("/stage") + " '" CMAKE_COMMAND "' --install '" PROJECT_BINARY_DIR
                                "' > " + log + " 2>&1");
    }
    static void TearDownTestSuite() { stage_.reset(); }

    void SetUp() override { ASSERT_EQ(install_status_, 0) << stage_->read("/install.log"); }

    static std::string installed(const std::string& path) { return stage_->file("/stage" + path); }
    static std::string unit(const std::string& name) { return installed(STATION_UNIT_DIR "/" + name); }

    static inline std::unique_ptr<kit_root> stage_;
    static inline int install_status_ = -1;
};

const std::vector<std::string> program_units = {"orvanel.service", "outputd.service", "sipbridge.service",
                                                "station-baresip.service", "station-sitelog.service",
                                                "station-tls.service"};

}  // namespace

TEST_F(Installed, UnitsVerify)
{
    if (!have("systemd-analyze"))
        GTEST_SKIP() << "no systemd-analyze here";
    // The units name the installed programs; here they name the build's.
    std::string files;
    for (const std::string name : {"orvanel.service", "outputd.service", "sipbridge.service", "station-baresip.service",
                                   "station-filter.service", "station-filter.path", "station-filter.timer",
                                   "station-sip-config.service", "station-sip-config.path",
                                   "station-metrics.service", "station-metrics.timer", "station-sitelog.service",
                                   "station-sitelog-config.service", "station-sitelog-config.path",
                                   "station-tls.service"}) {
        std::string text = read_text_file(unit(name));
        ASSERT_FALSE(text.empty()) << name << " is not installed";
        if (name != "station-baresip.service" && name.rfind("station-filter", 0) != 0 &&
            name.rfind("station-sip-config", 0) != 0 && name.rfind("station-metrics", 0) != 0 &&
            name.rfind("station-sitelog", 0) != 0 && name != "station-tls.service") {
            EXPECT_NE(text.find("Restart=always"), std::string::npos) << name;
            EXPECT_NE(text.find("After=" STATION_REDIS_UNIT), std::string::npos) << name;
        }
        for (const std::string program :
             {"orvanel", "outputd", "sipbridge", "station-check", "station-sitelog", "station-tls-relay"})
            replace_all(text, STATION_INSTALL_BIN_DIR "/" + program, STATION_BIN_DIR "/" + program);
        if (!have("baresip"))
            replace_all(text, "/usr/bin/baresip", "/bin/true");
        if (::access("/usr/sbin/rsyslogd", X_OK) != 0)
            replace_all(text, "/usr/sbin/rsyslogd", "/bin/true");
        for (const char* tool : {"/usr/bin/stunnel4", "/usr/bin/openssl"})
            if (::access(tool, X_OK) != 0)
                replace_all(text, tool, "/bin/true");
        stage_->write("/verify/" + name, text);
        files += " " + stage_->file("/verify/" + name);
    }
    EXPECT_EQ(shell("systemd-analyze verify --man=no" + files + " > " + stage_->file("/verify.txt") + " 2>&1"), 0)
        << stage_->read("/verify.txt");
}

// The sandbox of a unit must leave it what its work takes, which only the
// booted image showed (make vm-test): sipbridge --update-config lists the
// board's addresses over netlink, and gives the files it writes to the user
// agent's user with fchown(), which @privileged holds and the system-call
// filter of every unit denies.
TEST_F(Installed, SandboxesLeaveWhatTheWorkTakes)
{
    for (const std::string name : {"orvanel.service", "outputd.service", "sipbridge.service", "station-baresip.service",
                                   "station-filter.service", "station-sip-config.service"}) {
        const std::string text = read_text_file(unit(name));
        std::smatch caps;
        const bool chowns = std::regex_search(text, caps, std::regex("\nCapabilityBoundingSet=([^\n]*)")) &&
                            caps[1].str().find("CAP_CHOWN") != std::string::npos;
        const std::size_t denied = text.find("SystemCallFilter=~@privileged");
        if (chowns && denied != std::string::npos) {
            EXPECT_NE(text.find("SystemCallFilter=@chown", denied), std::string::npos)
                << name << " holds CAP_CHOWN but its filter kills fchown()";
        }
        const bool lists_addresses = text.find("--update-config") != std::string::npos ||
                                     text.find("--apply-filter") != std::string::npos;
        std::smatch families;
        if (lists_addresses && std::regex_search(text, families, std::regex("\nRestrictAddressFamilies=([^\n]*)"))) {
            EXPECT_NE(families[1].str().find("AF_NETLINK"), std::string::npos)
                << name << " cannot list the board's addresses";
        }
    }
}

// Every service the station ships runs in a sandbox that systemd-analyze
// rates "OK" (below 4.0; root without any of it: 9.6); each program's unit
// runs it as an unprivileged user that holds no capability and gains none.
TEST_F(Installed, EveryUnitScoresOk)
{
    if (!have("systemd-analyze"))
        GTEST_SKIP() << "no systemd-analyze here";
    std::vector<std::string> services = program_units;
    services.insert(services.end(),
                    {"station-filter.service", "station-sip-config.service", "station-metrics.service",
                     "station-sitelog-config.service"});
    for (const std::string& name : services) {
        const std::string out = stage_->file("/security-" + name + ".txt");
        shell("systemd-analyze security --offline=true --no-pager " + unit(name) + " > " + out + " 2>&1");
        const std::string report = read_text_file(out);
        std::smatch level;
        ASSERT_TRUE(std::regex_search(report, level, std::regex("Overall exposure level for [^:]+: ([0-9.]+)")))
            << report;
        EXPECT_LT(std::stod(level[1]), 4.0) << name << "\n" << report;
    }
    for (const std::string& name : program_units) {
        const std::string text = read_text_file(unit(name));
        EXPECT_TRUE(std::regex_search(text, std::regex("\nUser=[a-z]"))) << name;
        EXPECT_EQ(text.find("User=root"), std::string::npos) << name;
        EXPECT_NE(text.find("NoNewPrivileges=yes"), std::string::npos) << name;
        EXPECT_NE(text.find("CapabilityBoundingSet=\n"), std::string::npos) << name;
    }
}

// The station's Redis, started with its configuration as installed (only
// the folders moved into the stage): no TCP port, a socket that only its
// owner and group may use, and no module loading.
TEST_F(Installed, RedisConfigurationClosesTheServer)
{
    std::string conf = read_text_file(installed(STATION_SYSCONF_DIR "/redis/redis-station.conf"));
    ASSERT_NE(conf.find("unixsocket /run/redis-station/redis.sock"), std::string::npos) << conf;
    replace_all(conf, "/run/redis-station", stage_->file("/run"));
    replace_all(conf, STATION_USERDATA_DIR "/redis", stage_->file("/data"));
    stage_->write("/run/.keep", "");
    stage_->write("/data/.keep", "");
    stage_->write("/redis-station.conf", conf);
    const pid_t server = spawn({"redis-server", stage_->file("/redis-station.conf")}, {},
                               stage_->file("/redis.out"), stage_->file("/redis.err"));
    const std::string socket = stage_->file("/run/redis.sock");
    std::unique_ptr<redis_client> client;
    ASSERT_TRUE(wait_until([&] {
        client = std::make_unique<redis_client>(socket);
        reply_ptr pong = client->command("PING");
        return pong && pong->type == REDIS_REPLY_STATUS;
    })) << stage_->read("/redis.out");

    struct stat info {};
    ASSERT_EQ(::stat(socket.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0770u) << "the socket: owner and group only";
    reply_ptr port = client->command("CONFIG GET port");
    ASSERT_TRUE(port && port->type == REDIS_REPLY_ARRAY && port->elements == 2);
    EXPECT_STREQ(port->element[1]->str, "0") << "no TCP port";
    for (const char* refused : {"MODULE LOAD /tmp/evil.so", "DEBUG SLEEP 0", "CONFIG SET dir /tmp"}) {
        reply_ptr reply = client->command(refused);
        EXPECT_TRUE(reply && reply->type == REDIS_REPLY_ERROR) << refused;
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
}

// What a program pushed and Redis answered is on the disk before the answer:
// a server killed right after it (a kill leaves the page cache, a power cut
// does not; only the sync of each write before its answer covers both)
// starts again with every item, and the lists stay in their order.
TEST_F(Installed, RedisKeepsEveryAnsweredWriteAcrossAKill)
{
    std::string conf = read_text_file(installed(STATION_SYSCONF_DIR "/redis/redis-station.conf"));
    replace_all(conf, "/run/redis-station", stage_->file("/kill/run"));
    replace_all(conf, STATION_USERDATA_DIR "/redis", stage_->file("/kill/data"));
    stage_->write("/kill/run/.keep", "");
    stage_->write("/kill/data/.keep", "");
    stage_->write("/kill/redis.conf", conf);
    const std::string socket = stage_->file("/kill/run/redis.sock");
    auto start = [&](std::unique_ptr<redis_client>& client) {
        const pid_t server = spawn({"redis-server", stage_->file("/kill/redis.conf")}, {},
                                   stage_->file("/kill/redis.out"), stage_->file("/kill/redis.err"));
        EXPECT_TRUE(wait_until([&] {
            client = std::make_unique<redis_client>(socket);
            reply_ptr pong = client->command("PING");
            return pong && pong->type == REDIS_REPLY_STATUS;
        })) << stage_->read("/kill/redis.out");
        return server;
    };
    std::unique_ptr<redis_client> client;
    pid_t server = start(client);
    reply_ptr sync = client->command("CONFIG GET appendfsync");
    ASSERT_TRUE(sync && sync->type == REDIS_REPLY_ARRAY && sync->elements == 2);
    EXPECT_STREQ(sync->element[1]->str, "always");
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(client->command("LPUSH writelog-channel %s", ("BUTTON,KEY " + std::to_string(i) + ",").c_str()));
    ASSERT_TRUE(client->command("SET dtmf-lockout 60 PX 60000"));
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);

    server = start(client);
    reply_ptr kept = client->command("LRANGE writelog-channel 0 -1");
    ASSERT_TRUE(kept && kept->type == REDIS_REPLY_ARRAY);
    ASSERT_EQ(kept->elements, 200u) << stage_->read("/kill/redis.out");
    EXPECT_STREQ(kept->element[0]->str, "BUTTON,KEY 199,");
    EXPECT_STREQ(kept->element[199]->str, "BUTTON,KEY 0,");
    reply_ptr left = client->command("PTTL dtmf-lockout");
    ASSERT_TRUE(left && left->type == REDIS_REPLY_INTEGER);
    EXPECT_GT(left->integer, 0);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
}

// The Redis server's reserve of room: made while the storage has room,
// left alone while it is there, and given up at a start that finds the
// storage full, so that Redis (which ends when a write finds no room) runs
// again. The storage's free room comes from a stand-in df.
TEST_F(Installed, RedisReserveIsKeptWhileThereIsRoomAndGivenUpWhenFull)
{
    const std::string script = installed(STATION_LIBEXEC_DIR "/redis-reserve");
    const std::string data = stage_->file("/reserve/data");
    const std::string tools = stage_->file("/reserve/bin");
    stage_->write("/reserve/data/.keep", "");
    auto free_room = [&](long kib) {
        stage_->write("/reserve/bin/df", "#!/bin/sh\necho 'Filesystem 1024-blocks Used Available Capacity Mounted on'\n"
                                         "echo \"/dev/vdb 131072 0 " + std::to_string(kib) + " 0% /userdata\"\n");
        ::chmod((tools + "/df").c_str(), 0755);
    };
    auto run = [&] { return shell("PATH='" + tools + ":/usr/bin:/bin' " + script + " '" + data + "' 2> " + stage_->file("/reserve/err")); };
    auto reserve_size = [&]() -> long long {
        struct stat st {};
        return ::stat((data + "/reserve").c_str(), &st) == 0 ? st.st_size : -1;
    };

    free_room(100 * 1024);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(reserve_size(), 8LL << 20) << "made while there is room";
    free_room(20 * 1024);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(reserve_size(), 8LL << 20) << "kept while there is some room";
    free_room(200);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(reserve_size(), -1) << "given up on a full storage";
    EXPECT_NE(stage_->read("/reserve/err").find("is full"), std::string::npos) << stage_->read("/reserve/err");
    free_room(20 * 1024);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(reserve_size(), -1) << "not taken back while the room is short";
    free_room(100 * 1024);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(reserve_size(), 8LL << 20) << "taken back once there is room";
    for (const auto& entry : std::filesystem::directory_iterator(data))
        EXPECT_TRUE(entry.path().filename() == "reserve" || entry.path().filename() == ".keep") << entry.path();
}

// The tmpfiles rules applied to a root of their own: the station's group
// owns what the programs write, the settings are closed to others, and a
// socket that someone put at /tmp/redis.sock gives way to root's link.
TEST_F(Installed, TmpfilesGiveTheStationItsFiles)
{
    if (!have("systemd-tmpfiles") || ::geteuid() != 0)
        GTEST_SKIP() << "needs systemd-tmpfiles and root (to give files away)";
    kit_root target;
    target.write("/etc/passwd", "root:x:0:0::/root:/bin/sh\nstation:x:990:990::/nonexistent:/usr/sbin/nologin\n"
                                "redis:x:991:991::/var/lib/redis:/usr/sbin/nologin\n"
                                "station-log:x:992:992::/nonexistent:/usr/sbin/nologin\n"
                                "station-tls:x:993:993::/nonexistent:/usr/sbin/nologin\n");
    target.write("/etc/group", "root:x:0:\nstation:x:990:\nredis:x:991:\nstation-log:x:992:\nstation-tls:x:993:\n");
    target.write("/etc/speaker.conf", "[account_info_1]\npassword = secret\n");
    ASSERT_EQ(::chmod(target.file("/etc/speaker.conf").c_str(), 0644), 0);
    target.write("/userdata/system.csv", "");
    ASSERT_EQ(::chown(target.file("/userdata/system.csv").c_str(), 0, 0), 0);
    target.write("/tmp/redis.sock", "a squatter's file\n");
    ASSERT_EQ(::chown(target.file("/tmp/redis.sock").c_str(), 65534, 65534), 0);

    ASSERT_EQ(shell("systemd-tmpfiles --create --root=" + target.path() + " " +
                    installed(STATION_TMPFILES_DIR "/orvanel-station.conf") + " > " + target.file("/tmpfiles.txt") +
                    " 2>&1"),
              0)
        << target.read("/tmpfiles.txt");

    struct stat info {};
    ASSERT_EQ(::lstat(target.file("/tmp/redis.sock").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(std::filesystem::read_symlink(target.file("/tmp/redis.sock")).string(), "/run/redis-station/redis.sock");
    const auto owned = [&](const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
        struct stat s {};
        EXPECT_EQ(::stat(target.file(path).c_str(), &s), 0) << path;
        EXPECT_EQ(s.st_uid, uid) << path;
        EXPECT_EQ(s.st_gid, gid) << path;
        EXPECT_EQ(s.st_mode & 07777, mode) << path;
    };
    owned("/userdata", 0, 990, 0775);
    owned("/userdata/system.csv", 990, 990, 0644);
    owned("/userdata/log", 990, 990, 0750);
    owned("/userdata/redis", 991, 990, 0750);
    // The site log's socket folder: its user's, entered by the station's group alone.
    owned("/run/station-sitelog", 992, 990, 0750);
    owned("/userdata/sitelog", 992, 992, 0700);
    // The TLS relay's folder (its configuration and keys): its user's alone.
    owned(STATION_TLS_DIR, 993, 993, 0700);
    owned("/etc/speaker.conf", 0, 990, 0640);
    owned("/sys/class/gpio/gpio66/value", 0, 990, 0664);
    owned("/sys/class/gpio/gpio131/value", 0, 990, 0664);
}

// A station's Redis and a root, without orvanel: the script starts it. Run
// by root, as on a board, it starts the programs as an unprivileged user:
// here `nobody`, given the root's files and a copy of the programs as a
// package gives them to `station` (the build's own folder may be closed to
// other users). Run by another user, it runs them as that user.
class InitScript : public RunningStation {
protected:
    static constexpr uid_t nobody = 65534;

    void SetUp() override
    {
        if (::geteuid() != 0)
            return;
        user_ = "nobody";
        bin_ = root.file("/programs");
        ASSERT_EQ(shell("mkdir -p " + bin_ + " && cp " STATION_BIN_DIR "/orvanel " STATION_BIN_DIR "/outputd " +
                        STATION_BIN_DIR "/sipbridge " + bin_ + " && chown -R " + std::to_string(nobody) + " " + root.path() + " && chmod 0755 " +
                        root.path()),
                  0);
    }

    // The script's environment: the programs under the root, run as `user`.
    std::string env(const std::string& user) const
    {
        return "STATION_ROOT=" + root.path() + " STATION_BIN=" + bin_ + " STATION_RUN=" + root.file("/run") +
               " STATION_LOG=" + root.file("/station.log") + " STATION_USER='" + user +
               "' STATION_UA_USER='" + user + "' STATION_REDIS_USER=" + std::to_string(::geteuid()) +
               " PATH=" + root.bin_dir() +
               ":$PATH STATION_EMULATOR='" + program_emulator() + "' ";
    }
    int script(const std::string& command) { return script_as(user_, command); }
    int script_as(const std::string& user, const std::string& command)
    {
        return shell(env(user) + "sh " + service_dir + "/station " + command + " >> " + root.file("/script.txt") +
                     " 2>&1");
    }
    std::string said() const { return root.read("/script.txt"); }

    std::string user_;
    std::string bin_ = STATION_BIN_DIR;
};

TEST_F(InitScript, StartsReportsAndStopsThePrograms)
{
    ASSERT_EQ(shell("sh -n " + service_dir + "/station"), 0);

    ASSERT_EQ(script("start"), 0) << said();
    EXPECT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }, 10s))
        << said() << root.read("/station.log");
    EXPECT_TRUE(alive(root.file("/run/orvanel.pid")));
    EXPECT_TRUE(alive(root.file("/run/outputd.pid")));
    if (!user_.empty()) {
        for (const char* program : {"orvanel", "outputd"}) {
            const std::string pid = root.read(std::string("/run/") + program + ".pid");
            EXPECT_EQ(uid_of(std::stoi(pid)), static_cast<long>(nobody)) << program;
        }
        EXPECT_NE(said().find(", user nobody)"), std::string::npos) << said();
    }
    // It works as that user: a key press reaches the operation log.
    watching_keys(std::stoi(root.read("/run/orvanel.pid")));
    tap(140);
    EXPECT_EQ(script("status"), 0) << said();
    EXPECT_EQ(script("start"), 0) << "a second start starts nothing";
    EXPECT_NE(said().find("orvanel is already running"), std::string::npos);

    const std::string orvanel_pid = root.read("/run/orvanel.pid");
    ASSERT_EQ(script("stop"), 0) << said();
    EXPECT_TRUE(wait_until([&] { return !alive(std::stoi(orvanel_pid)); }, 7s));
    EXPECT_FALSE(root.exists("/run/orvanel.pid"));
    EXPECT_EQ(script("status"), 3) << "3: not running";
    EXPECT_EQ(client.subscribers("session-channel"), 0);
}

// A pid file left from before a crash or a reboot names a process that now
// runs something else: stop leaves it alone, status does not count it, and
// start starts the program all the same.
TEST_F(InitScript, StalePidFileNeverSignalsAnUnrelatedProcess)
{
    const pid_t unrelated = spawn({"sleep", "300"}, {}, "/dev/null", "/dev/null");
    ASSERT_TRUE(alive(unrelated));
    const auto plant = [&] {
        for (const char* program : {"orvanel", "outputd"})
            root.write(std::string("/run/") + program + ".pid", std::to_string(unrelated) + "\n");
    };

    plant();
    EXPECT_EQ(script("status"), 3) << said();
    ASSERT_EQ(script("stop"), 0) << said();
    EXPECT_NE(said().find("orvanel is not running"), std::string::npos) << said();
    EXPECT_TRUE(alive(unrelated)) << "stop signalled a process that is not orvanel";

    plant();
    ASSERT_EQ(script("start"), 0) << said();
    EXPECT_EQ(said().find("already running"), std::string::npos) << said();
    EXPECT_TRUE(wait_until([&] { return client.subscribers("session-channel") == 1; }, 10s))
        << said() << root.read("/station.log");
    EXPECT_NE(std::stoi(root.read("/run/orvanel.pid")), unrelated);
    ASSERT_EQ(script("stop"), 0) << said();
    EXPECT_TRUE(alive(unrelated));
    ::kill(unrelated, SIGKILL);
    ::waitpid(unrelated, nullptr, 0);
}

// Root never starts a program as root: not with root named, not with no
// user named, not with a user that does not exist.
TEST_F(InitScript, RootStartsNothingAsRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can start the programs as another user";
    EXPECT_EQ(script_as("root", "start"), 1);
    EXPECT_NE(said().find("orvanel not started: root has uid 0, and the station's programs never run as root"),
              std::string::npos)
        << said();
    EXPECT_EQ(script_as("", "start"), 1);
    EXPECT_NE(said().find("orvanel not started: no user is set for it"), std::string::npos) << said();
    EXPECT_EQ(script_as("no-such-user", "start"), 1);
    EXPECT_NE(said().find("orvanel not started: there is no user no-such-user"), std::string::npos) << said();
    EXPECT_EQ(script("status"), 3);
    EXPECT_EQ(client.subscribers("session-channel"), 0);
}

// The filter takes its ports from the user agent's config, which start
// writes from the settings just before baresip: on the first start there is
// none before that, and the filter must still be in force when baresip
// listens.
TEST_F(InitScript, StartLoadsTheFilterOnceTheUserAgentsConfigIsWritten)
{
    // Stand-ins: nft notes whether the config was there when it was
    // called, baresip only waits.
    const std::string ua = root.file("/ua");
    ASSERT_EQ(shell("mkdir -p " + ua + " && chown " + (user_.empty() ? "$(id -u)" : user_) + " " + ua), 0);
    root.write("/bin/nft", "#!/bin/sh\nif [ -e " + ua + "/config ]; then echo config > " + root.file("/nft.saw") +
                               "; else echo none > " + root.file("/nft.saw") + "; fi\ncat > /dev/null\n");
    root.write("/bin/baresip", "#!/bin/sh\nexec sleep 60\n");
    for (const char* tool : {"/bin/nft", "/bin/baresip"})
        ASSERT_EQ(::chmod(root.file(tool).c_str(), 0755), 0);
    root.write("/etc/station/baresip.conf", read_text_file(STATION_SOURCE_DIR "/station/sip/baresip.conf"));
    root.write_settings("[account_info_1]\nenable = yes\nusername = 1000\ndomain = 127.0.0.1:5070\n"
                        "[sip]\nlisten = 127.0.0.1:5060\n");
    const std::string with_ua = "STATION_UA_DIR=" + ua + " STATION_BRIDGE_USER=" + std::to_string(::geteuid()) + " ";

    EXPECT_EQ(shell(with_ua + env(user_) + "sh " + service_dir + "/station start >> " + root.file("/script.txt") +
                    " 2>&1"),
              0)
        << said();
    EXPECT_TRUE(root.exists("/ua/config")) << said();
    EXPECT_EQ(root.read("/nft.saw"), "config\n") << "the filter was loaded after the config was written\n" << said();
    EXPECT_NE(said().find("started baresip"), std::string::npos) << said();
    EXPECT_EQ(said().find("filter is incomplete or not loaded"), std::string::npos) << said();
    EXPECT_EQ(shell(with_ua + env(user_) + "sh " + service_dir + "/station stop > /dev/null 2>&1"), 0);
}

// An account over TLS: start writes the relay's configuration with the user
// agent's, starts the relay and waits until it listens, and only then
// starts baresip; stop ends the relay too.
TEST_F(InitScript, StartRunsTheTlsRelayBeforeTheUserAgent)
{
    if (find_on_path("stunnel4").empty() || find_on_path("openssl").empty())
        GTEST_FAIL() << "install stunnel4 and openssl: the relay runs them";
    const std::string no_namespace = enter_own_network_namespace();
    if (!no_namespace.empty())
        GTEST_SKIP() << "\n*** NOT TESTED: the relay's fixed ports need a network namespace of the test's own: "
                     << no_namespace << " ***\n";
    const std::string ua = root.file("/ua");
    ASSERT_EQ(shell("mkdir -p " + ua + " " + root.file(STATION_TLS_DIR) + " " + root.file("/run") + " && cp " +
                    STATION_BIN_DIR "/station-tls-relay " + bin_ + " && chown -R " +
                    (user_.empty() ? "$(id -u)" : user_) + " " + ua + " " + root.file(STATION_TLS_DIR)),
              0);
    // Stand-ins: nft takes the filter, baresip notes whether the relay
    // listened when it started, then waits.
    root.write("/bin/nft", "#!/bin/sh\ncat > /dev/null\n");
    root.write("/bin/baresip", "#!/bin/sh\nif [ -e " + root.file("/run/station-tls/ready") + " ]; then echo ready > " +
                                   root.file("/baresip.saw") + "; else echo none > " + root.file("/baresip.saw") +
                                   "; fi\nexec sleep 60\n");
    for (const char* tool : {"/bin/nft", "/bin/baresip"})
        ASSERT_EQ(::chmod(root.file(tool).c_str(), 0755), 0);
    const test_authority authority = make_test_authority(root.file("/authority"), "pbx-ca");
    make_test_certificate(root.file("/etc/station"));
    root.write("/etc/station/ca.pem", read_text_file(authority.certificate));
    root.write("/etc/station/baresip.conf", read_text_file(STATION_SOURCE_DIR "/station/sip/baresip.conf"));
    root.write_settings("[account_info_1]\nenable = yes\nusername = 1000\ndomain = pbx.test\n"
                        "server = 127.0.0.1:5071\ntransport = tls\ntls_name = pbx.test\n"
                        "[sip]\nlisten = 127.0.0.1:5060\ncertificate = /etc/station/sip.pem\n"
                        "cafile = /etc/station/ca.pem\n");
    const std::string with_ua = "STATION_UA_DIR=" + ua + " STATION_BRIDGE_USER=" + std::to_string(::geteuid()) +
                                " STATION_TLS_USER='" + user_ + "' ";

    EXPECT_EQ(shell(with_ua + env(user_) + "sh " + service_dir + "/station start >> " + root.file("/script.txt") +
                    " 2>&1"),
              0)
        << said();
    EXPECT_NE(said().find("started station-tls-relay"), std::string::npos) << said();
    // (The stand-in makes its file, then writes its word into it.)
    EXPECT_TRUE(wait_until([&] { return root.exists("/baresip.saw") && !root.read("/baresip.saw").empty(); }))
        << said();
    EXPECT_EQ(root.read("/baresip.saw"), "ready\n")
        << "baresip started before the relay listened\n" << said() << root.read("/station.log");
    EXPECT_NE(root.read(STATION_TLS_DIR "/stunnel.conf").find("checkHost = pbx.test"), std::string::npos);
    // (The stand-in baresip is no baresip to status.)
    shell(with_ua + env(user_) + "sh " + service_dir + "/station status >> " + root.file("/script.txt") + " 2>&1");
    EXPECT_NE(said().find("station-tls-relay is running"), std::string::npos) << said();
    EXPECT_EQ(shell(with_ua + env(user_) + "sh " + service_dir + "/station stop >> " + root.file("/script.txt") +
                    " 2>&1"),
              0);
    EXPECT_NE(said().find("stopped station-tls-relay"), std::string::npos) << said();
}

TEST_F(InitScript, FilterCommandLoadsThePacketFilter)
{
    const std::string script = service_dir + "/station";
    // A stand-in nft keeps what it was given.
    root.write("/tools/nft", "#!/bin/sh\necho \"$@\" > " + root.file("/nft.args") + "\ncat > " +
                                 root.file("/nft.input") + "\n");
    ASSERT_EQ(::chmod(root.file("/tools/nft").c_str(), 0755), 0);
    root.write("/ua/config", "sip_listen 0.0.0.0:5060\nrtp_ports 10000-10099\n");
    root.write_settings("[account_info_1]\nenable = yes\nusername = 1000\ndomain = 192.0.2.10:5070\n"
                        "outbound = sip:192.0.2.11:5060\n");
    const std::string env = "STATION_ROOT=" + root.path() + " STATION_BIN=" STATION_BIN_DIR +
                            " STATION_BRIDGE_USER=" + std::to_string(::geteuid()) + " PATH=" +
                            root.file("/tools") + ":$PATH STATION_EMULATOR='" + program_emulator() + "' ";
    const std::string out = " >> " + root.file("/script.txt") + " 2>&1";

    EXPECT_EQ(shell(env + "sh " + script + " filter" + out), 1) << "no folder, no filter";
    EXPECT_FALSE(root.exists("/nft.input"));

    ASSERT_EQ(shell(env + "STATION_UA_DIR=" + root.file("/ua") + " sh " + script + " filter" + out), 0)
        << root.read("/script.txt");
    EXPECT_EQ(root.read("/nft.args"), "-f -\n");
    const std::string ruleset = root.read("/nft.input");
    EXPECT_NE(ruleset.find("delete table inet orvanel_station\n"), std::string::npos) << ruleset;
    EXPECT_NE(ruleset.find("ip saddr { 192.0.2.10, 192.0.2.11 } accept"), std::string::npos)
        << "the domain and the outbound proxy\n" << ruleset;
    EXPECT_NE(root.read("/script.txt").find("sipbridge: filter loaded"), std::string::npos) << root.read("/script.txt");
}
