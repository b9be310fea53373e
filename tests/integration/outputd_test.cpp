// The real outputd under a station root: relay requests on output-channel
// in; the line gpio66, operation-log entries and curl calls out.
#include <filesystem>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "station_kit/station.h"

namespace {

// The gaps between level changes in a sample taken every 10 ms.
std::vector<int> gaps_ms(const std::vector<int>& levels)
{
    std::vector<int> gaps;
    int last = -1;
    for (std::size_t i = 1; i < levels.size(); ++i) {
        if (levels[i] == levels[i - 1])
            continue;
        if (last >= 0)
            gaps.push_back(static_cast<int>(i - static_cast<std::size_t>(last)) * 10);
        last = static_cast<int>(i);
    }
    return gaps;
}

// The voluntary context switches of the process's thread of that name so
// far: one for each time it blocked, so a thread that sleeps in short steps
// shows a switch for each. (A sanitizer's own thread, which wakes on its
// own schedule, is not counted.)
long voluntary_switches(pid_t pid, const std::string& thread)
{
    const std::string field = "voluntary_ctxt_switches:";
    long total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        if (read_text_file(task.path().string() + "/comm") != thread + "\n")
            continue;
        std::istringstream status(read_text_file(task.path().string() + "/status"));
        for (std::string line; std::getline(status, line);)
            if (line.compare(0, field.size(), field) == 0)
                total += std::stol(line.substr(field.size()));
    }
    return total;
}

const char* const relay_line = "/sys/class/gpio/gpio66/value";

// Counts the writes of a file from its making on: each shell "echo" closes
// the file once. The opens are watched too, because the kernel merges an
// event with an unread one just like it.
class write_counter {
public:
    explicit write_counter(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE_WRITE);
    }
    ~write_counter() { close(fd_); }
    write_counter(const write_counter&) = delete;
    write_counter& operator=(const write_counter&) = delete;
    int count()
    {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                writes_ += (event->mask & IN_CLOSE_WRITE) != 0;
                at += sizeof(inotify_event) + event->len;
            }
        return writes_;
    }

private:
    int fd_;
    int writes_ = 0;
};

}  // namespace

class Outputd : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure() && outputd)
            std::cerr << outputd->report("outputd");
    }

    void start(const std::string& relay_settings, std::vector<std::string> args = {"debug"})
    {
        root.write_settings("[relay_ctrl]\n" + relay_settings);
        outputd = std::make_unique<kit_program>(root, outputd_binary(), std::move(args));
    }
    void request(const std::string& text)
    {
        client.command("LPUSH output-channel %s", text);
        ++requests_;
    }
    void relay(const std::string& type) { request(R"({"id":"gpio135","type":")" + type + "\"}"); }
    // Waits until outputd has handled every request sent so far: each ends
    // with its status line, or with the parse failure of a text that is no
    // JSON.
    void handled()
    {
        const auto finished = [&] {
            const std::string out = "\n" + outputd->output();
            return count_of(out, "\nGPIO130_STATUS is: ") + count_of(out, "\nparse failed!\n") >= requests_;
        };
        ASSERT_TRUE(wait_until(finished)) << requests_ << " requests";
    }
    static std::size_t count_of(const std::string& text, const std::string& part)
    {
        std::size_t n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }
    std::vector<std::string> entries()
    {
        auto items = client.list("writelog-channel");
        return {items.rbegin(), items.rend()};
    }
    std::vector<std::string> curl_urls()
    {
        std::vector<std::string> urls;
        for (const auto& call : root.tool_calls())
            if (call.name == "curl" && !call.args.empty())
                urls.push_back(call.args.back());
        return urls;
    }

    std::size_t requests_ = 0;
    kit_root root;
    redis_server redis{root};
    redis_client client{root.socket()};
    std::unique_ptr<kit_program> outputd;
};

// Tests that time blinks and holds, or hold the station to a deadline, carry
// the "Timed" suite prefix: ctest runs them one at a time (label "timed").
using TimedOutputd = Outputd;

TEST_F(Outputd, SingleAToggleRestsHighFromStart)
{
    root.set_gpio(66, 0);
    start("relay_mode = singleAToggle\n");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
}

TEST_F(Outputd, DisabledRelayLetsMusicOrAlarmDecideTheIdleLevel)
{
    root.set_gpio(66, 0);
    start("relay_mode = Disabled\nplay_music = Disabled\nalarm = singleAToggle\n");
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 2s));
}

TEST_F(Outputd, SingleBToggleOnAndOff)
{
    start("relay_mode = singleBToggle\n");
    relay("On");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 2s));
    relay("Off");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 0; }, 2s));
    relay("Off");  // already off: no second entry
    handled();
    EXPECT_EQ(entries(), (std::vector<std::string>{"FUNCTION,RELAY Control,On", "FUNCTION,RELAY Control,OFF"}));
    const std::string out = outputd->output();
    EXPECT_NE(out.find("GPIO135_STATUS is: 1, recieved type: On\n"), std::string::npos);
    EXPECT_NE(out.find("keystr: \"relay_ctrl:relay_mode\" ; value: singleBToggle.\n"), std::string::npos);
}

// outputd killed with a request taken but not carried out left it on its
// processing list: the next start carries it out first.
TEST_F(Outputd, RequestInFlightAtAKillIsCarriedOutAtTheNextStart)
{
    client.command("LPUSH output-processing %s", std::string(R"({"id":"gpio135","type":"On"})"));
    start("relay_mode = singleBToggle\n");
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s));
    EXPECT_TRUE(wait_until([&] { return client.list("output-processing").empty(); }));
    EXPECT_TRUE(wait_until([&] { return entries() == std::vector<std::string>{"FUNCTION,RELAY Control,On"}; }));
    relay("Off");
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 0; }, 3s));
    EXPECT_TRUE(client.list("output-processing").empty());
}

TEST_F(Outputd, SingleAToggleSwitchesOnToLow)
{
    start("relay_mode = singleAToggle\n");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 2s));
    relay("On");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 0; }, 2s));
    relay("Off");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 2s));
    handled();
    // On gives state 0 right after start, so no "OFF" entry; Off gives the
    // non-zero state 1 and is logged by its own word.
    EXPECT_EQ(entries(), std::vector<std::string>{"FUNCTION,RELAY Control,Off"});
}

TEST_F(TimedOutputd, FastAndSlowToggleBlinkAtTheirRates)
{
    start("relay_mode = singleBToggle\n");
    // Each sample starts once the daemon holds the new state.
    relay("fastToggle");
    ASSERT_TRUE(outputd->wait_output("GPIO135_STATUS is: 2,"));
    const auto fast = gaps_ms(sample_gpio(root, 66, 2000ms));
    EXPECT_GE(fast.size(), 3u);
    for (int gap : fast)
        EXPECT_LT(gap, 700) << "the fast blink toggles about every 0.4 s";
    relay("slowToggle");
    ASSERT_TRUE(outputd->wait_output("GPIO135_STATUS is: 3,"));
    // A fast toggle already under way may still land first, so the first gap
    // is not judged; the ones after it are the slow blink's.
    auto slow = gaps_ms(sample_gpio(root, 66, 4500ms));
    if (!slow.empty())
        slow.erase(slow.begin());
    EXPECT_GE(slow.size(), 1u);
    for (int gap : slow)
        EXPECT_GE(gap, 800) << "the slow blink toggles about every second";
    EXPECT_EQ(entries(), (std::vector<std::string>{"FUNCTION,RELAY Control,fastToggle",
                                                   "FUNCTION,RELAY Control,slowToggle"}));
}

TEST_F(Outputd, TheGpioThreadSleepsWhileTheRelayRests)
{
    start("relay_mode = singleBToggle\n");
    root.set_gpio(66, 1);
    // The first steady tick brings the line to rest; after it nothing is due
    // but a look at the line twice a cycle.
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 0; }, 3s));
    const long before = voluntary_switches(outputd->pid(), "gpio_status");
    ASSERT_GT(before, 0) << "the thread is there under its name";
    std::this_thread::sleep_for(2s);  // the interval over which the wake-ups are counted
    EXPECT_LT(voluntary_switches(outputd->pid(), "gpio_status") - before, 20)
        << "a thread waking every tick shows about 200";
    EXPECT_EQ(root.gpio(66), 0);
}

TEST_F(TimedOutputd, ANewStateStartsAtItsOwnNextTickNotTheOldOnes)
{
    start("relay_mode = singleBToggle\n");
    for (int round = 0; round < 3; ++round) {
        // The line brought back to the resting 0 (the whole text, not a file
        // the shell has only truncated so far) marks a steady tick, 47 or
        // 143: the next steady tick is about a second away.
        root.set_gpio(66, 1);
        ASSERT_TRUE(wait_until([&] { return root.read(relay_line) == "0\n"; }, 3s)) << "round " << round;
        // A text that is no level, so the first blink write shows whichever
        // phase the blink is at.
        root.write(relay_line, "-\n");
        const auto asked = std::chrono::steady_clock::now();
        relay("fastToggle");
        ASSERT_TRUE(wait_until([&] { return root.read(relay_line) != "-\n"; }, 3s)) << "round " << round;
        // The fast blink writes 13 or 31 ticks after a steady tick. A thread
        // left asleep until the old state's next tick would write 109 or 135
        // ticks after it.
        const auto waited = std::chrono::steady_clock::now() - asked;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 750) << "round " << round;
        relay("Off");
        handled();
    }
}

TEST_F(TimedOutputd, AfterALongStopTheBlinkGoesOnWithoutABurst)
{
    start("relay_mode = singleBToggle\n");
    relay("fastToggle");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s));
    kill(outputd->pid(), SIGSTOP);
    std::this_thread::sleep_for(3500ms);  // the stop: almost two cycles of the fast blink missed
    write_counter writes(root.file(relay_line));
    kill(outputd->pid(), SIGCONT);
    // The write that was due lands at once; the next one is a whole fast
    // step (390 ms) after it. Catching up on the stop would write about nine.
    std::this_thread::sleep_for(300ms);  // the interval over which the writes are counted
    EXPECT_LE(writes.count(), 2);
    EXPECT_TRUE(wait_until([&] { return writes.count() >= 4; }, 3s)) << "the blink goes on";
}

TEST_F(Outputd, ActionUrlsGetTheAddresses)
{
    root.write_settings("[relay_ctrl]\nrelay_mode = singleBToggle\n[relay_action_url]\non_enable = yes\n"
                        "on_url = \"http://h/on?ip=${ip}&ip2=${ip}&mac=${mac}\"\noff_enable = yes\n"
                        "off_url = \"http://h/off?ip=${ip}\"\n");
    outputd = std::make_unique<kit_program>(root, outputd_binary(), std::vector<std::string>{});
    relay("On");
    relay("Off");
    ASSERT_TRUE(wait_until([&] { return curl_urls().size() == 2; }));
    EXPECT_EQ(curl_urls(), (std::vector<std::string>{"http://h/on?ip=192.168.1.20&ip2=192.168.1.20&mac=021122334455",
                                                     "http://h/off?ip=192.168.1.20"}));

    // Without an address the placeholders stay; a short address is an address.
    root.write("/sim/ifconfig.txt", "eth0      Link encap:Ethernet  HWaddr 02:11:22:33:44:55\n");
    relay("On");
    ASSERT_TRUE(wait_until([&] { return curl_urls().size() == 3; }));
    EXPECT_EQ(curl_urls()[2], "http://h/on?ip=${ip}&ip2=${ip}&mac=021122334455");
    root.write("/sim/ifconfig.txt", "eth0      Link encap:Ethernet\n          inet addr:10.0.0.1  Mask:255.0.0.0\n");
    relay("Off");
    ASSERT_TRUE(wait_until([&] { return curl_urls().size() == 4; }));
    EXPECT_EQ(curl_urls()[3], "http://h/off?ip=10.0.0.1");
    EXPECT_EQ(outputd->output().find("GPIO135_STATUS"), std::string::npos) << "no debug lines without debug";
}

TEST_F(TimedOutputd, Gpio130AndBadRequestsLeaveTheLineAlone)
{
    start("relay_mode = singleBToggle\n");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 0; }));
    for (const char* text : {R"({"id":"gpio130","type":"On"})", "not json", R"({"id":5,"type":"On"})",
                             R"({"type":"On"})", R"({"id":"gpio135"})", R"({"id":"gpio999","type":"On"})"})
        request(text);
    handled();
    EXPECT_TRUE(holds([&] { return root.gpio(66) == 0; }, 1200ms));
    const std::string out = outputd->output();
    EXPECT_NE(out.find("gpio130: On\n"), std::string::npos);
    EXPECT_NE(out.find("Msg [not json]\nparse failed!\n"), std::string::npos);
    EXPECT_EQ(entries(), std::vector<std::string>{});
    EXPECT_TRUE(outputd->running());
}

TEST_F(Outputd, RequestsAreHandledAfterARedisRestart)
{
    start("relay_mode = singleBToggle\n");
    relay("On");
    ASSERT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 2s));
    redis.stop();
    redis.start();
    redis_client fresh(root.socket());
    fresh.command("LPUSH output-channel %s", R"({"id":"gpio135","type":"Off"})");
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 0; }, 5s));
    // The first entry after the restart is not lost with the old connection.
    EXPECT_TRUE(wait_until([&] { return fresh.list("writelog-channel") ==
                                        std::vector<std::string>{"FUNCTION,RELAY Control,OFF"}; }));
    EXPECT_TRUE(outputd->running());
}

TEST_F(Outputd, AChannelOfAnotherTypeIsPolledGentlyAndReportedOnce)
{
    client.command("SET %s %s", "output-channel", "not a list");
    start("relay_mode = singleBToggle\n", {});
    ASSERT_TRUE(outputd->wait_output("BRPOP output-channel answered \"WRONGTYPE"));
    const double before = cpu_seconds(outputd->pid());
    std::this_thread::sleep_for(2s);  // the interval over which the cost is measured
    EXPECT_LT(cpu_seconds(outputd->pid()) - before, 0.3) << "a pop that fails at once must not be asked again at once";
    const std::string out = outputd->output();
    EXPECT_EQ(out.find("BRPOP output-channel answered"), out.rfind("BRPOP output-channel answered")) << "once";
    client.command("DEL %s", "output-channel");
    relay("On");
    EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s));
}

TEST_F(Outputd, WithoutRedisItEndsWithStatus255)
{
    redis.stop();
    start("relay_mode = singleBToggle\n", {});
    EXPECT_EQ(outputd->wait_exit(5s), 255);
}
