#include "bench/measures.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "station_kit/programs.h"
#include "station_kit/redis.h"
#include "station_kit/waits.h"

using bench_clock = std::chrono::steady_clock;

namespace {

double ms_between(bench_clock::time_point from, bench_clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A door-code event as the user agent sends it, numbered by its digits.
std::string dtmf_event(int n)
{
    return R"({"type":"CALL_DTMF_START","class":"call","accountaor":")" + std::string(bench_station::account_aor) +
           R"(","direction":"outgoing","peeruri":"sip:1001@bench.test","param":")" + std::to_string(n) + R"("})";
}

// Publishes the events in batches: each batch leaves in one write and its
// replies are read together, so the publisher keeps ahead of any handler.
bool publish_all(redisContext* c, int events)
{
    const int batch = 500;
    for (int first = 0; first < events; first += batch) {
        const int last = std::min(events, first + batch);
        for (int n = first; n < last; ++n)
            redisAppendCommand(c, "PUBLISH %s %s", session_channel, dtmf_event(n).c_str());
        for (int n = first; n < last; ++n) {
            void* reply = nullptr;
            if (redisGetReply(c, &reply) != REDIS_OK)
                return false;
            freeReplyObject(reply);
        }
    }
    return true;
}

long long status_number(const std::string& path, const std::string& name)
{
    std::ifstream status(path);
    std::string key;
    while (status >> key) {
        if (key == name) {
            long long value = 0;
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

}  // namespace

percentiles summarize(std::vector<double> samples, int missed)
{
    percentiles p;
    p.samples = static_cast<int>(samples.size());
    p.missed = missed;
    if (samples.empty())
        return p;
    std::sort(samples.begin(), samples.end());
    const auto rank = [&](double q) {
        const auto n = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(n, 1, samples.size()) - 1];
    };
    p.p50 = rank(0.50);
    p.p90 = rank(0.90);
    p.p99 = rank(0.99);
    return p;
}

percentiles key_to_dial(const bench_station& station, int presses)
{
    redis_client client(station.socket());
    client.command("DEL %s", control_list);
    std::vector<double> samples;
    int missed = 0;
    for (int i = 0; i < presses; ++i) {
        station.set_key(0);
        // Long enough for the press's entry to be done, short enough to
        // count as a short press.
        std::this_thread::sleep_for(100ms);
        const auto released = bench_clock::now();
        station.set_key(1);
        const std::optional<std::string> command = popped_text(client.command("BRPOP %s %s", control_list, "2").get());
        const auto taken = bench_clock::now();
        if (command && parse_command(*command).kind == command_kind::dial)
            samples.push_back(ms_between(released, taken));
        else
            ++missed;
        // A registration puts a station that waits for its dial back to idle.
        client.command("PUBLISH %s %s", session_channel,
                       std::string(R"({"type":"REGISTER_OK","class":"init register","accountaor":")") +
                           bench_station::account_aor + "\"}");
        std::this_thread::sleep_for(100ms);
    }
    client.command("DEL %s", control_list);
    return summarize(std::move(samples), missed);
}

event_rate session_events(const bench_station& station, pid_t handler, int events)
{
    redis_client watch(station.socket());
    watch.command("DEL %s", writelog_list);
    redis_ptr publisher = redis_open_unchecked(station.socket(), 10s);
    event_rate rate;
    if (!publisher)
        return rate;
    const std::string last_entry = "FUNCTION,RECEIVE DTMF," + std::to_string(events - 1);
    // Digits count only in an answered call: the events follow an answer.
    watch.command("PUBLISH %s %s", session_channel, R"({"type":"CALL_ESTABLISHED","class":"call","direction":"outgoing"})");
    const double cpu_before = read_counts(handler).cpu_seconds;
    const auto start = bench_clock::now();
    if (!publish_all(publisher.get(), events))
        return rate;
    // The entries are pushed in the order of the events, so the newest at
    // the head is the last one once it has been handled.
    const auto handled = [&] {
        reply_ptr head = watch.command("LINDEX %s 0", writelog_list);
        return head && head->type == REDIS_REPLY_STRING && head->str == last_entry;
    };
    while (!(rate.complete = handled()) && bench_clock::now() - start < 120s)
        std::this_thread::sleep_for(2ms);
    const double seconds = ms_between(start, bench_clock::now()) / 1000;
    rate.per_second = events / seconds;
    rate.cpu_us_per_event = (read_counts(handler).cpu_seconds - cpu_before) * 1e6 / events;
    // The operation-log writer would take an hour over what is left.
    watch.command("DEL %s", writelog_list);
    return rate;
}

event_rate median_session_events(const bench_station& station, pid_t handler, int events)
{
    std::vector<event_rate> runs;
    for (int i = 0; i < 3; ++i)
        runs.push_back(session_events(station, handler, events));
    const auto middle = [&](double event_rate::*field) {
        std::vector<double> values;
        for (const event_rate& r : runs)
            values.push_back(r.*field);
        std::sort(values.begin(), values.end());
        return values[1];
    };
    event_rate median;
    median.per_second = middle(&event_rate::per_second);
    median.cpu_us_per_event = middle(&event_rate::cpu_us_per_event);
    median.complete = std::all_of(runs.begin(), runs.end(), [](const event_rate& r) { return r.complete; });
    return median;
}

process_counts read_counts(pid_t pid)
{
    process_counts counts;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    // Each thread's time on a processor in nanoseconds, where the kernel
    // keeps it; the clock ticks of /proc/PID/stat are too coarse for a
    // program that sleeps.
    bool precise = true;
    double on_cpu = 0;
    for (std::filesystem::directory_iterator it(proc + "/task", error), end; !error && it != end; it.increment(error)) {
        const std::string task = it->path().string();
        std::ifstream schedstat(task + "/schedstat");
        double ns = 0;
        if (!(schedstat >> ns))
            precise = false;
        on_cpu += ns / 1e9;
        counts.wakeups += status_number(task + "/status", "voluntary_ctxt_switches:") +
                          status_number(task + "/status", "nonvoluntary_ctxt_switches:");
    }
    counts.cpu_seconds = precise ? on_cpu : cpu_seconds(pid);
    counts.rss_kb = status_number(proc + "/status", "VmRSS:");
    return counts;
}

std::vector<idle_cost> idle_costs(const std::vector<pid_t>& pids, std::chrono::seconds period)
{
    std::vector<process_counts> before;
    for (pid_t pid : pids)
        before.push_back(read_counts(pid));
    std::this_thread::sleep_for(period);
    std::vector<idle_cost> costs;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        const process_counts after = read_counts(pids[i]);
        const double seconds = static_cast<double>(period.count());
        costs.push_back({(after.cpu_seconds - before[i].cpu_seconds) * 100 / seconds,
                         static_cast<double>(after.wakeups - before[i].wakeups) / seconds, after.rss_kb});
    }
    return costs;
}

std::optional<pid_t> find_program(const std::string& name)
{
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string pid = it->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream comm(it->path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name)
            return static_cast<pid_t>(std::stol(pid));
    }
    return std::nullopt;
}
