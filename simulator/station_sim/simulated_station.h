// A whole station on a development machine: a station root made from the
// template, a redis-server on its socket, outputd, orvanel and either the
// stand-in SIP user agent or a real SIP stack (sipbridge, baresip and SIPp
// as registrar and far ends), all started by pid and stopped by pid. Keys and the tamper
// switch are worked through their GPIO value files, the far side of calls
// through the user agent's action list.
#pragma once

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "simulator/station_sim/station_view.h"
#include "station_kit/station.h"

class sim_station {
public:
    // root_dir is made afresh from the template; bin_dir holds the programs.
    sim_station(const std::string& root_dir, const std::string& bin_dir, std::ostream& out, bool real_sip = false);
    ~sim_station();

    // Starts everything and waits until each part is ready; false (after
    // saying what failed) when a part does not come up.
    bool start();
    void stop();

    const kit_root& root() const { return root_; }
    sim_view& view() { return *view_; }

    // Key 1 and 2 are the call keys; the visitor presses, holds, releases.
    bool press(int key);
    void release(int key);
    bool tap(int key);
    bool hold(int key, double seconds);
    void close_tamper();
    void open_tamper();
    // A far-side action of the user agent: "call-in 2001", "dtmf 1234" ...
    // With real SIP the far ends act by their scenarios; only "call-in"
    // (a visitor's phone calling the station) can be asked for.
    void far_side(const std::string& action);

    // station-check run on the station as an installer runs it, with only
    // the problems shown: its report, and its exit status (-1 when it could
    // not run).
    int run_check(std::string& report) const;

    bool real_sip() const { return sip_ != nullptr; }
    // The numbers that key 1 dials first and next.
    std::string key1_number(int n) const;

private:
    std::string program(const char* name) const;

    kit_root root_;
    std::string bin_dir_;
    std::ostream& out_;
    std::unique_ptr<redis_server> redis_;
    std::unique_ptr<kit_program> outputd_, orvanel_, uasim_;
    std::unique_ptr<sip_stack> sip_;
    std::vector<std::unique_ptr<kit_program>> visitors_;
    std::unique_ptr<redis_client> client_;
    std::unique_ptr<sim_view> view_;
};

// The call-status key of the station's first account, from its settings.
std::string first_account_status_key(const kit_root& root);
