// The bridge against the attacks on the user agent's control socket, with
// the real sipbridge, orvanel and Redis and a stand-in control socket: a
// fake user agent of another user (it would feed the station a door code)
// and control commands from Redis that try to become a module command.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "common/c_holders.h"
#include "common/json_text.h"
#include "station_kit/other_user.h"
#include "station_kit/sip_stack.h"
#include "tests/integration/running_station.h"

namespace {

const std::string aor = "sip:1000@example.test";

std::string netstring_of(const std::string& text)
{
    return std::to_string(text.size()) + ":" + text + ",";
}

// A user agent's event as baresip sends it.
std::string ua_event(const std::string& type, const std::string& param = "")
{
    json_ptr event(cJSON_CreateObject());
    cJSON_AddTrueToObject(event.get(), "event");
    cJSON_AddStringToObject(event.get(), "type", type.c_str());
    cJSON_AddStringToObject(event.get(), "class", type.rfind("REGISTER", 0) == 0 ? "register" : "call");
    cJSON_AddStringToObject(event.get(), "accountaor", aor.c_str());
    if (type.rfind("CALL", 0) == 0) {
        cJSON_AddStringToObject(event.get(), "direction", "incoming");
        cJSON_AddStringToObject(event.get(), "peeruri", "sip:4000@example.test");
        cJSON_AddStringToObject(event.get(), "id", "c1");
    }
    if (!param.empty())
        cJSON_AddStringToObject(event.get(), "param", param.c_str());
    const printed_json_ptr text(cJSON_PrintUnformatted(event.get()));
    return netstring_of(text.get());
}

// A visitor's call answered at the station, and the door code in it.
std::string door_code_call()
{
    std::string frames = ua_event("REGISTER_OK", "200 OK") + ua_event("CALL_INCOMING", "sip:4000@example.test") +
                         ua_event("CALL_ESTABLISHED", "sip:4000@example.test");
    for (const char* digit : {"1", "2", "3", "4"})
        frames += ua_event("CALL_DTMF_START", digit);
    return frames;
}

// The reply to a command frame, with its token.
std::string reply_to(const std::string& frame)
{
    const json_ptr command(cJSON_Parse(frame.c_str()));
    json_ptr reply(cJSON_CreateObject());
    cJSON_AddTrueToObject(reply.get(), "response");
    cJSON_AddTrueToObject(reply.get(), "ok");
    cJSON_AddStringToObject(reply.get(), "data", "");
    cJSON_AddStringToObject(reply.get(), "token", json_string_member(command.get(), "token").c_str());
    const printed_json_ptr text(cJSON_PrintUnformatted(reply.get()));
    return netstring_of(text.get());
}

void put(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// The child's life: listen as the user, greet each connection, answer each
// command frame and log it ("frame JSON"), until killed.
[[noreturn]] void serve(uid_t uid, int port, const std::string& greeting, int log)
{
    if (uid != ::getuid() && !become_user(uid)) {
        put(log, "cannot become the user\n");
        ::_exit(1);
    }
    // Made after the change of user: the socket is the user's.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0) {
        put(log, std::string("cannot listen: ") + std::strerror(errno) + "\n");
        ::_exit(1);
    }
    put(log, "listening\n");
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        put(log, "accepted\n");
        put(client, greeting);
        std::string buffer;
        char bytes[4096];
        for (ssize_t got; (got = ::read(client, bytes, sizeof bytes)) > 0;) {
            buffer.append(bytes, static_cast<std::size_t>(got));
            for (std::size_t colon; (colon = buffer.find(':')) != std::string::npos;) {
                const std::size_t length = std::stoul(buffer.substr(0, colon));
                if (buffer.size() < colon + 1 + length + 1)
                    break;
                const std::string frame = buffer.substr(colon + 1, length);
                buffer.erase(0, colon + 1 + length + 1);
                put(log, "frame " + frame + "\n");
                put(client, reply_to(frame));
            }
        }
        ::close(client);
    }
}

// A stand-in for the user agent's control socket on 127.0.0.1:port, in a
// child process of the given user, killed when the test ends.
class fake_control_socket {
public:
    fake_control_socket(const kit_root& root, uid_t uid, int port, const std::string& greeting)
        : log_path_(root.file("/control." + std::to_string(++serial_) + ".log"))
    {
        const unique_fd log(::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
        pid_ = ::fork();
        if (pid_ == 0)
            serve(uid, port, greeting, log.get());
    }
    ~fake_control_socket()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    fake_control_socket(const fake_control_socket&) = delete;
    fake_control_socket& operator=(const fake_control_socket&) = delete;

    // True once it listens; false when it could not.
    bool listening() const
    {
        wait_until([&] { return log() != ""; });
        return log() == "listening\n" || log().rfind("listening\n", 0) == 0;
    }
    std::string log() const { return read_text_file(log_path_); }
    std::size_t accepted() const { return occurrences(log(), "accepted\n"); }
    // The command frames received, as JSON texts.
    std::vector<std::string> frames() const
    {
        std::vector<std::string> out;
        for (const std::string& line : split(log(), '\n'))
            if (line.rfind("frame ", 0) == 0)
                out.push_back(line.substr(6));
        return out;
    }

private:
    static inline int serial_ = 0;
    std::string log_path_;
    pid_t pid_ = -1;
};

const std::string on_request = R"({"id":"gpio135","type":"On"})";

}  // namespace

class BridgeGuard : public RunningStation {
protected:
    void TearDown() override
    {
        if (HasFailure() && bridge)
            std::cerr << bridge->report("sipbridge");
        RunningStation::TearDown();
    }

    void start_bridge(const std::string& ua_user = std::to_string(::getuid()))
    {
        bridge = std::make_unique<kit_program>(
            root, sipbridge_binary(), std::vector<std::string> {"--ua", where, "debug"},
            std::vector<std::string> {"STATION_UA_USER=" + ua_user});
    }

    std::size_t said(const std::string& line) const { return occurrences(bridge->output(), "sipbridge: " + line + "\n"); }

    // True when a switch-on request of the relay arrives within the time.
    bool opens(std::chrono::milliseconds within)
    {
        return client.pop_oldest("output-channel", within) == std::optional<std::string>(on_request);
    }

    const int port = free_port_block(1);
    const std::string where = "127.0.0.1:" + std::to_string(port);
    std::unique_ptr<kit_program> bridge;
};

// With the user agent stopped, another user listens on its control port and
// plays a visitor who sends the door code. The bridge sends it nothing,
// takes nothing from it, and says so once for as long as it keeps trying;
// the user agent's own socket is taken at once when it is back.
TEST_F(BridgeGuard, FakeUserAgentOfAnotherUserNeitherHearsNorFeedsTheStation)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "\n*** NOT TESTED: a control socket of another user needs root ***\n";
    root.write_settings(account_1_settings + "[relay_ctrl]\ntype = On\ndtmf = yes\ndtmf_code = 1234\nmode = hold\n");
    start_orvanel();
    auto fake = std::make_unique<fake_control_socket>(root, nobody_uid, port, door_code_call());
    if (!fake->listening())
        GTEST_SKIP() << "\n*** NOT TESTED: no socket as uid 65534: " << fake->log() << " ***\n";
    start_bridge();

    const std::string refusal =
        "refusing the user agent at " + where + ": its control socket belongs to uid 65534, not uid 0";
    ASSERT_TRUE(wait_until([&] { return fake->accepted() >= 3; }, 10s)) << fake->log();
    EXPECT_EQ(said(refusal), 1u) << "once, however often it tries";
    EXPECT_TRUE(fake->frames().empty()) << fake->log();
    EXPECT_FALSE(opens(500ms)) << "its door code opened the door";
    EXPECT_EQ(count_entries("FUNCTION,RECEIVE DTMF,1"), 0u);
    EXPECT_EQ(bridge->output().find("session-channel ["), std::string::npos) << "nothing of it was published";
    EXPECT_EQ(bridge->output().find("connected to the user agent"), std::string::npos);

    // The user agent's own socket, with the same story: it reaches the
    // station (the refused one was refused for its owner alone).
    fake.reset();
    fake = std::make_unique<fake_control_socket>(root, ::getuid(), port, door_code_call());
    ASSERT_TRUE(fake->listening()) << fake->log();
    EXPECT_TRUE(bridge->wait_output("sipbridge: connected to the user agent at " + where + "\n", 10s));
    EXPECT_TRUE(opens(5s)) << "the door code of the user agent's own call";
    ASSERT_TRUE(wait_until([&] { return !fake->frames().empty(); }));
    EXPECT_NE(fake->frames().front().find(R"("command":"reginfo")"), std::string::npos) << fake->log();

    // A new stranger after that is a new episode, said anew.
    fake.reset();
    fake = std::make_unique<fake_control_socket>(root, nobody_uid, port, door_code_call());
    ASSERT_TRUE(fake->listening()) << fake->log();
    EXPECT_TRUE(wait_until([&] { return said(refusal) == 2; }, 10s));
    EXPECT_TRUE(fake->frames().empty()) << fake->log();
}

// A user that this system does not know cannot own any socket: the bridge
// refuses every one and names the user it expects.
TEST_F(BridgeGuard, UnknownUserAgentUserTakesNoSocket)
{
    fake_control_socket fake(root, ::getuid(), port, door_code_call());
    ASSERT_TRUE(fake.listening()) << fake.log();
    start_bridge("no-such-station-user");
    ASSERT_TRUE(wait_until([&] { return fake.accepted() >= 2; }, 10s)) << fake.log();
    EXPECT_EQ(said("refusing the user agent at " + where +
                   ": the user agent's user no-such-station-user is unknown here, so no control socket can be its "
                   "(STATION_UA_USER)"),
              1u);
    EXPECT_TRUE(fake.frames().empty()) << fake.log();
}

// Commands on control-channel that try to load a module into the user agent,
// or to ride in on a dial's parameters: the user agent gets only the
// bridge's own commands, each of one line.
TEST_F(BridgeGuard, NoStationCommandBecomesAModuleCommand)
{
    root.write_settings(account_1_settings);
    fake_control_socket fake(root, ::getuid(), port, "");
    ASSERT_TRUE(fake.listening()) << fake.log();
    start_bridge();
    ASSERT_TRUE(bridge->wait_output("connected to the user agent"));

    const std::vector<std::string> hostile = {
        R"({"cmd":"insmod","data":"../../../../tmp/evil.so"})",
        R"({"cmd":"rmmod","data":"ctrl_tcp"})",
        R"({"cmd":"module","data":"/tmp/evil.so"})",
        R"({"cmd":"quit"})",
        R"({"cmd":"hangup\ninsmod /tmp/evil.so"})",
        R"({"cmd":"dial","data":"insmod /tmp/evil.so"})",
        R"({"cmd":"dial","data":"1001\ninsmod /tmp/evil.so 0"})",
        R"({"cmd":"dial","data":"1001\r\ninsmod /tmp/evil.so"})",
        R"({"cmd":"dial","data":"sip:x@evil.example;insmod=/tmp/evil.so"})",
        R"({"cmd":"dial","data":"1001\u0000insmod /tmp/evil.so 0"})",
        R"({"cmd":"hangup","data":"insmod /tmp/evil.so"})",
        R"({"cmd":"accept","data":"\ninsmod /tmp/evil.so"})",
    };
    for (const std::string& command : hostile)
        client.command("LPUSH control-channel %s", command);
    // The last one is the station's own, and shows that the rest were taken.
    client.command("LPUSH control-channel %s", std::string(R"({"cmd":"dial","data":"1002 0"})"));
    ASSERT_TRUE(wait_until([&] { return fake.log().find(R"("params":"1002")") != std::string::npos; }, 10s))
        << fake.log();

    const std::vector<std::string> frames = fake.frames();
    for (const std::string& frame : frames) {
        const json_ptr parsed(cJSON_Parse(frame.c_str()));
        const std::string command = json_string_member(parsed.get(), "command");
        const std::string params = json_string_member(parsed.get(), "params");
        EXPECT_TRUE(command == "reginfo" || command == "uafind" || command == "callfind" || command == "dial" ||
                    command == "accept" || command == "hangup")
            << frame;
        EXPECT_EQ(params.find_first_of("\r\n", 0), std::string::npos) << frame;
        for (const char* word : {"insmod", "rmmod", "module", "quit", "evil"})
            EXPECT_EQ(params.find(word), std::string::npos) << frame;
    }
    EXPECT_NE(bridge->output().find("insmod refused: unknown command"), std::string::npos) << bridge->output();
    EXPECT_NE(bridge->output().find("dial refused:"), std::string::npos) << bridge->output();
}
