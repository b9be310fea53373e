// A station root with the site log's pair on loopback: the site's CA and a
// server certificate made for the test, the CA's copy in the root where
// [site] log_ca names it, a site's log server and the station's instance
// (station_kit/site_log.h). Each test starts what it needs.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/c_holders.h"
#include "sitelog/rsyslog_files.h"
#include "station_kit/programs.h"
#include "station_kit/root.h"
#include "station_kit/site_log.h"

// The message that orvanel sends for an operation-log entry.
inline const std::string sample_entry =
    "<133>1 2026-12-10T05:04:28.123Z door-3 orvanel 812 door [meta sequenceId=\"42\" sysUpTime=\"123456\"]"
    "[station@32473 name=\"door-3\" mac=\"02:11:22:33:44:55\"][entry@32473 category=\"FUNCTION\" "
    "event=\"RELAY Request\" detail=\"DTMF code\"] FUNCTION,RELAY Request,DTMF code";

// A message with a given MSG and sequence number.
inline std::string entry_message(int sequence, const std::string& text)
{
    return "<134>1 2026-12-10T05:04:28.123Z door-3 orvanel 812 call [meta sequenceId=\"" + std::to_string(sequence) +
           "\"] " + text;
}

class SiteStation : public ::testing::Test {
protected:
    static constexpr const char* ca_setting = "/etc/ssl/site-ca.pem";

    void SetUp() override
    {
        ASSERT_FALSE(site_rsyslogd().empty()) << "rsyslogd is not installed: scripts/install-deps.sh installs rsyslog";
        ASSERT_FALSE(find_rsyslog_tls_module().empty())
            << "rsyslog's GnuTLS driver is not installed: scripts/install-deps.sh installs rsyslog-gnutls";
        ca = make_site_ca(root.file("/pki"), "Site CA");
        certificate = make_site_certificate(root.file("/pki"), ca, "logs", {"logs.example"}, {"127.0.0.1"});
        root.write(ca_setting, read_text_file(ca.cert));
    }

    // [site] naming the server on its port, with the site's CA.
    void write_site_settings(const std::string& log_name = "logs.example")
    {
        root.write_settings(site_settings_text(server.address(), ca_setting, log_name, "door-3"));
    }

    // The server with the certificate, then the station's instance from
    // the settings: true once both run.
    bool start_pair(const site_certificate& shown)
    {
        if (!server.start(free_site_port(), shown, ca.cert))
            return false;
        write_site_settings();
        return station.write_config() == 0 && station.start();
    }

    std::string report() const { return server.report() + station.report(); }

    // station-check's finding of the item in the site area, as JSON gives it:
    // "VERDICT: TEXT", or empty when there is none.
    std::string check_finding(const std::string& item)
    {
        kit_program check(root, std::string(STATION_BIN_DIR) + "/station-check", {"--json"});
        check.wait_exit(30s);
        const json_ptr parsed(cJSON_Parse(check.output().c_str()));
        const cJSON* all = cJSON_GetObjectItemCaseSensitive(parsed.get(), "findings");
        const cJSON* one = nullptr;
        cJSON_ArrayForEach(one, all)
        {
            const auto text = [&](const char* key) {
                const cJSON* value = cJSON_GetObjectItemCaseSensitive(one, key);
                return std::string(cJSON_IsString(value) ? value->valuestring : "");
            };
            if (text("area") == "site" && text("item") == item)
                return text("verdict") + ": " + text("text");
        }
        return "";
    }

    kit_root root;
    site_ca ca;
    site_certificate certificate;
    site_log_server server {root.file("/site-server")};
    site_log_station station {root};
};
