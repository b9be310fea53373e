// station-soak: both programs under a steady stream of key presses, calls
// with a door code, operation-log entries and relay requests, while the
// Redis server is restarted (half of the time by SIGKILL) and orvanel and
// outputd are killed at random moments and started again. At the end it
// counts what was handed over against what reached system.csv, cdr.csv and
// gpio66, and shows the programs' memory, threads and descriptors.
//
//   station-soak [--short] [--root DIR] [--seed N] [--seconds S]
//                [--redis-restarts N] [--kills N] [--record-kills N]
//
// The default run takes about eight minutes with 50 Redis restarts, 30
// kills of each program at random moments and 10 more kills of orvanel
// while a finished call's record waits in Redis for its file (orvanel's
// storage made to refuse every write just before); --short takes a minute
// with 5, 3 and 2, for CI. Exits 0 when nothing was lost or corrupted while
// the server was up.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "common/process.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "soak/soak_station.h"
#include "soak/tally.h"
#include "soak/workload.h"

namespace {

struct soak_options {
    std::string root = "run/soak";
    unsigned seed = std::random_device{}();
    int seconds = 480;
    int redis_restarts = 50;
    int kills = 30;
    int record_kills = 10;
};

enum class fault { restart_redis, kill_orvanel, kill_outputd, kill_orvanel_at_record };

struct planned_fault {
    std::chrono::milliseconds at;
    fault what;
};

// The faults at random moments over the run, each kind spread over all of it.
std::vector<planned_fault> plan_faults(const soak_options& o, std::mt19937& random)
{
    std::vector<planned_fault> plan;
    const int from = 3000, to = o.seconds * 1000 - 5000;
    std::uniform_int_distribution<int> moment(from, std::max(from, to));
    for (int i = 0; i < o.redis_restarts; ++i)
        plan.push_back({std::chrono::milliseconds(moment(random)), fault::restart_redis});
    for (int i = 0; i < o.kills; ++i) {
        plan.push_back({std::chrono::milliseconds(moment(random)), fault::kill_orvanel});
        plan.push_back({std::chrono::milliseconds(moment(random)), fault::kill_outputd});
    }
    for (int i = 0; i < o.record_kills; ++i)
        plan.push_back({std::chrono::milliseconds(moment(random)), fault::kill_orvanel_at_record});
    std::sort(plan.begin(), plan.end(), [](const planned_fault& a, const planned_fault& b) { return a.at < b.at; });
    return plan;
}

int usage()
{
    std::cerr << "usage: station-soak [--short] [--root DIR] [--seed N] [--seconds S] [--redis-restarts N] "
                 "[--kills N] [--record-kills N]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    soak_options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--short") {
            o.seconds = 60;
            o.redis_restarts = 5;
            o.kills = 3;
            o.record_kills = 2;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (arg == "--root")
            o.root = value;
        else if (arg == "--seed")
            o.seed = static_cast<unsigned>(std::stoul(value));
        else if (arg == "--seconds")
            o.seconds = std::stoi(value);
        else if (arg == "--redis-restarts")
            o.redis_restarts = std::stoi(value);
        else if (arg == "--kills")
            o.kills = std::stoi(value);
        else if (arg == "--record-kills")
            o.record_kills = std::stoi(value);
        else
            return usage();
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    survive_broken_pipes();
    o.root = std::filesystem::absolute(o.root).lexically_normal().string();
    if (!station_root_is_safe(o.root)) {
        std::cerr << "The station root " << o.root << " holds characters that shell commands cannot take.\n";
        return 2;
    }

    std::cout << "Soak of " << o.seconds << " s under " << o.root << ", seed " << o.seed << ": " << o.redis_restarts
              << " Redis restarts, " << o.kills << " kills of orvanel and of outputd, " << o.record_kills
              << " kills of orvanel with call records waiting\n";
    std::mt19937 random(o.seed);
    kit_root root(o.root);
    soak_station station(root);  // lays out the soak's settings
    if (!station.start()) {
        std::cerr << "The station did not come up.\n";
        return 1;
    }

    const auto begin = soak_clock::now();
    std::atomic<bool> faults_done{false};
    std::atomic<bool> stop{false};
    std::vector<std::string> records_at_kills;  // the fault thread's until it is joined
    std::thread faults([&] {
        std::mt19937 fault_random(o.seed + 1);
        std::uniform_int_distribution<int> down(200, 1500), restart_pause(200, 600);
        bool crash = false;
        for (const planned_fault& f : plan_faults(o, random)) {
            std::this_thread::sleep_until(begin + f.at);
            if (f.what == fault::kill_orvanel_at_record) {
                const std::vector<std::string> waiting =
                    station.kill_orvanel_with_records_waiting(std::chrono::milliseconds(restart_pause(fault_random)), 15s);
                records_at_kills.insert(records_at_kills.end(), waiting.begin(), waiting.end());
                std::cout << "  " << static_cast<int>(station.seconds_since_start(soak_clock::now()))
                          << " s: orvanel killed with " << waiting.size()
                          << " call records waiting in Redis, and started again\n";
            } else if (f.what == fault::restart_redis) {
                station.restart_redis(crash = !crash, std::chrono::milliseconds(down(fault_random)));
                std::cout << "  " << static_cast<int>(station.seconds_since_start(soak_clock::now()))
                          << " s: Redis restarted" << (crash ? " after SIGKILL" : "") << "\n";
            } else {
                const bool orvanel = f.what == fault::kill_orvanel;
                const std::chrono::milliseconds pause(restart_pause(fault_random));
                orvanel ? station.kill_orvanel(pause) : station.kill_outputd(pause);
                std::cout << "  " << static_cast<int>(station.seconds_since_start(soak_clock::now())) << " s: "
                          << (orvanel ? "orvanel" : "outputd") << " killed and started again\n";
            }
        }
        faults_done = true;
    });
    std::thread vitals([&] {
        while (!stop) {
            std::this_thread::sleep_for(2s);
            station.sample_vitals();
        }
    });

    soak_workload work(root);
    std::vector<round_record> rounds;
    for (int i = 1; !faults_done || soak_clock::now() - begin < std::chrono::seconds(o.seconds); ++i)
        rounds.push_back(work.run_round(i));
    faults.join();

    // What waits in Redis drains at the writer's pace of five a second.
    std::cout << "  " << rounds.size() << " rounds done; waiting for the lists to drain\n";
    const bool drained = wait_until(
        [&] {
            return work.length(writelog_list) == 0 && work.length(writelog_processing) == 0 &&
                   work.length(output_list) == 0 && work.length(output_processing) == 0 &&
                   work.length(cdr_list) == 0 && work.length(cdr_processing) == 0;
        },
        180s);
    std::this_thread::sleep_for(1s);
    stop = true;
    vitals.join();
    if (!drained)
        std::cout << "The lists did not drain within three minutes.\n";
    bool passed = tally(root, station, rounds, records_at_kills, std::cout) && drained;
    if (o.record_kills > 0 && records_at_kills.empty()) {
        std::cout << "FAILED: no call record waited in Redis at any kill meant for one\n";
        passed = false;
    }
    std::cout << "Again with the same faults: station-soak --seed " << o.seed << " --seconds " << o.seconds
              << " --redis-restarts " << o.redis_restarts << " --kills " << o.kills << " --record-kills "
              << o.record_kills << "\n";
    return passed ? 0 : 1;
}
