// The station under the soak test: a redis-server that keeps its data on
// disk, outputd and orvanel under one station root, each ended and started
// again by the fault plan, with a record of every outage. One mutex guards
// the processes; the workload never touches them, it only works the keys
// and talks through Redis.
#pragma once

#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "station_kit/station.h"

using soak_clock = std::chrono::steady_clock;

enum class fault_kind { redis_down, orvanel_down, outputd_down };

// One outage, from the moment the fault struck until the part was back and
// ready (the server answering, orvanel subscribed, outputd started).
struct fault_event {
    fault_kind kind;
    soak_clock::time_point begin;
    soak_clock::time_point end;
};

// What the kernel tells of a program at one moment.
struct vitals_sample {
    double at_seconds;  // since the soak began
    const char* program;
    int lifetime;  // 1 for the first start, 2 after the first restart ...
    long rss_kb;
    int threads;
    int descriptors;
};

class soak_station {
public:
    // Writes the soak's settings into the root.
    explicit soak_station(const kit_root& root);
    ~soak_station();

    // Starts the server, outputd and orvanel; false when one does not come up.
    bool start();

    // Ends the server (SIGKILL when crash, else SIGTERM), keeps it down for
    // the time given and starts it again.
    void restart_redis(bool crash, std::chrono::milliseconds down);
    // Kills the program with SIGKILL at once and starts it again after the
    // pause (a service manager's restart delay).
    void kill_orvanel(std::chrono::milliseconds pause);
    void kill_outputd(std::chrono::milliseconds pause);
    // Makes orvanel's storage refuse every write (a file-size limit of 0),
    // waits up to `wait` for a call record to wait in Redis for its file,
    // kills orvanel then and starts it again after the pause. The record
    // lines that were waiting, oldest first; none when no call came.
    std::vector<std::string> kill_orvanel_with_records_waiting(std::chrono::milliseconds pause,
                                                               std::chrono::seconds wait);

    // Samples both programs; a program found ended that the plan did not end
    // is counted and started again.
    void sample_vitals();

    std::vector<fault_event> faults() const;
    std::vector<vitals_sample> vitals() const;
    int unexpected_ends() const;
    // True when an outage of one of the kinds overlaps [from, to], counting
    // an outage as lasting `grace` beyond its end.
    bool disturbed(soak_clock::time_point from, soak_clock::time_point to, std::initializer_list<fault_kind> kinds,
                   std::chrono::milliseconds grace) const;
    double seconds_since_start(soak_clock::time_point t) const;

private:
    bool start_orvanel();
    void start_outputd();
    void kill_and_start(std::unique_ptr<kit_program>& program, fault_kind kind, std::chrono::milliseconds pause);
    void note(fault_kind kind, soak_clock::time_point begin);
    // True when the program has ended. An end counts as unexpected unless
    // it is the one the programs make on purpose: status 255 when the
    // server was away as they started, within their first 3 s (their
    // service starts them again).
    // Called with the mutex held.
    bool ended(std::unique_ptr<kit_program>& program, soak_clock::time_point started);
    void sample(const std::unique_ptr<kit_program>& p, const char* name, int lifetime,
                soak_clock::time_point started);

    const kit_root& root_;
    soak_clock::time_point started_ = soak_clock::now();
    mutable std::mutex mutex_;
    redis_server redis_;
    std::unique_ptr<kit_program> orvanel_, outputd_;
    int orvanel_lifetime_ = 0, outputd_lifetime_ = 0;
    soak_clock::time_point orvanel_started_{}, outputd_started_{};
    int unexpected_ends_ = 0;
    std::vector<fault_event> faults_;
    std::vector<vitals_sample> vitals_;
};

// The call-status key and the registration event of the soak's account.
extern const char* const soak_account_aor;
extern const char* const soak_status_key;
extern const char* const soak_register_event;
