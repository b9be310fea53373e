// What a person watching the simulated station sees: an observer thread
// samples the four LED lines, the relay line and the SIP user agent's call
// status every 20 ms, follows the operation log, and prints a readable
// timeline of what changed. The samples feed the timing chart.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <map>
#include <vector>

#include "station_kit/sip_stack.h"

class kit_root;

// One sample of the station's outputs.
struct station_sample {
    double t;  // seconds since the start
    int key1_blue, key1_other, key2_blue, key2_other, relay;
    std::string call_status;
};

// The complete lines a growing text file gained since the last look.
class file_follower {
public:
    explicit file_follower(std::string path = {}) : path_(std::move(path)) {}
    std::vector<std::string> new_lines();

private:
    std::string path_;
    long offset_ = 0;
    std::string partial_;
};

// A scenario step or a person's command, shown as a marker in the chart.
struct station_marker {
    double t;
    std::string text;
};

// A line's current level and the times at which its level changed.
struct line_history {
    int level = 0;
    std::vector<double> changes;  // ascending
};

// What a group of lines shows: a steady pattern once nothing has changed
// for longer than half of the slowest blink, a blink once the changes come
// at an even pace, and undecided in between.
struct pattern_reading {
    bool decided = false;
    std::string text;
    double since = 0;  // when the pattern began
};

// A key's LED pair: "blue steady (ready)", "blue slow blink (ringing)" ...
pattern_reading read_led_pair(const line_history& blue, const line_history& other, double now);
// The relay line: "on (gpio66 high)", "off (gpio66 low)" or "blinking".
pattern_reading read_relay(const line_history& relay, double now);
// The user agent's stored call status as words.
std::string call_status_words(const std::string& stored);

class sim_view {
public:
    sim_view(const kit_root& root, std::string status_key, std::ostream& out);
    ~sim_view();

    void start();
    void stop();
    // Shows what the stand-in user agent prints (its console file) as well.
    void follow_user_agent_output(const std::string& path);
    // Shows the SIP messages of a real far end (SIPp's message trace).
    void follow_sip_trace(const std::string& path);
    // How many SIP messages of each kind the far end received and sent.
    struct sip_counts {
        std::map<std::string, int> received, sent;
    };
    sip_counts sip_messages();

    double now() const;
    // Prints a scenario step or command and marks it in the chart.
    void note(const std::string& what);
    // Waits until an operation-log entry that starts with the text arrives
    // after the ones earlier waits have passed over.
    bool wait_entry(const std::string& prefix, std::chrono::milliseconds timeout);
    // The same for entries that two threads write, in whichever order they
    // arrive (a key's answer and the call it establishes).
    bool wait_entries(const std::vector<std::string>& prefixes, std::chrono::milliseconds timeout);
    // Later waits look only at entries that arrive from now on.
    void skip_seen();
    // Waits until the relay line shows the level.
    bool wait_relay(int level, std::chrono::milliseconds timeout);
    // Current LEDs, relay and call status on one line.
    std::string status_line();

    std::vector<station_sample> samples();
    std::vector<station_marker> markers();

private:

    void run();
    void sample_once();
    void follow_operation_log();
    void follow_user_agent();
    void show(std::string& shown, const pattern_reading& reading, const char* what);
    // Lines wait a moment before they are printed, so a pattern that is only
    // confirmed later still appears in time order.
    void queue_line(double t, const std::string& what, const std::string& text);
    void print_due(bool all);

    const kit_root& root_;
    std::string status_key_;
    std::ostream& out_;
    std::chrono::steady_clock::time_point start_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<station_sample> samples_;
    std::vector<station_marker> markers_;
    std::vector<std::string> entries_;
    std::size_t entries_seen_ = 0;  // entries that earlier waits passed over
    line_history lines_[5];  // key 1 blue and other, key 2 blue and other, relay
    std::string shown_key1_, shown_key2_, shown_relay_, shown_status_;
    struct pending_line {
        double t;
        std::size_t order;
        std::string text;
    };
    std::vector<pending_line> pending_;
    std::size_t lines_queued_ = 0;
    file_follower operation_log_;
    file_follower user_agent_output_;
    file_follower sip_trace_;
    sip_trace_reader sip_reader_;
    sip_counts sip_counts_;

    std::atomic<bool> running_{false};
    std::thread thread_;
};
