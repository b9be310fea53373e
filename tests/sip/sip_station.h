// The station with real SIP for a test: orvanel and outputd under a station
// root, sipbridge, baresip as the station's user agent and SIPp as
// registrar, far ends and a visitor's phone, all on loopback.
#pragma once

#include <csignal>
#include <filesystem>

#include "common/process.h"
#include "tests/integration/running_station.h"

inline bool has_request(const std::vector<std::string>& requests, const std::string& start)
{
    return std::any_of(requests.begin(), requests.end(), [&](const std::string& r) { return r.rfind(start, 0) == 0; });
}

class SipStation : public RunningStation {
protected:
    // A test that meets a closed Redis connection fails; it must not end by
    // SIGPIPE and leave the SIP stack running.
    SipStation() { survive_broken_pipes(); }

    void TearDown() override
    {
        if (HasFailure()) {
            std::cerr << sip.report();
            if (outputd)
                std::cerr << outputd->report("outputd");
        }
        RunningStation::TearDown();
    }

    // Key 1 calls 1001 on account 1, then 1002 (a later key in key1_numbers
    // wins over the same key before it); key 2 calls 2001. The relay goes on
    // when a call is answered (unless `relay` turns the call triggers off)
    // and off two seconds later; the door code 1234 switches it too.
    std::string settings(const std::string& key1_numbers = "next_number_1 = 1001\nnext_number_2 = 1002\n",
                         const std::string& relay = "call_state = yes\n") const
    {
        return sip.account_settings() + "[system]\nmodel = ZR-K11\nlanguage = en\n" +
               "[button-gpio140]\nkey_mode = 1\nnumber_1_line = 2\nnumber_2_line = 2\nno_reply = yes\n"
               "next_time = 1\nbusy_or_unuse = yes\nhang_up = yes\n" + key1_numbers +
               "[button-gpio67]\nkey_mode = 1\nnext_number_1 = 2001\nnumber_1_line = 2\nhang_up = yes\n"
               "[relay_ctrl]\n" + relay +
               "state_info = answered\ncall_reset_mode = delay\ncall_reset_duration = 2\ntype = On\n"
               "dtmf = yes\ndtmf_code = 1234\nmode = delay\ndtmf_reset_duration = 3\nrelay_mode = singleBToggle\n";
    }

    void start_station(const std::string& ini)
    {
        root.write_settings(ini);
        outputd = std::make_unique<kit_program>(root, outputd_binary(), std::vector<std::string> {"debug"});
        start_orvanel();
    }

    // The whole station, registered at the far end.
    void start_registered(const std::string& ini)
    {
        start_station(ini);
        ASSERT_TRUE(sip.start()) << sip.report();
        ASSERT_TRUE(wait_registered(1));
    }

    bool wait_registered(size_t times)
    {
        return wait_until([&] { return count_entries(registered_entry()) == times; }, 10s);
    }

    std::string registered_entry() const
    {
        return "SIP STATE,SIP REGISTERED,Primary SIP Account <" + sip.aor() + ">";
    }

    std::string status_key() const
    {
        return "baresip-call-status-2000-127.0.0.1:" + sip.aor().substr(sip.aor().rfind(':') + 1);
    }

    bool has_entry_starting(const std::string& start)
    {
        const auto entries = oplog();
        return std::any_of(entries.begin(), entries.end(), [&](const std::string& e) { return e.rfind(start, 0) == 0; });
    }

    bool leds_ready() { return root.gpio(131) == 1 && root.gpio(130) == 0; }
    bool leds_no_account() { return root.gpio(131) == 0 && root.gpio(130) == 1; }

    // The far end's requests once one starts as given.
    std::vector<std::string> wait_request(const std::string& start, std::chrono::milliseconds timeout = 10s)
    {
        wait_until([&] { return has_request(sip.far_end_requests(), start); }, timeout);
        return sip.far_end_requests();
    }

    std::vector<std::vector<std::string>> wait_records(size_t n)
    {
        wait_until([&] { return split(root.read("/userdata/cdr.csv"), '\n').size() >= n; }, 10s);
        std::vector<std::vector<std::string>> records;
        for (const std::string& line : split(root.read("/userdata/cdr.csv"), '\n'))
            records.push_back(split(line, ','));
        return records;
    }

    sip_stack sip {root};
    std::unique_ptr<kit_program> outputd;
};

