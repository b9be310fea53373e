// What guards the user agent's control socket on the bridge's side: the
// owners of the listening socket and of the connection's far end as
// /proc/net/tcp shows them, the users named for the user agent and the
// bridge, and the commands the link sends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "common/c_holders.h"
#include "sipbridge/link/ua_link.h"
#include "sipbridge/trust/proc_net_tcp.h"
#include "sipbridge/trust/station_users.h"
#include "sipbridge/trust/ua_owner.h"
#include "station_kit/other_user.h"

namespace {

// An address as the kernel prints it: each 32-bit word as the machine
// stores it, in hexadecimal.
std::string kernel_hex(const void* bytes, std::size_t words)
{
    std::string out;
    for (std::size_t w = 0; w < words; ++w) {
        std::uint32_t word = 0;
        std::memcpy(&word, static_cast<const unsigned char*>(bytes) + w * 4, 4);
        char text[9];
        std::snprintf(text, sizeof text, "%08X", word);
        out += text;
    }
    return out;
}

std::string v4_hex(const char* address)
{
    in_addr a {};
    inet_pton(AF_INET, address, &a);
    return kernel_hex(&a, 1);
}

std::string v6_hex(const char* address)
{
    in6_addr a {};
    inet_pton(AF_INET6, address, &a);
    return kernel_hex(&a, 4);
}

std::string table_line(const std::string& local, int port, const char* state, const char* uid)
{
    char port_text[5];
    std::snprintf(port_text, sizeof port_text, "%04X", port);
    const std::string zero(local.size(), '0');
    return "   3: " + local + ":" + port_text + " " + zero + ":0000 " + state +
           " 00000000:00000000 00:00000000 00000000 " + uid + "        0 51234 1 0000000000000000 100 0 0 10 0";
}

// A connection's line: its own end and the other.
std::string connection_line(const std::string& local, int port, const std::string& remote, int remote_port,
                            const char* uid)
{
    char ports[2][5];
    std::snprintf(ports[0], sizeof ports[0], "%04X", port);
    std::snprintf(ports[1], sizeof ports[1], "%04X", remote_port);
    return "   4: " + local + ":" + ports[0] + " " + remote + ":" + ports[1] + " 01" +
           " 00000000:00000000 00:00000000 00000000 " + uid + "        0 51235 1 0000000000000000 20 4 30 10 -1";
}

in_addr loopback()
{
    in_addr a {};
    inet_pton(AF_INET, "127.0.0.1", &a);
    return a;
}

std::string read_all(const char* path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sets an environment variable for the scope of a test.
class scoped_env {
public:
    scoped_env(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~scoped_env()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

TEST(ProcNetTcp, LinesOfBothTablesAreRead)
{
    const std::optional<proc_tcp_socket> v4 = parse_proc_tcp_line(table_line(v4_hex("127.0.0.1"), 4444, "0A", "65534"));
    ASSERT_TRUE(v4);
    EXPECT_FALSE(v4->v6);
    EXPECT_EQ(v4->port, 4444);
    EXPECT_EQ(v4->state, tcp_state_listen);
    EXPECT_EQ(v4->uid, 65534u);
    in_addr address {};
    std::memcpy(&address, v4->address.data(), 4);
    EXPECT_EQ(address.s_addr, loopback().s_addr);

    const std::optional<proc_tcp_socket> v6 = parse_proc_tcp_line(table_line(v6_hex("::1"), 65535, "01", "4294967295"));
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->v6);
    EXPECT_EQ(v6->port, 65535);
    EXPECT_EQ(v6->state, 1);
    EXPECT_EQ(v6->uid, 4294967295u);
    EXPECT_EQ(v6->address[15], 1);
}

TEST(ProcNetTcp, HostileAndMalformedLinesAreSkipped)
{
    const std::string good = table_line(v4_hex("127.0.0.1"), 4444, "0A", "0");
    const std::vector<std::string> bad = {
        "",
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode",
        "   3: 0100007F:115C",
        table_line("0100007G", 4444, "0A", "0"),
        table_line("100007F", 4444, "0A", "0"),
        table_line("0100007F00", 4444, "0A", "0"),
        table_line(v4_hex("127.0.0.1"), 4444, "0A", "-1"),
        table_line(v4_hex("127.0.0.1"), 4444, "0A", "4294967296"),
        table_line(v4_hex("127.0.0.1"), 4444, "0A", "99999999999999999999999"),
        table_line(v4_hex("127.0.0.1"), 4444, "0A", "1e3"),
        table_line(v4_hex("127.0.0.1"), 4444, "A", "0"),
        table_line(v4_hex("127.0.0.1"), 4444, "0AA", "0"),
        "x: " + good.substr(6),
        ": " + good.substr(6),
        "   3: 0100007F:115C 00000000:0000 0A 00000000:00000000 00:00000000 00000000",
        "   3: 0100007F:115C 0000000000000000000000000000000000000:0000 0A 0:0 0:0 0 0 0 0",
        good + std::string(600, ' ') + "x",
        std::string(100000, 'F'),
        std::string("   3: 0100007F:115C\0 00000000:0000 0A 0 0 0 0", 45),
    };
    for (const std::string& line : bad)
        EXPECT_FALSE(parse_proc_tcp_line(line)) << line.substr(0, 200);
    EXPECT_TRUE(parse_proc_tcp_line(good));
}

TEST(ProcNetTcp, ListenersThatACallToTheHostCouldReach)
{
    const std::string v4_table =
        "  sl  local_address rem_address   st ...\n" + table_line(v4_hex("127.0.0.1"), 4444, "01", "7") + "\n" +
        table_line(v4_hex("127.0.0.2"), 4444, "0A", "8") + "\n" + table_line(v4_hex("127.0.0.1"), 4445, "0A", "9") +
        "\n" + table_line(v4_hex("127.0.0.1"), 4444, "0A", "10") + "\n" +
        table_line(v4_hex("0.0.0.0"), 4444, "0A", "11") + "\ngarbage\n";
    const std::string v6_table = table_line(v6_hex("::"), 4444, "0A", "12") + "\n" +
                                 table_line(v6_hex("::ffff:127.0.0.1"), 4444, "0A", "13") + "\n" +
                                 table_line(v6_hex("::ffff:127.0.0.2"), 4444, "0A", "14") + "\n" +
                                 table_line(v6_hex("::1"), 4444, "0A", "15") + "\n";
    // Not the connection (01), nor another address, port or IPv6 address.
    EXPECT_EQ(listener_owners({v4_table, v6_table}, loopback(), 4444), (std::vector<uid_t> {10, 11, 12, 13}));
    EXPECT_TRUE(listener_owners({"", ""}, loopback(), 4444).empty());
}

// The far end of one connection, by both of its ends: not the listener,
// not the bridge's own end, not another connection to the port.
TEST(ProcNetTcp, TheFarEndOfOneConnection)
{
    in_addr other {};
    inet_pton(AF_INET, "127.0.0.2", &other);
    const std::string v4_table =
        table_line(v4_hex("127.0.0.1"), 4444, "0A", "7") + "\n" +
        connection_line(v4_hex("127.0.0.1"), 4444, v4_hex("127.0.0.1"), 40001, "8") + "\n" +
        connection_line(v4_hex("127.0.0.1"), 40001, v4_hex("127.0.0.1"), 4444, "9") + "\n" +
        connection_line(v4_hex("127.0.0.1"), 4444, v4_hex("127.0.0.1"), 40002, "10") + "\n" +
        connection_line(v4_hex("127.0.0.1"), 4444, v4_hex("127.0.0.2"), 40001, "11") + "\n";
    const std::string v6_table =
        connection_line(v6_hex("::ffff:127.0.0.1"), 4444, v6_hex("::ffff:127.0.0.1"), 40001, "12") + "\n" +
        connection_line(v6_hex("::1"), 4444, v6_hex("::1"), 40001, "13") + "\n";
    EXPECT_EQ(connection_owners({v4_table, v6_table}, loopback(), 4444, loopback(), 40001),
              (std::vector<uid_t> {8, 12}));
    EXPECT_EQ(connection_owners({v4_table, ""}, loopback(), 4444, other, 40001), (std::vector<uid_t> {11}));
    EXPECT_TRUE(connection_owners({v4_table, v6_table}, loopback(), 4444, loopback(), 40003).empty());
}

// Another user takes the bridge's connection and gives up his listener;
// the user agent's user listens on the port by the time the bridge looks.
// The listeners alone look right; the connection's far end is the other
// user's, and the bridge refuses it.
TEST(ProcNetTcp, AConnectionAcceptedByAnotherUserIsRefusedWhoeverListensNow)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "\n*** NOT TESTED: a socket of another user needs root ***\n";
    int to_child[2];
    int from_child[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(from_child), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other user: listens, tells the port, accepts one connection,
        // closes the listener and keeps the connection until told.
        ::alarm(10);  // never outlives a test that failed half-way
        ::close(to_child[1]);
        ::close(from_child[0]);
        int port = 0;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr = loopback();
        socklen_t size = sizeof address;
        if (become_user(nobody_uid) && ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            ::listen(listener, 1) == 0 && ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        if (::write(from_child[1], &port, sizeof port) != sizeof port || port == 0)
            ::_exit(1);
        const int taken = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const char done = taken >= 0 ? 'y' : 'n';
        if (::write(from_child[1], &done, 1) != 1)
            ::_exit(1);
        char wait = 0;
        while (::read(to_child[0], &wait, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    unique_fd tell(to_child[1]);
    const unique_fd hear(from_child[0]);
    int port = 0;
    ASSERT_EQ(::read(hear.get(), &port, sizeof port), static_cast<ssize_t>(sizeof port));
    if (port == 0) {
        ::waitpid(child, nullptr, 0);
        GTEST_SKIP() << "\n*** NOT TESTED: no socket as uid 65534 ***\n";
    }

    unique_fd bridge(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr = loopback();
    to.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(::connect(bridge.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
    char accepted = 0;
    ASSERT_EQ(::read(hear.get(), &accepted, 1), 1);
    ASSERT_EQ(accepted, 'y');

    // The user agent's own listener on the port, now that the other's is gone.
    unique_fd own(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(own.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(::bind(own.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(own.get(), 1), 0);

    const scoped_env own_user("STATION_UA_USER", std::to_string(::getuid()));
    EXPECT_EQ(ua_owner_refusal("127.0.0.1", port), "") << "the listeners alone";
    EXPECT_EQ(ua_owner_refusal("127.0.0.1", port, bridge.get()),
              "the connection was taken by uid " + std::to_string(nobody_uid) + ", not uid " +
                  std::to_string(::getuid()));

    // A connection that the user agent's own listener takes is its.
    unique_fd second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(second.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
    EXPECT_EQ(ua_owner_refusal("127.0.0.1", port, second.get()), "");
    const unique_fd taken(::accept(own.get(), nullptr, nullptr));
    EXPECT_EQ(ua_owner_refusal("127.0.0.1", port, second.get()), "") << "accepted too";

    bridge.reset();
    tell.reset();
    ::waitpid(child, nullptr, 0);
}

// The kernel's own table, with a listener of this process's: the address
// and the port come out as the kernel wrote them, whatever the machine's
// byte order.
TEST(ProcNetTcp, TheKernelsTableShowsThisProcesssListener)
{
    for (const int family : {AF_INET, AF_INET6}) {
        unique_fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_storage address {};
        socklen_t size = 0;
        if (family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr = loopback();
            size = sizeof *v4;
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_any;
            size = sizeof *v6;
        }
        if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd.get(), 1) != 0) {
            ASSERT_EQ(family, AF_INET6) << std::strerror(errno);
            continue;  // a kernel without IPv6
        }
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
        const int port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                                 : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
        EXPECT_EQ(listener_owners({read_all("/proc/net/tcp"), read_all("/proc/net/tcp6")}, loopback(), port),
                  std::vector<uid_t> {::getuid()})
            << family;

        // The bridge takes it when this user is the user agent's, and says
        // whose it is otherwise.
        {
            const scoped_env own("STATION_UA_USER", std::to_string(::getuid()));
            EXPECT_EQ(ua_owner_refusal("127.0.0.1", port), "");
        }
        const uid_t other = ::getuid() == 65534 ? 65533 : 65534;
        {
            const scoped_env stranger("STATION_UA_USER", std::to_string(other));
            EXPECT_EQ(ua_owner_refusal("127.0.0.1", port), "its control socket belongs to uid " +
                                                               std::to_string(::getuid()) + ", not uid " +
                                                               std::to_string(other));
        }
        const scoped_env unknown("STATION_UA_USER", "no-such-station-user");
        EXPECT_EQ(ua_owner_refusal("127.0.0.1", port),
                  "the user agent's user no-such-station-user is unknown here, so no control socket can be its "
                  "(STATION_UA_USER)");
        fd.reset();
        const scoped_env own("STATION_UA_USER", std::to_string(::getuid()));
        EXPECT_NE(ua_owner_refusal("127.0.0.1", port).find("no socket listens there"), std::string::npos);
    }
}

TEST(StationUsers, FromTheEnvironmentElseTheBuild)
{
    {
        const scoped_env ua("STATION_UA_USER", "baresip-user");
        const scoped_env bridge("STATION_BRIDGE_USER", "1234");
        EXPECT_EQ(user_agent_user(), "baresip-user");
        EXPECT_EQ(bridge_user(), "1234");
    }
    const scoped_env ua("STATION_UA_USER", "");
    const scoped_env bridge("STATION_BRIDGE_USER", "");
    EXPECT_NE(user_agent_user(), "") << "empty is not set: the build's user";
    EXPECT_NE(bridge_user(), "");
}

TEST(UaLink, OnlyTheBridgesOwnCommandsGoOut)
{
    for (const auto& [command, params] : std::vector<std::pair<std::string, std::string>> {
             {"reginfo", ""}, {"uafind", "sip:2000@127.0.0.1:15070"}, {"callfind", "1-32359@127.0.0.1"},
             {"dial", "sip:door@192.0.2.5:5062"}, {"accept", ""}, {"hangup", ""}, {"uadel", "sip:2000@pbx.test"},
             {"uanew", "<sip:2000@pbx.test>;answermode=manual;regint=60;auth_pass=\"a;b c\""}})
        EXPECT_EQ(ua_request_refusal(command, params), "") << command;

    for (const char* command : {"insmod", "rmmod", "module", "quit", "uanext", "ausrc", "", "dial ", " dial", "Dial",
                                "dial\n", "hangupall", "sndcode", "transfer"})
        EXPECT_NE(ua_request_refusal(command, "x").find("not a command the bridge sends"), std::string::npos)
            << command;
    EXPECT_EQ(ua_request_refusal("insmod", "../../../../tmp/evil.so"),
              "refusing to send \"insmod\" to the user agent: not a command the bridge sends");

    // A parameter is one line: nothing in it can start another command.
    for (const char* params : {"1001\ninsmod /tmp/evil.so", "1001\rquit", "x\x7f", "\x1b[2J"})
        EXPECT_NE(ua_request_refusal("dial", params).find("its parameters hold control characters"),
                  std::string::npos)
            << params;
    EXPECT_EQ(ua_request_refusal("dial", "1001\ninsmod /tmp/evil.so"),
              "refusing to send \"dial 1001?insmod /tmp/evil.so\" to the user agent: its parameters hold control "
              "characters");
}
