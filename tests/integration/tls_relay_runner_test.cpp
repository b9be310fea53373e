// station-tls-relay as its unit runs it, under a station root: nothing to
// do without a configuration; with one, its own certificate made once and
// kept private, stunnel's services listening before it says it is ready,
// a verdict for each connection that stunnel's log settles, and an end on
// SIGTERM, or a SIGKILL, that stunnel does not outlive.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "common/process.h"
#include "station_kit/net_namespace.h"
#include "station_kit/pbx.h"
#include "station_kit/programs.h"
#include "station_kit/root.h"
#include "station_kit/sip_stack.h"
#include "station_kit/waits.h"
#include "tlsrelay/relay_plan.h"

namespace {

std::string relay_binary()
{
    return STATION_BIN_DIR "/station-tls-relay";
}

}  // namespace

TEST(TlsRelayRunner, WithoutAConfigurationThereIsNothingToRelay)
{
    kit_root root;
    kit_program relay(root, relay_binary(), {"--run"});
    EXPECT_EQ(relay.wait_exit(5s), 0);
    EXPECT_NE(relay.errors().find("no account uses TLS, and there is nothing to relay"), std::string::npos)
        << relay.errors();
}

TEST(TlsRelayRunner, ListensBeforeItIsReadyAndJudgesEachConnection)
{
    if (find_on_path("stunnel4").empty() || find_on_path("openssl").empty())
        GTEST_FAIL() << "install stunnel4 and openssl: the relay runs them";
    // The relay's ports are fixed: a namespace of the test's own keeps them
    // apart from another test's relay.
    const std::string no_namespace = enter_own_network_namespace();
    if (!no_namespace.empty())
        GTEST_SKIP() << "\n*** NOT TESTED: the relay's fixed ports need a network namespace of the test's own: "
                     << no_namespace << " ***\n";
    kit_root root;
    std::filesystem::create_directories(root.file("/run"));
    std::filesystem::create_directories(root.file(relay_dir));
    // A server that refuses: nothing listens on its port.
    tls_destination server;
    server.host = "127.0.0.1";
    server.port = free_port_block(1);
    server.name = "pbx.test";
    server.accounts = {1};
    server.local_port = relay_port_base;
    root.write(std::string(relay_dir) + "/" + relay_config_name,
               relay_config_text({server}, root.file(relay_dir), root.file(relay_run_dir), false));
    const test_authority authority = make_test_authority(root.file("/authority"), "site-ca");
    root.write(std::string(relay_dir) + "/" + relay_ca_name, read_text_file(authority.certificate));

    // Under its unit's umask, 077.
    const mode_t mask = ::umask(077);
    kit_program relay(root, relay_binary(), {"--run"});
    ::umask(mask);
    ASSERT_TRUE(wait_until([&] { return root.exists(std::string(relay_run_dir) + "/ready"); }, 15s))
        << relay.report("station-tls-relay");
    struct stat own {};
    ASSERT_EQ(::stat(root.file(std::string(relay_dir) + "/relay.pem").c_str(), &own), 0);
    EXPECT_EQ(own.st_mode & 07777, 0600u) << "the relay's own key";
    EXPECT_NE(root.read(std::string(relay_dir) + "/relay.pem").find("PRIVATE KEY"), std::string::npos);
    struct stat sockets {};
    ASSERT_EQ(::stat(root.file(std::string(relay_run_dir) + "/sockets").c_str(), &sockets), 0);
    EXPECT_EQ(sockets.st_mode & 07777, 0700u) << "the sockets between its services are its alone";

    // A TLS client at the relay's port: the connection on to the server
    // fails, and the verdict says so.
    const std::string made = root.read(std::string(relay_dir) + "/relay.pem");
    kit_program client(root, "openssl",
                       {"s_client", "-connect", "127.0.0.1:" + std::to_string(relay_port_base), "-quiet"});
    const std::string verdict = std::string(relay_run_dir) + "/verdict-pbx1";
    EXPECT_TRUE(wait_until(
        [&] { return root.exists(verdict) && root.read(verdict).rfind("unreachable 127.0.0.1:", 0) == 0; }, 10s))
        << (root.exists(verdict) ? root.read(verdict) : "no verdict") << relay.report("station-tls-relay");
    client.kill();
    struct stat readable {};
    ASSERT_EQ(::stat(root.file(verdict).c_str(), &readable), 0);
    EXPECT_EQ(readable.st_mode & 07777, 0644u) << "the bridge and the check, as the station's user, read it";

    ::kill(relay.pid(), SIGTERM);
    EXPECT_EQ(relay.wait_exit(10s), 0) << relay.report("station-tls-relay");

    // Started again, it keeps its certificate.
    kit_program again(root, relay_binary(), {"--run"});
    ASSERT_TRUE(wait_until([&] { return root.exists(std::string(relay_run_dir) + "/ready"); }, 15s))
        << again.report("station-tls-relay");
    EXPECT_EQ(root.read(std::string(relay_dir) + "/relay.pem"), made);
    EXPECT_FALSE(root.exists(verdict)) << "an old verdict does not outlive the relay's restart";

    // Killed outright, it takes stunnel with it: nothing holds its port.
    ASSERT_TRUE(tcp_listening(relay_port_base));
    ::kill(again.pid(), SIGKILL);
    EXPECT_TRUE(wait_until([&] { return !tcp_listening(relay_port_base); }, 5s))
        << "stunnel outlived the relay and holds its port";
}
