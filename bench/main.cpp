// station-bench: what the station costs and how fast it answers, beside a
// plain C yardstick (bench-floor) that does only the work each step needs.
//
//   station-bench [--root DIR] [--bin DIR] [--presses N] [--events N]
//                 [--idle-seconds S] [--no-floor] [--durable]
//   station-bench --running [--idle-seconds S]
//
// The first form lays out a station root at DIR (a temporary one by default),
// starts a redis-server on its socket and the programs from DIR given by
// --bin (by default the folder of station-bench itself), and measures: idle
// CPU, wake-ups and resident memory of orvanel and outputd over S seconds
// (60), key release to dial command over N presses (200), and session
// events handled per second over N events (20000, the median of three runs);
// then the same presses and events with bench-floor in orvanel's place.
// --running measures only the idle cost and memory of the orvanel and
// outputd that run on this device. --durable gives the redis-server the
// board's append-only file, synced before each answer, in DIR/userdata/redis
// (put DIR on the storage to be measured), and adds what that writes: syncs
// (with strace) and bytes at rest, per operation-log entry and per call.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/bench_station.h"
#include "bench/durability.h"
#include "bench/measures.h"

namespace {

struct bench_options {
    std::string root;
    std::string bin;
    int presses = 200;
    int events = 20000;
    int idle_seconds = 60;
    bool floor = true;
    bool running = false;
    bool durable = false;
};

std::string own_folder()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "." : self.parent_path().string();
}

bool parse_options(int argc, char** argv, bench_options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--root" && has_value)
            o.root = argv[++i];
        else if (a == "--bin" && has_value)
            o.bin = argv[++i];
        else if (a == "--presses" && has_value)
            o.presses = std::atoi(argv[++i]);
        else if (a == "--events" && has_value)
            o.events = std::atoi(argv[++i]);
        else if (a == "--idle-seconds" && has_value)
            o.idle_seconds = std::atoi(argv[++i]);
        else if (a == "--no-floor")
            o.floor = false;
        else if (a == "--running")
            o.running = true;
        else if (a == "--durable")
            o.durable = true;
        else
            return false;
    }
    return o.presses > 0 && o.events > 0 && o.idle_seconds > 0;
}

void print_idle_row(const char* name, const idle_cost& c)
{
    std::printf("%-30s %9.3f %% %8.1f/s %8.2f MB\n", name, c.cpu_percent, c.wakeups_per_second,
                static_cast<double>(c.rss_kb) / 1024);
}

// The at-rest table: costs of orvanel and outputd, in that order.
void print_idle(int seconds, const std::vector<idle_cost>& costs)
{
    std::printf("\n%-30s %11s %10s %11s\n", ("At rest over " + std::to_string(seconds) + " s").c_str(), "CPU (core)",
                "wake-ups", "resident");
    print_idle_row("orvanel", costs[0]);
    print_idle_row("outputd", costs[1]);
    print_idle_row("together", {costs[0].cpu_percent + costs[1].cpu_percent,
                                costs[0].wakeups_per_second + costs[1].wakeups_per_second,
                                costs[0].rss_kb + costs[1].rss_kb});
}

void print_ratio_row(const char* name, double station, double floor, bool with_floor, const char* unit)
{
    if (with_floor)
        std::printf("%-30s %10.3f %10.3f %8.2fx %s\n", name, station, floor, floor > 0 ? station / floor : 0.0, unit);
    else
        std::printf("%-30s %10.3f %10s %9s %s\n", name, station, "-", "-", unit);
}

int run_running(const bench_options& o)
{
    const auto orvanel = find_program("orvanel");
    const auto outputd = find_program("outputd");
    if (!orvanel || !outputd) {
        std::fprintf(stderr, "orvanel and outputd must both be running\n");
        return 1;
    }
    const auto costs = idle_costs({*orvanel, *outputd}, std::chrono::seconds(o.idle_seconds));
    print_idle(o.idle_seconds, costs);
    return 0;
}

int run_root(const bench_options& o, const std::string& root)
{
    const std::string bin = o.bin.empty() ? own_folder() : o.bin;
    bench_station station(root, bin, own_folder(), o.durable);

    kit_program outputd = station.start_outputd();
    kit_program orvanel = station.start_orvanel();
    // The start-up's own work (status reads, the first registration) is
    // over before the rest is measured.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::fprintf(stderr, "measuring the programs at rest for %d s ...\n", o.idle_seconds);
    const auto costs = idle_costs({orvanel.pid(), outputd.pid()}, std::chrono::seconds(o.idle_seconds));

    std::fprintf(stderr, "%d key presses ...\n", o.presses);
    const percentiles keys = key_to_dial(station, o.presses);
    std::vector<std::pair<const char*, write_load>> writes;
    if (o.durable) {
        const std::vector<pid_t> writers = {station.redis_pid(), orvanel.pid(), outputd.pid()};
        std::fprintf(stderr, "what the storage takes: at rest for %d s, 100 entries, 20 calls ...\n", o.idle_seconds);
        writes.emplace_back("at rest, per hour", writes_at_rest(station, writers, std::chrono::seconds(o.idle_seconds)));
        writes.emplace_back("per operation-log entry", writes_per_entry(station, writers, 100));
        writes.emplace_back("per call", writes_per_call(station, writers, 20));
    }
    std::fprintf(stderr, "%d session events, three times ...\n", o.events);
    const event_rate events = median_session_events(station, orvanel.pid(), o.events);
    const long busy_rss = read_counts(orvanel.pid()).rss_kb;
    const long outputd_rss = read_counts(outputd.pid()).rss_kb;
    orvanel.kill();

    percentiles floor_keys;
    event_rate floor_events;
    if (o.floor) {
        std::fprintf(stderr, "the same with bench-floor ...\n");
        kit_program floor = station.start_floor("keys");
        floor_keys = key_to_dial(station, o.presses);
        floor = station.start_floor("events");
        floor_events = median_session_events(station, floor.pid(), o.events);
    }

    std::printf("\n%-30s %10s %10s %9s\n", "Station against the floor", "orvanel", "floor", "ratio");
    print_ratio_row("key release to dial p50", keys.p50, floor_keys.p50, o.floor, "ms");
    print_ratio_row("key release to dial p90", keys.p90, floor_keys.p90, o.floor, "ms");
    print_ratio_row("key release to dial p99", keys.p99, floor_keys.p99, o.floor, "ms");
    print_ratio_row("session events", events.per_second, floor_events.per_second, o.floor, "per s");
    print_ratio_row("CPU per session event", events.cpu_us_per_event, floor_events.cpu_us_per_event, o.floor, "us");
    print_idle(o.idle_seconds, costs);
    std::printf("%-30s %33.2f MB\n", "orvanel resident after the work", static_cast<double>(busy_rss) / 1024);
    std::printf("%-30s %33.2f MB\n", "outputd resident after the work", static_cast<double>(outputd_rss) / 1024);

    bool written = true;
    if (!writes.empty()) {
        std::printf("\n%-30s %10s %12s\n", "Storage writes (Redis, orvanel, outputd)", "syncs", "bytes");
        for (const auto& [name, load] : writes) {
            if (load.syncs < 0)
                std::printf("%-30s %10s %12.0f\n", name, "-", load.bytes);
            else
                std::printf("%-30s %10.1f %12.0f\n", name, load.syncs, load.bytes);
            written = written && load.complete;
        }
        if (writes.front().second.syncs < 0)
            std::printf("(syncs are counted with strace, which is not installed)\n");
        if (!written)
            std::printf("\nthe entries or calls were not all stored in time\n");
    }

    const int missed = keys.missed + floor_keys.missed;
    const bool complete = events.complete && (!o.floor || floor_events.complete);
    if (missed > 0)
        std::printf("\n%d releases brought no dial command within 2 s\n", missed);
    if (!complete)
        std::printf("\nsession events were not all handled within 120 s\n");
    std::printf("\n%d presses, %d events; programs from %s; root %s\n", keys.samples + keys.missed, o.events,
                bin.c_str(), station.root().c_str());
    return missed == 0 && complete && written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    bench_options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: station-bench [--root DIR] [--bin DIR] [--presses N] [--events N] [--idle-seconds S] "
                     "[--no-floor] [--durable]\n       station-bench --running [--idle-seconds S]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (o.running)
        return run_running(o);
    std::string root = o.root;
    const bool temporary = root.empty();
    if (temporary) {
        char pattern[] = "/tmp/station-bench.XXXXXX";
        if (!mkdtemp(pattern))
            return 1;
        root = pattern;
    }
    int status = 1;
    try {
        status = run_root(o, root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "station-bench: %s\n", e.what());
    }
    if (temporary)
        std::filesystem::remove_all(root);
    return status;
}
