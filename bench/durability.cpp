#include "bench/durability.h"

#include <csignal>
#include <fstream>
#include <thread>

#include <sys/wait.h>

#include "common/station_protocol.h"
#include "station_kit/programs.h"
#include "station_kit/redis.h"
#include "station_kit/waits.h"

namespace {

using namespace std::chrono_literals;

long count_lines(const std::string& path)
{
    std::ifstream in(path);
    long lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

bool lists_empty(redis_client& client)
{
    for (const char* list : {writelog_list, writelog_processing, cdr_list, cdr_processing, output_list,
                             output_processing}) {
        reply_ptr length = client.command("LLEN %s", list);
        if (!length || length->type != REDIS_REPLY_INTEGER || length->integer != 0)
            return false;
    }
    return true;
}

std::string call_event(const char* type, const std::string& param)
{
    return std::string(R"({"event":true,"type":")") + type + R"(","class":"call","accountaor":")" +
           bench_station::account_aor + R"(","direction":"outgoing","peeruri":"sip:1001@bench.test","id":"bench-call","param":")" +
           param + "\"}";
}

}  // namespace

long long write_bytes(pid_t pid)
{
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    while (io >> key) {
        long long value = 0;
        io >> value;
        if (key == "write_bytes:")
            return value;
    }
    return 0;
}

write_meter::write_meter(std::vector<pid_t> pids) : pids_(std::move(pids)), started_(std::chrono::steady_clock::now())
{
    for (pid_t pid : pids_)
        bytes_before_ += write_bytes(pid);
    if (std::system("command -v strace > /dev/null 2>&1") != 0)
        return;
    char pattern[] = "/tmp/station-bench-syncs.XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        return;
    ::close(fd);
    trace_file_ = pattern;
    std::vector<std::string> args = {"strace", "-f", "-qq", "-e", "trace=fsync,fdatasync", "-o", trace_file_};
    for (pid_t pid : pids_) {
        args.push_back("-p");
        args.push_back(std::to_string(pid));
    }
    tracer_ = spawn(args, {}, "/dev/null", "/dev/null");
    // strace attaches to every thread before the work starts.
    std::this_thread::sleep_for(1s);
}

write_meter::~write_meter()
{
    if (tracer_ > 0) {
        ::kill(tracer_, SIGINT);
        ::waitpid(tracer_, nullptr, 0);
    }
    if (!trace_file_.empty())
        std::remove(trace_file_.c_str());
}

write_load write_meter::per(double count, bool complete)
{
    write_load load;
    load.complete = complete;
    load.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    long long bytes = 0;
    for (pid_t pid : pids_)
        bytes += write_bytes(pid);
    load.bytes = static_cast<double>(bytes - bytes_before_) / count;
    if (tracer_ > 0) {
        ::kill(tracer_, SIGINT);
        ::waitpid(tracer_, nullptr, 0);
        tracer_ = -1;
        // One line per call, and one more for each resumed one.
        std::ifstream trace(trace_file_);
        long syncs = 0;
        for (std::string line; std::getline(trace, line);)
            if (line.find("resumed>") == std::string::npos && line.find("sync(") != std::string::npos)
                ++syncs;
        load.syncs = static_cast<double>(syncs) / count;
    }
    return load;
}

write_load writes_at_rest(const bench_station& station, const std::vector<pid_t>& pids, std::chrono::seconds period)
{
    // What the work before left in the lists is stored first.
    redis_client client(station.socket());
    wait_until([&] { return lists_empty(client); }, 120s);
    std::this_thread::sleep_for(1s);
    write_meter meter(pids);
    std::this_thread::sleep_for(period);
    // Per hour.
    return meter.per(static_cast<double>(period.count()) / 3600.0, true);
}

write_load writes_per_entry(const bench_station& station, const std::vector<pid_t>& pids, int entries)
{
    redis_client client(station.socket());
    const std::string file = station.root() + "/userdata/system.csv";
    const long before = count_lines(file);
    write_meter meter(pids);
    for (int i = 0; i < entries; ++i)
        client.command("LPUSH %s %s", writelog_list, "BENCH,ENTRY," + std::to_string(i));
    // The writer takes five a second.
    const bool complete = wait_until([&] { return count_lines(file) >= before + entries && lists_empty(client); },
                                     std::chrono::seconds(entries / 4 + 10));
    return meter.per(entries, complete);
}

write_load writes_per_call(const bench_station& station, const std::vector<pid_t>& pids, int calls)
{
    redis_client client(station.socket());
    const std::string file = station.root() + "/userdata/cdr.csv";
    const long before = count_lines(file);
    client.command("DEL %s", control_list);
    write_meter meter(pids);
    bool complete = true;
    for (int i = 0; i < calls && complete; ++i) {
        station.set_key(0);
        std::this_thread::sleep_for(100ms);
        station.set_key(1);
        complete = client.pop_oldest(control_list, 2s).has_value();
        client.command("SET %s %s", bench_station::status_key, R"({"status":"ringing"})");
        client.command("PUBLISH %s %s", session_channel, call_event("CALL_OUTGOING", "sip:1001@bench.test"));
        std::this_thread::sleep_for(200ms);
        client.command("SET %s %s", bench_station::status_key, R"({"status":"answer"})");
        client.command("PUBLISH %s %s", session_channel, call_event("CALL_ESTABLISHED", "sip:1001@bench.test"));
        std::this_thread::sleep_for(500ms);
        client.command("SET %s %s", bench_station::status_key, R"({"status":"idle"})");
        client.command("PUBLISH %s %s", session_channel, call_event("CALL_CLOSED", "Connection reset by peer"));
        complete = complete && wait_until([&] { return count_lines(file) >= before + i + 1; }, 10s);
    }
    complete = complete && wait_until([&] { return lists_empty(client); }, 60s);
    return meter.per(calls, complete);
}
