// The installer's check against station roots made by the kit and a real
// redis-server: each part finds what a healthy station shows as ok, and
// names what was broken in the root.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "check/gpio_check.h"
#include "check/programs_check.h"
#include "check/redis_check.h"
#include "check/sip_check.h"
#include "check/storage_check.h"
#include "check/tools_check.h"
#include "common/c_holders.h"
#include "common/process.h"
#include "common/redis_link.h"
#include "station_kit/other_user.h"
#include "station_kit/station.h"

namespace {

// The finding for this item, or one with the item "missing" and an error.
finding item(const findings& all, const std::string& name)
{
    for (const finding& f : all)
        if (f.item == name)
            return f;
    return {"", "missing", verdict::error, name + " not among the findings"};
}

class StationCheck : public ::testing::Test {
protected:
    kit_root root;
    root_in_process in_root{root};
};

class StationCheckRedis : public StationCheck {
protected:
    redis_server redis{root};
    redis_client client{root.socket()};
};

}  // namespace

TEST_F(StationCheckRedis, HealthyServerAndItsListsAreOk)
{
    client.command("LPUSH %s %s", "writelog-channel", "BUTTON,KEY_GPIO140 Press,");
    redis_ptr c;
    const findings all = check_redis(c);
    ASSERT_TRUE(c);
    for (const finding& f : all)
        EXPECT_EQ(f.level, verdict::ok) << f.item << ": " << f.text;
    EXPECT_NE(item(all, "socket").text.find("answers"), std::string::npos);
    EXPECT_EQ(item(all, "writelog-channel").text, "1 elements");
}

TEST_F(StationCheckRedis, WrongTypesAndBacklogsAreNamed)
{
    client.command("SET %s %s", "output-channel", "not a list");
    for (int i = 0; i < 3; ++i)
        client.command("LPUSH %s %s", "writelog-processing", "BUTTON,held,");
    for (long long i = 0; i <= list_backlog; ++i)
        client.command("LPUSH %s %s", "cdr-channel", "a line");
    redis_ptr c;
    const findings all = check_redis(c);

    const finding type = item(all, "output-channel");
    EXPECT_EQ(type.level, verdict::error);
    EXPECT_NE(type.text.find("not a list"), std::string::npos) << type.text;
    EXPECT_NE(type.text.find("DEL output-channel"), std::string::npos) << type.text;
    EXPECT_EQ(item(all, "writelog-processing").level, verdict::warning);
    EXPECT_EQ(item(all, "cdr-channel").level, verdict::warning);
    EXPECT_EQ(item(all, "cdr-processing").level, verdict::ok);
}

TEST_F(StationCheckRedis, StalledServerGivesAnErrorWithinTheTimeOut)
{
    redis.pause();
    const auto start = std::chrono::steady_clock::now();
    redis_ptr c;
    const findings all = check_redis(c);
    const auto took = std::chrono::steady_clock::now() - start;
    redis.resume();
    EXPECT_FALSE(c);
    EXPECT_EQ(item(all, "socket").level, verdict::error) << item(all, "socket").text;
    EXPECT_LT(took, command_timeout * 2);
}

TEST_F(StationCheck, AbsentServerIsAnError)
{
    redis_ptr c;
    const findings all = check_redis(c);
    EXPECT_FALSE(c);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].level, verdict::error);
    EXPECT_NE(all[0].text.find("start the Redis service"), std::string::npos) << all[0].text;
}

// A server of another user on the station's socket is refused, as the
// programs refuse it, and the check says who runs it.
TEST_F(StationCheck, StrangersServerIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "NOT RUN: the stranger's Redis server must run as another user, which only root can start";
    if (find_on_path("setpriv").empty())
        GTEST_SKIP() << "NOT RUN: setpriv (util-linux) is not on PATH to start the stranger's Redis server";
    redis_server stranger(root, false);
    stranger.run_as(nobody_uid, nobody_uid);
    stranger.start();
    redis_ptr c;
    const findings all = check_redis(c);
    EXPECT_FALSE(c);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].level, verdict::error);
    EXPECT_NE(all[0].text.find("uid " + std::to_string(nobody_uid)), std::string::npos) << all[0].text;
    EXPECT_NE(all[0].text.find("stop that server"), std::string::npos) << all[0].text;
}

TEST_F(StationCheckRedis, ProgramsAreFoundUnderTheirRootOnly)
{
    // Nothing runs under this root yet.
    findings all = check_programs(station_processes(root.path()), nullptr);
    EXPECT_EQ(item(all, "orvanel").level, verdict::error);
    EXPECT_EQ(item(all, "outputd").level, verdict::error);
    EXPECT_EQ(item(all, "user agent").level, verdict::error);

    kit_program orvanel(root, orvanel_binary());
    kit_program outputd(root, outputd_binary());
    kit_program uasim(root, uasim_binary());
    ASSERT_TRUE(wait_until([&] { return client.subscribers("session-channel") >= 1; })) << orvanel.errors();
    redis_ptr c;
    check_redis(c);
    ASSERT_TRUE(c);
    ASSERT_TRUE(wait_until([&] {
        all = check_programs(station_processes(root.path()), c.get());
        return item(all, "orvanel").level == verdict::ok && item(all, "outputd").level == verdict::ok &&
               item(all, "user agent").level == verdict::ok;
    })) << item(all, "orvanel").text << " / " << item(all, "outputd").text << " / " << item(all, "user agent").text;

    // Another root's check does not count this root's programs.
    all = check_programs(station_processes(root.path() + "-other"), nullptr);
    EXPECT_EQ(item(all, "orvanel").level, verdict::error);
}

TEST(StationCheckServices, EachUnitGetsItsStateAndAShortAnswerIsNoPass)
{
    findings all = check_services("active\nfailed\nactive\ninactive\ninactive\nactive\nactive\n");
    ASSERT_EQ(all.size(), station_units.size());
    EXPECT_EQ(item(all, "station-filter.service").level, verdict::ok) << "the filter's loader ends after each run";
    EXPECT_EQ(item(all, "station-filter.timer").level, verdict::ok);
    EXPECT_EQ(item(all, "orvanel.service").level, verdict::ok);
    EXPECT_EQ(item(all, "outputd.service").level, verdict::error);
    EXPECT_NE(item(all, "outputd.service").text.find("journalctl -u outputd"), std::string::npos);
    EXPECT_EQ(item(all, "station-baresip.service").level, verdict::error);

    all = check_services("active\nactive\nactive\nactive\nfailed\ninactive\n");
    EXPECT_EQ(item(all, "station-filter.service").level, verdict::error) << "a failed load leaves strangers' calls in";
    EXPECT_EQ(item(all, "station-filter.path").level, verdict::error);

    all = check_services("active\n");
    EXPECT_EQ(item(all, "orvanel.service").level, verdict::ok);
    EXPECT_EQ(item(all, "sipbridge.service").level, verdict::warning) << "no state is not an active unit";
    EXPECT_TRUE(check_services_now().empty()) << "under a station root systemd is not asked";
}

TEST_F(StationCheck, GpioLinesAtRestAreOkAndFaultsAreNamed)
{
    findings all = check_gpio("ZR-K11");
    for (const finding& f : all)
        EXPECT_EQ(f.level, verdict::ok) << f.item << ": " << f.text;
    EXPECT_EQ(all.size(), 8u);
    EXPECT_EQ(check_gpio("ZR-K10").size(), 6u) << "the one-key model has no second key's LEDs";

    root.set_gpio(3, 1);    // the housing open
    root.set_gpio(140, 0);  // key 1 held or shorted
    root.write("/sys/class/gpio/gpio66/direction", "in\n");
    std::remove(root.file("/sys/class/gpio/gpio131/value").c_str());
    chmod(root.file("/sys/class/gpio/gpio130/value").c_str(), 0444);
    all = check_gpio("ZR-K11");
    EXPECT_EQ(item(all, "gpio3").level, verdict::warning);
    EXPECT_NE(item(all, "gpio3").text.find("open"), std::string::npos);
    EXPECT_EQ(item(all, "gpio140").level, verdict::warning);
    EXPECT_EQ(item(all, "gpio66").level, verdict::error);
    EXPECT_NE(item(all, "gpio66").text.find("\"in\", not \"out\""), std::string::npos) << item(all, "gpio66").text;
    EXPECT_EQ(item(all, "gpio131").level, verdict::error);
    if (geteuid() != 0) {  // root may write whatever the mode says
        EXPECT_EQ(item(all, "gpio130").level, verdict::error);
    }
}

// The metrics timer runs the check in a sandbox that mounts /sys read-only:
// access(2) then says EROFS for every file, and the check judges an output
// by its owner, group and mode instead of calling it unwritable.
// The metrics timer's sandbox shows /sys and /userdata read-only: the check
// there judges outputs and the records' folder by owner, group and mode, and
// still names a file system that is itself read-only.
TEST_F(StationCheck, ReadOnlyViewsAreSeenThroughButAReadOnlyFileSystemIsNamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a mount namespace of the test's own takes root";
    chmod(root.file("/sys/class/gpio/gpio130/value").c_str(), 0444);
    const auto read_only_view = [](const std::string& dir) {
        return mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    };
    const std::string sys = root.file("/sys");
    const std::string userdata = root.file("/userdata");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            !read_only_view(sys) || !read_only_view(userdata))
            _exit(8);
        const bool read_only = access(root.file("/sys/class/gpio/gpio66/value").c_str(), W_OK) != 0 && errno == EROFS;
        const findings all = check_gpio("ZR-K11");
        int failed = (read_only ? 0 : 4) | (item(all, "gpio66").level == verdict::ok ? 0 : 1) |
                     (item(all, "gpio130").level == verdict::error ? 0 : 2) |
                     (item(check_storage(), "/userdata").level == verdict::ok ? 0 : 16);
        // A file system of its own, remounted read-only as after an error.
        if (mount("tmpfs", userdata.c_str(), "tmpfs", 0, "size=1m") != 0 ||
            mount("tmpfs", userdata.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m") != 0)
            _exit(8);
        const finding ro = item(check_storage(), "/userdata");
        if (ro.level != verdict::error || ro.text.find("mounted read-only") == std::string::npos)
            failed |= 32;
        _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a writable output called unwritable; 2: a 0444 one called writable; "
                                         "4: the mount was not read-only; 8: no mount namespace; 16: a read-only "
                                         "view of /userdata called read-only; 32: a read-only file system not named";
}

TEST_F(StationCheck, RecordFilesWithACutLastLineAreNamed)
{
    findings all = check_storage();
    EXPECT_EQ(item(all, "/userdata").level, verdict::ok) << item(all, "/userdata").text;
    EXPECT_EQ(item(all, "system.csv").level, verdict::ok);
    EXPECT_NE(item(all, "system.csv").text.find("not written yet"), std::string::npos);

    root.write("/userdata/system.csv", "2026-12-09 10:00:00,BUTTON,KEY_GPIO140 Press,\n");
    root.write("/userdata/cdr.csv", "2026-12-09,10:31:05,10:31:40,sip:201@pbx.exam");
    all = check_storage();
    EXPECT_EQ(item(all, "system.csv").level, verdict::ok);
    EXPECT_NE(item(all, "system.csv").text.find("whole line"), std::string::npos);
    EXPECT_EQ(item(all, "cdr.csv").level, verdict::warning);
    EXPECT_NE(item(all, "cdr.csv").text.find("last line is cut"), std::string::npos);

    mkdir(root.file("/userdata/log").c_str(), 0755);
    mkdir(root.file("/userdata/log/orvanel.log").c_str(), 0755);  // a folder where the log belongs
    EXPECT_EQ(item(check_storage(), "message log").level, verdict::error);
}

TEST_F(StationCheck, MissingToolsAndSoundsAreNamed)
{
    root.write_settings("[system]\nlanguage = en\n[unpack-intercom]\nactive = 3\naudio_file = /userdata/alarm.mp3\n");
    root.write("/userdata/alarm.mp3", "sound");
    findings all = check_tools();
    EXPECT_EQ(item(all, "amixer").level, verdict::ok) << item(all, "amixer").text;
    EXPECT_EQ(item(all, "amplifier script").level, verdict::ok) << item(all, "amplifier script").text;
    EXPECT_EQ(item(all, "beep").level, verdict::ok);
    EXPECT_EQ(item(all, "tamper sound").level, verdict::ok) << item(all, "tamper sound").text;

    std::remove(root.file("/etc/scripts/pa_mute.sh").c_str());
    std::remove(root.file("/home/kovrin/target/share/sounds/en/digit-7.mp3").c_str());
    std::remove(root.file("/userdata/alarm.mp3").c_str());
    all = check_tools();
    EXPECT_EQ(item(all, "amplifier script").level, verdict::error);
    EXPECT_EQ(item(all, "spoken address").level, verdict::error);
    EXPECT_NE(item(all, "spoken address").text.find("digit-7.mp3"), std::string::npos);
    EXPECT_EQ(item(all, "tamper sound").level, verdict::error);
}

TEST_F(StationCheck, AccountsRegistrationAndListenAddress)
{
    root.write_settings("[account_info_1]\nenable = yes\nusername = 1000\ndomain = example.test\n"
                        "server = 10.0.0.9\npassword = s3cret\ntransport = tls\n"
                        "[account_info_2]\nenable = yes\nusername = 2000\ndomain = example.test\n"
                        "[account_info_3]\nenable = yes\nusername = 30 00\ndomain = example.test\n"
                        "[sip]\nlisten = 192.0.2.77:5070\n");
    root.write("/userdata/system.csv",
               "2026-12-09 09:59:00,SIP STATE,Primary Account REGISTER FAILED <sip:1000@example.test>,403 Forbidden\n"
               "2026-12-09 10:00:00,SIP STATE,SIP REGISTERED,Primary SIP Account <sip:1000@example.test>\n"
               "2026-12-09 10:05:00,SIP STATE,Secondary Account-1 REGISTER FAILED <sip:2000@example.test>,"
               "401 Unauthorized\n");
    const findings all = check_sip();

    const finding one = item(all, "account_info_1");
    EXPECT_EQ(one.level, verdict::ok) << one.text;
    EXPECT_NE(one.text.find("transport tls"), std::string::npos) << one.text;
    EXPECT_NE(one.text.find("server 10.0.0.9"), std::string::npos) << one.text;
    for (const finding& f : all)
        EXPECT_EQ(f.text.find("s3cret"), std::string::npos) << "the password is never shown: " << f.text;
    EXPECT_EQ(item(all, "account_info_1 registration").level, verdict::ok);
    EXPECT_NE(item(all, "account_info_1 registration").text.find("last failure at 2026-12-09 09:59:00: 403 Forbidden"),
              std::string::npos)
        << item(all, "account_info_1 registration").text;
    const finding failed = item(all, "account_info_2 registration");
    EXPECT_EQ(failed.level, verdict::error);
    EXPECT_NE(failed.text.find("401 Unauthorized"), std::string::npos) << failed.text;
    EXPECT_NE(failed.text.find("2026-12-09 10:05:00"), std::string::npos) << failed.text;
    EXPECT_EQ(item(all, "account_info_3").level, verdict::error) << "a user name with a blank has no line";
    EXPECT_EQ(item(all, "listen").level, verdict::error) << item(all, "listen").text;
}

TEST(StationCheckSip, LastRegistrationEntryWins)
{
    const std::string aor = "sip:1000@example.test";
    const std::string log =
        "2026-12-09 09:00:00,SIP STATE,Primary Account REGISTER FAILED <sip:1000@example.test>,408 Request Timeout\n"
        "2026-12-09 09:01:00,SIP STATE,SIP REGISTERED,Primary SIP Account <sip:1000@example.test.evil>\n"
        "2026-12-09 09:02:00,BUTTON,KEY_GPIO140 Press,<sip:1000@example.test>\n";
    std::optional<registration_entry> last = last_registration(log, aor);
    ASSERT_TRUE(last);
    EXPECT_FALSE(last->registered) << "another address and another category do not count";
    EXPECT_EQ(last->reason, "408 Request Timeout");
    last = last_registration(log + "2026-12-09 09:03:00,SIP STATE,SIP REGISTERED,Primary SIP Account <" + aor + ">",
                             aor);
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->registered);
    EXPECT_EQ(last->time, "2026-12-09 09:03:00");
    EXPECT_FALSE(last_registration("", aor));

    board_addresses board;
    board.all = {"127.0.0.1", "192.168.1.20"};
    EXPECT_EQ(check_listen_address("", board).level, verdict::error) << "no eth0 address to listen on";
    board.eth0 = "192.168.1.20";
    EXPECT_EQ(check_listen_address("", board).level, verdict::ok);
    EXPECT_EQ(check_listen_address("192.168.1.20:5070", board).level, verdict::ok);
    EXPECT_EQ(check_listen_address("0.0.0.0", board).level, verdict::ok);
    EXPECT_EQ(check_listen_address("10.9.9.9", board).level, verdict::error);
    EXPECT_EQ(check_listen_address("not an address;rm", board).level, verdict::error);
    board.error = "Address family not supported by protocol";
    const finding unread = check_listen_address("", board);
    EXPECT_EQ(unread.level, verdict::warning) << "not checked, rather than eth0 taken for missing";
    EXPECT_NE(unread.text.find("cannot be read here (Address family"), std::string::npos) << unread.text;
}

namespace {

// A folder of the test's own, removed at the end with what it holds.
struct temporary_folder {
    temporary_folder()
    {
        char templ[] = "/tmp/station-check.XXXXXX";
        if (mkdtemp(templ) == nullptr)
            throw std::runtime_error("cannot make a folder");
        path = templ;
    }
    ~temporary_folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    temporary_folder(const temporary_folder&) = delete;
    temporary_folder& operator=(const temporary_folder&) = delete;
    std::string path;
};

// The simulated station with the template's settings (account 1 on the
// PBX at 192.168.1.10, both keys, the relay, the tamper switch), its
// programs running and its account registered.
class StationCheckProgram : public ::testing::Test {
protected:
    void start_station()
    {
        // The user agent listens on loopback, which every machine has (the
        // template's empty listen means eth0's address, which a test
        // machine may lack).
        std::string settings = root.read("/etc/speaker.conf");
        const std::string sip = "[sip]\nlisten =\n";
        ASSERT_NE(settings.find(sip), std::string::npos);
        settings.replace(settings.find(sip), sip.size(), "[sip]\nlisten = 127.0.0.1\n");
        root.write_settings(settings);
        orvanel = kit_program(root, orvanel_binary());
        outputd = kit_program(root, outputd_binary());
        uasim = kit_program(root, uasim_binary());
        ASSERT_TRUE(wait_until([&] {
            return root.read("/userdata/system.csv").find("SIP REGISTERED") != std::string::npos;
        })) << orvanel.report("orvanel") << uasim.report("uasim");
    }

    // Runs station-check under the root; its exit status, or -1 when it
    // did not end within the time-out.
    int run_check(const std::vector<std::string>& args, std::string& output,
                  std::chrono::milliseconds timeout = 10s)
    {
        kit_program check(root, STATION_BIN_DIR "/station-check", args, {"NO_COLOR=1"});
        const std::optional<int> status = check.wait_exit(timeout);
        output = check.output();
        return status.value_or(-1);
    }

    temporary_folder folder;
    kit_root root{folder.path + "/root"};
    redis_server redis{root};
    kit_program orvanel, outputd, uasim;
};

}  // namespace

TEST_F(StationCheckProgram, HealthyStationIsReadyAndTheJsonCarriesTheSameItems)
{
    start_station();
    std::string text;
    ASSERT_EQ(run_check({}, text), 0) << text;
    EXPECT_NE(text.find("0 warnings, 0 errors"), std::string::npos) << text;

    std::string json_text;
    ASSERT_EQ(run_check({"--json"}, json_text), 0) << json_text;
    const json_ptr json(cJSON_Parse(json_text.c_str()));
    ASSERT_TRUE(json) << json_text;
    const cJSON* all = cJSON_GetObjectItemCaseSensitive(json.get(), "findings");
    ASSERT_TRUE(cJSON_IsArray(all));
    EXPECT_GT(cJSON_GetArraySize(all), 40);
    const cJSON* f = nullptr;
    cJSON_ArrayForEach(f, all)
    {
        const cJSON* item_name = cJSON_GetObjectItemCaseSensitive(f, "item");
        const cJSON* level = cJSON_GetObjectItemCaseSensitive(f, "verdict");
        ASSERT_TRUE(cJSON_IsString(item_name) && cJSON_IsString(level));
        EXPECT_STREQ(level->valuestring, "ok") << item_name->valuestring;
        EXPECT_NE(text.find(std::string(item_name->valuestring) + ": "), std::string::npos)
            << item_name->valuestring << " is in the JSON but not in the text";
    }
}

TEST_F(StationCheckProgram, StalledRedisIsAnErrorWithinTheTimeOut)
{
    start_station();
    redis.pause();
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    const int status = run_check({}, text);
    const auto took = std::chrono::steady_clock::now() - start;
    redis.resume();
    EXPECT_EQ(status, 2) << text;
    EXPECT_LT(took, command_timeout * 2 + 1s) << "one time-out for the stalled server, not one per check";
    EXPECT_NE(text.find("ERROR    socket"), std::string::npos) << text;
}

TEST_F(StationCheckProgram, StoppedProgramsAreErrors)
{
    start_station();
    outputd.kill();
    uasim.kill();
    std::string text;
    EXPECT_EQ(run_check({}, text), 2) << text;
    EXPECT_NE(text.find("outputd: not running"), std::string::npos) << text;
    EXPECT_NE(text.find("user agent: neither sipbridge nor uasim runs"), std::string::npos) << text;
}

namespace {

// The samples of a metrics text (the file, or what node_exporter serves):
// "name{labels}" to its value, comments left out.
std::map<std::string, double> samples_of(const std::string& text)
{
    std::map<std::string, double> samples;
    for (const std::string& line : split(text, '\n')) {
        const std::size_t blank = line.rfind(' ');
        if (line.empty() || line[0] == '#' || blank == std::string::npos)
            continue;
        samples[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
    }
    return samples;
}

// The sample's value; NaN, which no expectation matches, when it is absent.
double value(const std::map<std::string, double>& samples, const std::string& key)
{
    const auto found = samples.find(key);
    return found == samples.end() ? std::nan("") : found->second;
}

// The names in a folder.
std::vector<std::string> folder_names(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    return names;
}

// station-check with a metrics file in a folder of its own, in UTC so that
// the last call's time is known here.
class StationMetrics : public StationCheckProgram {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(metrics_dir.c_str(), 0755), 0); }

    int run_metrics_check(std::vector<std::string> args, std::string& output, std::string& errors)
    {
        kit_program check(root, STATION_BIN_DIR "/station-check", std::move(args), {"NO_COLOR=1", "TZ=UTC"});
        const std::optional<int> status = check.wait_exit(15s);
        output = check.output();
        errors = check.errors();
        return status.value_or(-1);
    }

    const std::string metrics_dir = folder.path + "/textfiles";
    const std::string metrics_file = metrics_dir + "/orvanel-station.prom";
    // The account of the template's settings, as its address of record.
    const std::string account_1 =
        R"(orvanel_station_account_registered{account="1",address_of_record="sip:1000@192.168.1.10"})";
};

}  // namespace

// A station in a known state (registered, a lockout in force, requests
// waiting for outputd, a call recorded) gives its figures in the file; the
// file is replaced by rename, never rewritten in place, and no other name
// is left beside it; the plugin's status line names the worst.
TEST_F(StationMetrics, FileHoldsTheFiguresOfAKnownStationAndIsReplacedWhole)
{
    root.write("/userdata/cdr.csv", "2026-12-09,10:31:05,10:31:40,sip:1000@192.168.1.10,2001,30,out,ANSWERED,BYE\n");
    start_station();
    redis_client client(root.socket());
    ASSERT_TRUE(client.command("SET %s %s PX 60000", "dtmf-lockout", "60"));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(client.command("LPUSH %s %s", "output-processing", R"({"id":"gpio135","type":"On"})"));

    const auto before = std::time(nullptr);
    std::string output, errors;
    ASSERT_EQ(run_metrics_check({"--prometheus", metrics_file}, output, errors), 1) << output << errors;
    EXPECT_EQ(output, "") << "a metrics run prints nothing while all goes well";
    EXPECT_EQ(errors, "");
    const std::string text = read_text_file(metrics_file);
    const std::map<std::string, double> m = samples_of(text);
    EXPECT_EQ(value(m, account_1), 1) << text;
    EXPECT_EQ(value(m, "orvanel_station_ready"), 0) << text;
    EXPECT_EQ(value(m, "orvanel_station_relay_level"), 0) << text;
    EXPECT_EQ(value(m, "orvanel_station_tamper_open"), 0) << text;
    EXPECT_EQ(value(m, "orvanel_station_door_lockout"), 1) << text;
    EXPECT_GT(value(m, "orvanel_station_door_lockout_remaining_seconds"), 45) << text;
    EXPECT_LE(value(m, "orvanel_station_door_lockout_remaining_seconds"), 60) << text;
    EXPECT_EQ(value(m, R"(orvanel_station_list_length{list="output-processing"})"), 2) << text;
    EXPECT_EQ(m.count(R"(orvanel_station_list_length{list="cdr-processing"})"), 1u) << text;
    EXPECT_EQ(value(m, R"(orvanel_station_findings{verdict="warning"})"), 2) << text;
    EXPECT_EQ(value(m, R"(orvanel_station_findings{verdict="error"})"), 0) << text;
    EXPECT_EQ(value(m, "orvanel_station_last_call_timestamp_seconds"), 1796812265)
        << "2026-12-09 10:31:05 UTC\n" << text;
    EXPECT_EQ(value(m, "orvanel_station_check_success"), 1) << text;
    EXPECT_GE(value(m, "orvanel_station_check_timestamp_seconds"), before) << text;
    EXPECT_LE(value(m, "orvanel_station_check_timestamp_seconds"), std::time(nullptr)) << text;
    struct stat st {};
    ASSERT_EQ(stat(metrics_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "node_exporter reads it as its own user";

    // The next run renames a new file over it: a reader that opened the
    // old one still reads it whole, and the name holds another file.
    const unique_fd old_file(open(metrics_file.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(old_file);
    ASSERT_TRUE(client.command("DEL %s", "dtmf-lockout"));
    ASSERT_EQ(run_metrics_check({"--prometheus", metrics_file, "--plugin"}, output, errors), 1) << output << errors;
    EXPECT_EQ(output.rfind("STATION WARNING - 1 warning: redis/output-processing: 2 elements waiting", 0), 0u)
        << output;
    EXPECT_NE(output.find(" | ok="), std::string::npos) << output;
    struct stat now {};
    ASSERT_EQ(stat(metrics_file.c_str(), &now), 0);
    EXPECT_NE(now.st_ino, st.st_ino) << "written in place, where a scrape could read half of it";
    std::string old_text(text.size() + 1, '\0');
    EXPECT_EQ(pread(old_file.get(), old_text.data(), old_text.size(), 0), static_cast<ssize_t>(text.size()));
    old_text.resize(text.size());
    EXPECT_EQ(old_text, text);
    EXPECT_EQ(value(samples_of(read_text_file(metrics_file)), "orvanel_station_door_lockout"), 0);
    EXPECT_EQ(folder_names(metrics_dir), std::vector<std::string>{"orvanel-station.prom"})
        << "a temporary name was left";
}

// With Redis down what only Redis knows is left out, not written as 0, and
// the file says that the check could not read everything.
TEST_F(StationMetrics, WhatRedisCannotTellIsLeftOut)
{
    redis.stop();
    std::string output, errors;
    ASSERT_EQ(run_metrics_check({"--prometheus", metrics_file}, output, errors), 2) << output << errors;
    const std::string text = read_text_file(metrics_file);
    for (const char* unknown : {"orvanel_station_account_registered", "orvanel_station_door_lockout",
                                "orvanel_station_list_length"})
        EXPECT_EQ(text.find(unknown), std::string::npos) << unknown << "\n" << text;
    const std::map<std::string, double> m = samples_of(text);
    EXPECT_EQ(value(m, "orvanel_station_ready"), 0) << text;
    EXPECT_EQ(value(m, "orvanel_station_check_success"), 0) << text;
    EXPECT_GE(value(m, R"(orvanel_station_findings{verdict="error"})"), 1) << text;
    EXPECT_EQ(m.count("orvanel_station_relay_level"), 1u) << "the GPIO lines do not need Redis\n" << text;
    EXPECT_EQ(m.count("orvanel_station_last_call_timestamp_seconds"), 0u) << "no call is recorded\n" << text;
}

// A check that cannot do what it was asked is UNKNOWN (3), for a plugin on
// its first line too, and leaves no file behind.
TEST_F(StationMetrics, UnusableCommandLinesAndUnwritableFilesAreUnknown)
{
    redis.stop();  // not needed: each run is quick without it
    std::string output, errors;
    EXPECT_EQ(run_metrics_check({"--bogus"}, output, errors), 3) << output << errors;
    EXPECT_NE(errors.find("unknown option --bogus"), std::string::npos) << errors;
    EXPECT_EQ(run_metrics_check({"--plugin", "--bogus"}, output, errors), 3);
    EXPECT_EQ(output.rfind("STATION UNKNOWN - unknown option --bogus\n", 0), 0u) << output;
    EXPECT_EQ(run_metrics_check({"--prometheus"}, output, errors), 3) << errors;
    EXPECT_EQ(run_metrics_check({"--prometheus", "--plugin"}, output, errors), 3) << errors;
    EXPECT_EQ(run_metrics_check({"--json", "--plugin"}, output, errors), 3) << errors;

    EXPECT_EQ(run_metrics_check({"--prometheus", folder.path + "/missing/station.prom"}, output, errors), 3);
    EXPECT_NE(errors.find("cannot write " + folder.path + "/missing/station.prom"), std::string::npos) << errors;
    // A folder where the file belongs: the new file cannot be renamed over
    // it, and goes again.
    ASSERT_EQ(mkdir(metrics_file.c_str(), 0755), 0);
    EXPECT_EQ(run_metrics_check({"--prometheus", metrics_file, "--plugin"}, output, errors), 3);
    EXPECT_EQ(output, "STATION UNKNOWN - cannot write " + metrics_file + ": the rename over it: Is a directory\n");
    EXPECT_EQ(folder_names(metrics_dir), std::vector<std::string>{"orvanel-station.prom"});

    // A root that the programs refuse is not checked at all; the file says
    // that the check failed.
    const std::string other_file = metrics_dir + "/other.prom";
    kit_program refused(root, STATION_BIN_DIR "/station-check", {"--plugin", "--prometheus", other_file},
                        {"STATION_ROOT=" + root.path() + ";true"});
    EXPECT_EQ(refused.wait_exit(15s), 3);
    EXPECT_EQ(refused.output().rfind("STATION UNKNOWN - STATION_ROOT may hold only", 0), 0u) << refused.output();
    EXPECT_EQ(value(samples_of(read_text_file(other_file)), "orvanel_station_check_success"), 0)
        << read_text_file(other_file);
}

// Debian's node_exporter, on a port of its own, serves the file's figures
// and parses it without an error, hostile label values from the settings
// included (a quote, a backslash, a terminal escape, a byte that is no
// UTF-8: any of them unescaped would cost the whole file).
TEST_F(StationMetrics, NodeExporterServesTheFigures)
{
    if (find_on_path("prometheus-node-exporter").empty() || find_on_path("curl").empty())
        GTEST_SKIP() << "NOT RUN: prometheus-node-exporter and curl (scripts/install-deps.sh installs them)";
    std::string settings = root.read("/etc/speaker.conf");
    const std::string user = "username = 1000\n";
    ASSERT_NE(settings.find(user), std::string::npos);
    settings.replace(settings.find(user), user.size(), "username = 1\"0\\0\x1b[2J\xff\n");
    root.write_settings(settings);
    std::string output, errors;
    ASSERT_EQ(run_metrics_check({"--prometheus", metrics_file}, output, errors), 2) << output << errors;

    kit_program exporter;
    std::string url;
    std::string served;
    for (int attempt = 0; attempt < 3 && served.empty(); ++attempt) {
        const int port = free_port_block(1);
        url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
        exporter = kit_program({"prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
                                "--collector.textfile.directory=" + metrics_dir, "--web.disable-exporter-metrics",
                                "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                               {}, folder.path + "/node-exporter");
        // Up once it answers; a port taken meanwhile ends it, and another is tried.
        wait_until([&] {
            kit_program curl({"curl", "-sS", "--max-time", "2", url}, {}, folder.path + "/curl");
            if (curl.wait_exit(5s) == 0)
                served = curl.output();
            return !served.empty() || !exporter.running();
        }, 10s);
    }
    ASSERT_FALSE(served.empty()) << exporter.report("prometheus-node-exporter");
    const std::map<std::string, double> m = samples_of(served);
    EXPECT_EQ(m.count("node_textfile_scrape_error"), 1u) << served;
    EXPECT_EQ(value(m, "node_textfile_scrape_error"), 0) << "node_exporter could not parse the file\n"
                                                  << exporter.report("prometheus-node-exporter") << served;
    const std::string hostile =
        R"(orvanel_station_account_registered{account="1",address_of_record="sip:1\"0\\0?[2J?@192.168.1.10"})";
    EXPECT_EQ(m.count(hostile), 1u) << served;
    EXPECT_EQ(value(m, hostile), 0) << "nothing runs: not registered";
    EXPECT_EQ(value(m, "orvanel_station_ready"), 0) << served;
    EXPECT_EQ(value(m, "orvanel_station_check_success"), 1) << served;
    EXPECT_EQ(value(m, R"(orvanel_station_list_length{list="writelog-channel"})"), 0) << served;
    EXPECT_EQ(value(m, "orvanel_station_check_timestamp_seconds"),
              value(samples_of(read_text_file(metrics_file)), "orvanel_station_check_timestamp_seconds"));
    exporter.kill();
}
