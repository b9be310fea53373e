// The station against a real registrar (Kamailio 5.6 with digest
// authentication as registrar and proxy on loopback) and a far phone (a
// second baresip, user 3000, answering on its own) registered at it: the
// fixture of the PBX tests and of the TLS relay's.
#pragma once

#include <algorithm>
#include <chrono>
#include <iostream>

#include "station_kit/pbx.h"
#include "tests/sip/sip_station.h"

inline const std::string station_password = "Door-2000pw";
inline const std::string phone_password = "Far-3000pw";

// The account part of the settings that the station uses at the registrar.
struct pbx_account {
    std::string password = station_password;
    std::string server;  // empty: the registrar's address (the domain)
    std::string transport;
    std::string auth_user;
    std::string regint;
    std::string mediaenc;
    std::string tls_name;
};

inline bool has_line_with(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

inline std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    return out;
}

// True when the loopback interface has its IPv6 address.
inline bool has_ipv6_loopback()
{
    const pipe_ptr ip(::popen("ip -6 addr show lo 2>/dev/null", "r"));
    if (!ip)
        return false;
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, ip.get()))
        text += buffer;
    return text.find("inet6 ::1/128") != std::string::npos;
}

class PbxStation : public SipStation {
protected:
    void SetUp() override { started_ = std::chrono::steady_clock::now(); }

    void TearDown() override
    {
        if (HasFailure()) {
            if (registrar)
                std::cerr << registrar->report();
            if (phone)
                std::cerr << phone->report();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started_;
        std::cout << "[ wall time ] " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << ": "
                  << took.count() << " s\n";
        SipStation::TearDown();
    }

    // Kamailio with the station's user (by its authorization name) and the
    // far phone's.
    void start_registrar(const std::string& host = "127.0.0.1", const std::string& station_auth_name = "2000",
                         const std::optional<test_certificate>& certificate = std::nullopt,
                         const std::string& password = station_password)
    {
        registrar = std::make_unique<pbx>(root, host);
        registrar->add_user(station_auth_name, password);
        registrar->add_user("3000", phone_password);
        if (certificate)
            registrar->use_tls(*certificate);
        ASSERT_TRUE(registrar->start()) << registrar->report();
    }

    void start_phone(far_phone_options options = {})
    {
        options.password = phone_password;
        phone = std::make_unique<far_phone>(root, *registrar, std::move(options));
        ASSERT_TRUE(phone->start()) << phone->report() << registrar->report();
    }

    // The settings of SipStation with key 1 calling the far phone, and the
    // station's account at the registrar instead of SIPp's.
    std::string pbx_settings(const pbx_account& account, const std::string& listen_host = "127.0.0.1",
                             const std::string& sip_section_extra = "") const
    {
        std::string rest = settings("next_number_1 = 3000\n");
        const std::string sipp_account = sip.account_settings();
        EXPECT_EQ(rest.rfind(sipp_account, 0), 0u) << "SipStation::settings() starts with the account";
        rest.erase(0, sipp_account.size());
        const std::string server = account.server.empty() ? registrar->address() : account.server;
        std::string ini = "[account_info_1]\nenable = yes\nusername = 2000\ndomain = " + registrar->address() +
                          "\nserver = " + server + "\npassword = '" + account.password + "'\n";
        if (!account.transport.empty())
            ini += "transport = " + account.transport + "\n";
        if (!account.auth_user.empty())
            ini += "auth_user = " + account.auth_user + "\n";
        if (!account.regint.empty())
            ini += "regint = " + account.regint + "\n";
        if (!account.mediaenc.empty())
            ini += "mediaenc = " + account.mediaenc + "\n";
        if (!account.tls_name.empty())
            ini += "tls_name = " + account.tls_name + "\n";
        return ini + sip.listen_settings(listen_host) + sip_section_extra + rest;
    }

    // outputd, orvanel, the station's user agent and the bridge.
    void start_pbx_station(const std::string& ini)
    {
        ASSERT_NO_FATAL_FAILURE(start_station(ini));
        user_agent_started_ = std::chrono::steady_clock::now();
        ASSERT_TRUE(sip.start_user_agent()) << sip.report();
        ASSERT_TRUE(sip.start_bridge()) << sip.report();
    }

    std::string station_aor() const { return "sip:2000@" + registrar->address(); }
    std::string pbx_registered_entry() const
    {
        return "SIP STATE,SIP REGISTERED,Primary SIP Account <" + station_aor() + ">";
    }
    std::string pbx_status_key() const { return "baresip-call-status-2000-" + registrar->address(); }
    std::optional<std::string> call_status() { return client.get(pbx_status_key()); }

    bool wait_pbx_registered()
    {
        return wait_until([&] { return count_entries(pbx_registered_entry()) >= 1; }, 10s);
    }

    // Key 1 calls the far phone, which answers at once: the call is
    // established, the relay switches, and the far phone's hang-up ends it
    // with an answered call's record.
    void key_call_is_answered()
    {
        tap(140);
        ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL ESTABLISHED,outgoing") == 1; }, 10s))
            << joined(oplog()) << joined(registrar->log_lines());
        EXPECT_EQ(count_entries("SIP STATE,OUTGOING CALL,sip:3000@" + registrar->address()), 1u)
            << "the far end as dialled, without the account's transport\n" << joined(oplog());
        EXPECT_EQ(call_status(), std::string(R"({"status":"answer"})"));
        EXPECT_TRUE(wait_until([&] { return root.gpio(66) == 1; }, 3s)) << "relay on when the call is answered";

        ASSERT_TRUE(phone->hangup()) << phone->report();
        ASSERT_TRUE(wait_until(
            [&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }, 10s))
            << joined(oplog());
        EXPECT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"idle"})"); }));
        const auto records = wait_records(1);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_EQ(records[0].size(), 9u);
        EXPECT_EQ(records[0][3], station_aor());
        EXPECT_EQ(records[0][4], "3000");
        EXPECT_EQ(records[0][6], "out");
        EXPECT_EQ(records[0][7], "ANSWERED");
    }

    // The far phone dials 2000: the station rings; the far phone gives up.
    void far_phone_rings_the_station()
    {
        ASSERT_TRUE(phone->dial("2000")) << phone->report();
        ASSERT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"ring"})"); }, 5s))
            << joined(oplog()) << joined(registrar->log_lines()) << phone->report();
        EXPECT_TRUE(wait_until([&] { return has_entry_starting("SIP STATE,INCOMING CALL,sip:3000@"); }))
            << joined(oplog());
        ASSERT_TRUE(phone->hangup());
        EXPECT_TRUE(wait_until([&] { return call_status() == std::string(R"({"status":"idle"})"); }, 5s));
    }

    std::unique_ptr<pbx> registrar;
    std::unique_ptr<far_phone> phone;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point user_agent_started_;
};
