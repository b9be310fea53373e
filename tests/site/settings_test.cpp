// station-sitelog as the installer meets it: the configuration follows
// [site], a setting it cannot use is refused loudly and whole (exit 255 for
// an update, 1 at start, the setting named on standard error, the files as
// they were), no log_server
// takes the configuration away, and rsyslogd itself accepts what it writes.
#include "tests/site/site_station.h"

#include <filesystem>

namespace {

struct hostile {
    std::string settings;
    std::string named;  // what the refusal must name
};

}  // namespace

TEST_F(SiteStation, WrittenConfigurationPassesRsyslogsOwnCheck)
{
    root.write_settings(site_settings_text("127.0.0.1:16514", ca_setting, "logs.example"));
    ASSERT_EQ(station.write_config(), 0) << station.report();
    kit_program check({site_rsyslogd(), "-N1", "-f", station.config_file()}, {}, root.file("/rsyslogd-check"));
    EXPECT_EQ(check.wait_exit(20s), 0) << check.output() << check.errors();
    EXPECT_EQ(check.errors().find("error"), std::string::npos) << check.errors();
    EXPECT_EQ(read_text_file(station.ca_copy()), read_text_file(ca.cert));
}

TEST_F(SiteStation, ConfigurationFollowsTheSettings)
{
    root.write_settings(site_settings_text("logs.example", ca_setting));
    ASSERT_EQ(station.write_config("--update-config"), 0) << station.report();
    const std::string first = read_text_file(station.config_file());
    EXPECT_NE(first.find("target=\"logs.example\" port=\"6514\""), std::string::npos) << first;
    EXPECT_NE(first.find("StreamDriverPermittedPeers=\"logs.example\""), std::string::npos) << first;
    EXPECT_EQ(station.write_config("--update-config"), 1) << station.report();

    root.write_settings(site_settings_text("[::1]:7514", ca_setting, "logs.example"));
    ASSERT_EQ(station.write_config("--update-config"), 0) << station.report();
    EXPECT_NE(read_text_file(station.config_file()).find("target=\"::1\" port=\"7514\""), std::string::npos);
}

TEST_F(SiteStation, HostileSettingsAreRefusedAndTheConfigurationStays)
{
    root.write_settings(site_settings_text("logs.example:6514", ca_setting, "logs.example", "door-3"));
    ASSERT_EQ(station.write_config(), 0) << station.report();
    const std::string config = read_text_file(station.config_file());
    const std::string ca_copy = read_text_file(station.ca_copy());
    root.write("/etc/ssl/with-key.pem", read_text_file(ca.cert) + read_text_file(ca.key));
    root.write("/etc/ssl/no-cert.pem", "not a certificate\n");

    const std::string good = "log_ca = " + std::string(ca_setting) + "\nlog_name = logs.example\n";
    const std::vector<hostile> cases = {
        {"log_server = logs.example\" target=\"evil.example\n" + good, "[site] log_server"},
        {"log_server = logs.example}\naction(type=\"omfile\"\n" + good, "[site] log_server"},
        {"log_server = $(reboot)\n" + good, "[site] log_server"},
        {"log_server = logs.example#x\n" + good, "[site] log_server"},
        {"log_server = \"logs.example;x\"\n" + good, "[site] log_server"},
        {"log_server = logs example\n" + good, "[site] log_server"},
        {"log_server = logs.example:65536\n" + good, "[site] log_server"},
        {"log_server = ::1\n" + good, "[site] log_server"},
        {"log_server = " + std::string(2000, 'a') + "\n" + good, "[site] log_server"},
        {"log_server = 192.0.2.7\nlog_ca = " + std::string(ca_setting) + "\n", "[site] log_name"},
        {"log_server = logs.example\nlog_ca = /etc/ssl/site-ca.pem\nlog_name = \"logs.example\\\" x\"\n",
         "[site] log_name"},
        {"log_server = logs.example\nlog_ca = /etc/ssl/site-ca.pem\nlog_name = *.example\n", "[site] log_name"},
        {"log_server = logs.example\n", "[site] log_ca"},
        {"log_server = logs.example\nlog_ca = etc/ssl/site-ca.pem\n", "[site] log_ca"},
        {"log_server = logs.example\nlog_ca = /etc/ssl/missing.pem\n", "[site] log_ca"},
        {"log_server = logs.example\nlog_ca = /etc/ssl/with-key.pem\n", "[site] log_ca"},
        {"log_server = logs.example\nlog_ca = /etc/ssl/no-cert.pem\n", "[site] log_ca"},
        {good + "log_server = logs.example\nname = " + std::string(65, 'd') + "\n", "[site] name"},
        {good + "log_server = logs.example\nname = \"door 3\"\n", "[site] name"},
        {good + "log_server = logs.example\nname = door\x1b[2J\n", "[site] name"},
    };
    for (const hostile& attempt : cases) {
        root.write_settings("[site]\n" + attempt.settings);
        EXPECT_EQ(station.write_config("--update-config"), 255) << attempt.settings << station.report();
        // At start the same refusal is a plain failure, as sipbridge's.
        EXPECT_EQ(station.write_config("--write-config"), 1) << attempt.settings << station.report();
        EXPECT_NE(station.last_errors().find(attempt.named), std::string::npos)
            << attempt.settings << "\n" << station.last_errors();
        EXPECT_EQ(station.last_errors().find('\x1b'), std::string::npos) << station.last_errors();
        EXPECT_EQ(read_text_file(station.config_file()), config) << attempt.settings;
        EXPECT_EQ(read_text_file(station.ca_copy()), ca_copy) << attempt.settings;
    }
}

TEST_F(SiteStation, NoLogServerRemovesTheConfiguration)
{
    root.write_settings(site_settings_text("logs.example", ca_setting));
    ASSERT_EQ(station.write_config(), 0) << station.report();
    ASSERT_TRUE(std::filesystem::exists(station.config_file()));

    root.write_settings("[site]\nname = door-3\n");
    EXPECT_EQ(station.write_config("--update-config"), 0) << station.report();
    EXPECT_FALSE(std::filesystem::exists(station.config_file()));
    EXPECT_FALSE(std::filesystem::exists(station.ca_copy()));
    EXPECT_EQ(station.write_config("--update-config"), 1) << station.report();
    EXPECT_EQ(check_finding("log_server").rfind("ok: ", 0), 0u) << check_finding("log_server");
}
