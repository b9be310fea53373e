// The site log end to end on loopback with real rsyslogd engines: what the
// station's instance takes on its socket reaches the site's log server
// byte for byte and once, only over TLS to a server that shows a
// certificate of the site's CA with the configured name, and a server
// outage, also across a restart of the instance, loses nothing.
#include "tests/site/site_station.h"

#include <algorithm>
#include <filesystem>

namespace {

bool has(const std::vector<std::string>& lines, const std::string& message)
{
    return std::find(lines.begin(), lines.end(), message) != lines.end();
}

// True when a file of the instance's queue holds the message (rsyslog
// keeps the raw message as its text there).
bool queued(const site_log_station& station, const std::string& message)
{
    for (const auto& entry : std::filesystem::directory_iterator(station.queue_dir()))
        if (read_text_file(entry.path().string()).find(message) != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST_F(SiteStation, MessageArrivesByteIdenticalAndOnce)
{
    ASSERT_TRUE(start_pair(certificate)) << report();
    // Blanks, quotes, escapes and UTF-8 in the structured data and MSG, and
    // a message with nothing after its structured data.
    const std::string record = "<134>1 2026-12-10T05:04:29.007+01:00 door-3 orvanel 812 cdr [record@32473 "
                               "caller=\"Gate \\\"B\\\" \\] left\" note=\"Tür\"] 2026-12-10 05:04:29,2001,  two  blanks ";
    const std::string bare = "<134>1 2026-12-10T05:04:30Z door-3 orvanel - - -";
    for (const std::string& message : {sample_entry, record, bare})
        ASSERT_EQ(send_datagram(root, message), 0);
    ASSERT_TRUE(server.wait_for([&](const auto& lines) { return has(lines, bare); }, 10s)) << report();

    // A last message shows that nothing before it comes again.
    const std::string last = entry_message(43, "last");
    ASSERT_EQ(send_datagram(root, last), 0);
    ASSERT_TRUE(server.wait_for([&](const auto& lines) { return has(lines, last); }, 10s)) << report();
    EXPECT_EQ(server.received(), (std::vector<std::string> {sample_entry, record, bare, last})) << report();

    EXPECT_EQ(check_finding("server").rfind("ok: ", 0), 0u) << check_finding("server");
    EXPECT_EQ(check_finding("instance").rfind("ok: ", 0), 0u) << check_finding("instance");
}

TEST_F(SiteStation, ServerOfAnotherCaGetsNothingUntilItShowsTheSitesCertificate)
{
    const site_ca stranger = make_site_ca(root.file("/pki"), "Another CA");
    const site_certificate forged =
        make_site_certificate(root.file("/pki"), stranger, "forged", {"logs.example"}, {"127.0.0.1"});
    ASSERT_TRUE(start_pair(forged)) << report();
    const std::string message = entry_message(1, "kept for the right server");
    ASSERT_EQ(send_datagram(root, message), 0);
    EXPECT_TRUE(holds([&] { return server.received().empty(); }, 3s)) << report();

    const std::string said = check_finding("server");
    EXPECT_EQ(said.rfind("warning: ", 0), 0u) << said;
    EXPECT_NE(said.find("not trusted by log_ca"), std::string::npos) << said;

    // The message waited in the queue; the next try of the instance (every
    // 10 s) brings it to the server once it shows the site's certificate.
    server.stop();
    ASSERT_TRUE(server.start(server.port(), certificate, ca.cert)) << report();
    EXPECT_TRUE(server.wait_for([&](const auto& lines) { return has(lines, message); }, 30s)) << report();
    EXPECT_EQ(server.count(message), 1u) << report();
}

TEST_F(SiteStation, ServerWithAnotherNameGetsNothing)
{
    const site_certificate other =
        make_site_certificate(root.file("/pki"), ca, "other", {"other.example"}, {"127.0.0.1"});
    ASSERT_TRUE(start_pair(other)) << report();
    ASSERT_EQ(send_datagram(root, sample_entry), 0);
    EXPECT_TRUE(holds([&] { return server.received().empty(); }, 3s)) << report();

    const std::string said = check_finding("server");
    EXPECT_EQ(said.rfind("warning: ", 0), 0u) << said;
    EXPECT_NE(said.find("name mismatch"), std::string::npos) << said;
    EXPECT_NE(said.find("logs.example"), std::string::npos) << said;
}

TEST_F(SiteStation, ServerOutageAndARestartOfTheInstanceLoseNothing)
{
    ASSERT_TRUE(start_pair(certificate)) << report();
    const std::string before = entry_message(1, "before the outage");
    ASSERT_EQ(send_datagram(root, before), 0);
    ASSERT_TRUE(server.wait_for([&](const auto& lines) { return has(lines, before); }, 10s)) << report();

    // The server goes away; what the station sends meanwhile waits on
    // /userdata, also through a stop and start of the instance (a restart
    // after a change of the settings, a reboot).
    server.stop();
    const std::string first = entry_message(2, "during the outage");
    const std::string second = entry_message(3, "during the outage, before the restart");
    ASSERT_EQ(send_datagram(root, first), 0);
    ASSERT_EQ(send_datagram(root, second), 0);
    ASSERT_TRUE(wait_until([&] { return queued(station, first) && queued(station, second); }, 5s)) << report();
    station.stop();
    ASSERT_TRUE(station.start()) << report();
    const std::string after = entry_message(4, "after the restart");
    ASSERT_EQ(send_datagram(root, after), 0);

    ASSERT_TRUE(server.restart()) << report();
    EXPECT_TRUE(server.wait_for(
        [&](const auto& lines) { return has(lines, first) && has(lines, second) && has(lines, after); }, 30s))
        << report();
    // The message that the instance was retrying when it was stopped may
    // come twice (twice rather than none); the others come once.
    EXPECT_EQ(server.count(before), 1u) << report();
    EXPECT_EQ(server.count(after), 1u) << report();
    for (const std::string& message : {first, second})
        EXPECT_LE(server.count(message), 2u) << message << "\n" << report();
}
