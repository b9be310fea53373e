// What keeping the station's accepted items on the storage costs: the syncs
// and the bytes that Redis (its append-only file synced before each answer)
// and orvanel (each record line synced) write, at rest, per operation-log
// entry and per call. Bytes are what the kernel counts each process sending
// towards the storage (/proc/PID/io write_bytes): a page for each synced
// append, before the file system's own journal. The syncs are counted with
// strace, where it is installed.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

#include "bench/bench_station.h"

struct write_load {
    double syncs = -1;  // fsync and fdatasync; -1 where strace is missing
    double bytes = 0;
    double seconds = 0;
    bool complete = false;
};

// The storage writes of the processes between the two readings.
class write_meter {
public:
    explicit write_meter(std::vector<pid_t> pids);
    ~write_meter();
    write_meter(const write_meter&) = delete;
    write_meter& operator=(const write_meter&) = delete;
    // What was written since the meter started, divided by count.
    write_load per(double count, bool complete);

private:
    std::vector<pid_t> pids_;
    long long bytes_before_ = 0;
    std::chrono::steady_clock::time_point started_;
    pid_t tracer_ = -1;
    std::string trace_file_;
};

long long write_bytes(pid_t pid);

// The station at rest for the period, once the lists have drained; per hour.
write_load writes_at_rest(const bench_station& station, const std::vector<pid_t>& pids, std::chrono::seconds period);
// Entries pushed to writelog-channel one at a time, until system.csv holds
// them all.
write_load writes_per_entry(const bench_station& station, const std::vector<pid_t>& pids, int entries);
// Calls as the user agent reports them (a key release and its dial, the
// call going out, answered, closed), until cdr.csv holds their records and
// every list has drained.
write_load writes_per_call(const bench_station& station, const std::vector<pid_t>& pids, int calls);
