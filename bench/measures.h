// What the benchmark measures, each on a station already started: the time
// from a key release to the dial command on control-channel, the rate at
// which session events are handled, and what a program costs at rest (CPU,
// wake-ups, resident memory) as the kernel counts it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "bench/bench_station.h"

struct percentiles {
    double p50 = 0, p90 = 0, p99 = 0;  // milliseconds
    int samples = 0;
    int missed = 0;  // releases that brought no dial command within 2 s
};

// Nearest-rank percentiles of the samples (ms); all 0 without samples.
percentiles summarize(std::vector<double> samples_ms, int missed);

// Presses and releases key 1 the given number of times and times each
// release until the dial command is taken from control-channel. After each
// dial the user agent's registration puts the station back to idle.
percentiles key_to_dial(const bench_station& station, int presses);

struct event_rate {
    double per_second = 0;
    double cpu_us_per_event = 0;  // of the handling program
    bool complete = false;        // the last event's entry arrived
};

// Publishes the number of door-code events on session-channel as fast as
// the server takes them and times how long the program takes to handle
// them all (the last one's operation-log entry on writelog-channel).
event_rate session_events(const bench_station& station, pid_t handler, int events);
// Three runs of the above: the median rate and the median CPU per event, so
// one run that the machine disturbed does not decide the figure.
event_rate median_session_events(const bench_station& station, pid_t handler, int events);

// What the kernel counts for a process and all its threads.
struct process_counts {
    double cpu_seconds = 0;
    long long wakeups = 0;  // context switches, voluntary and not
    long rss_kb = 0;
};
process_counts read_counts(pid_t pid);

struct idle_cost {
    double cpu_percent = 0;  // of one core
    double wakeups_per_second = 0;
    long rss_kb = 0;
};

// The cost of each process over the same period at rest.
std::vector<idle_cost> idle_costs(const std::vector<pid_t>& pids, std::chrono::seconds period);

// The pid of a running program found by its name, for --running.
std::optional<pid_t> find_program(const std::string& name);
