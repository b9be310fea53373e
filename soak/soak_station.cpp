#include "soak/soak_station.h"

#include <filesystem>
#include <fstream>
#include <thread>

#include "common/station_protocol.h"
#include "station_kit/settings.h"

const char* const soak_account_aor = "sip:1000@soak.test";
const char* const soak_status_key = "baresip-call-status-1000-soak.test";
const char* const soak_register_event =
    R"({"type":"REGISTER_OK","class":"init register","accountaor":"sip:1000@soak.test"})";

namespace {

// VmRSS (kB) and Threads from /proc/PID/status; -1 where unreadable.
void read_status(pid_t pid, long& rss_kb, int& threads)
{
    rss_kb = -1;
    threads = -1;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> rss_kb;
        else if (key == "Threads:")
            status >> threads;
        status.ignore(4096, '\n');
    }
}

int count_descriptors(pid_t pid)
{
    std::error_code error;
    int n = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++n;
    return error ? -1 : n;
}

}  // namespace

soak_station::soak_station(const kit_root& root) : root_(root), redis_(root, false)
{
    // A device's settings with the door code on and the relay let go at
    // once: key 1 calls 1001 on account 1, nothing retried, no action URLs.
    root_.write_settings(device_settings("soak.test")
                             .set("relay_ctrl", "dtmf", "yes")
                             .set("relay_ctrl", "dtmf_reset_duration", "0")
                             .text());
    redis_.keep_data();
}

soak_station::~soak_station()
{
    std::lock_guard<std::mutex> lock(mutex_);
    orvanel_.reset();
    outputd_.reset();
    redis_.stop();
}

bool soak_station::start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    redis_.start();
    redis_client client(root_.socket());
    // A restarted orvanel finds the station idle, as the user agent keeps it.
    client.command("SET %s %s", soak_status_key, R"({"status":"idle"})");
    start_outputd();
    return start_orvanel();
}

bool soak_station::start_orvanel()
{
    orvanel_ = std::make_unique<kit_program>(root_, orvanel_binary());
    ++orvanel_lifetime_;
    orvanel_started_ = soak_clock::now();
    redis_client client(root_.socket());
    if (!wait_until([&] { return client.subscribers(session_channel) >= 1; }, 10s))
        return false;
    // The user agent tells the new listener that the account is registered.
    client.command("PUBLISH %s %s", session_channel, soak_register_event);
    return true;
}

void soak_station::start_outputd()
{
    outputd_ = std::make_unique<kit_program>(root_, outputd_binary());
    ++outputd_lifetime_;
    outputd_started_ = soak_clock::now();
}

void soak_station::note(fault_kind kind, soak_clock::time_point begin)
{
    faults_.push_back({kind, begin, soak_clock::now()});
}

void soak_station::restart_redis(bool crash, std::chrono::milliseconds down)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto begin = soak_clock::now();
    if (crash)
        redis_.crash();
    else
        redis_.stop();
    std::this_thread::sleep_for(down);
    redis_.start();
    // orvanel subscribes again by itself; the outage ends once it has.
    redis_client client(root_.socket());
    wait_until([&] { return client.subscribers(session_channel) >= 1; }, 10s);
    note(fault_kind::redis_down, begin);
}

void soak_station::kill_orvanel(std::chrono::milliseconds pause)
{
    kill_and_start(orvanel_, fault_kind::orvanel_down, pause);
}

std::vector<std::string> soak_station::kill_orvanel_with_records_waiting(std::chrono::milliseconds pause,
                                                                        std::chrono::seconds wait)
{
    std::vector<std::string> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        limit_file_size(orvanel_->pid(), 0);
        // The writer takes a record onto its processing list and keeps it
        // there while the file refuses it; the ones behind it wait in the
        // list.
        redis_client client(root_.socket());
        wait_until([&] { return !client.list(cdr_processing).empty(); }, wait);
        for (const char* list : {cdr_processing, cdr_list}) {
            const std::vector<std::string> lines = client.list(list);
            waiting.insert(waiting.end(), lines.rbegin(), lines.rend());
        }
    }
    kill_orvanel(pause);
    return waiting;
}

void soak_station::kill_outputd(std::chrono::milliseconds pause)
{
    kill_and_start(outputd_, fault_kind::outputd_down, pause);
}

void soak_station::kill_and_start(std::unique_ptr<kit_program>& program, fault_kind kind,
                                  std::chrono::milliseconds pause)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto begin = soak_clock::now();
    ended(program, kind == fault_kind::orvanel_down ? orvanel_started_ : outputd_started_);
    program->kill();
    std::this_thread::sleep_for(pause);
    if (kind == fault_kind::orvanel_down)
        start_orvanel();
    else
        start_outputd();
    note(kind, begin);
}

bool soak_station::ended(std::unique_ptr<kit_program>& program, soak_clock::time_point started)
{
    const std::optional<int> status = program->wait_exit(0ms);
    if (!status)
        return false;
    bool server_away = false;
    for (const fault_event& f : faults_)
        server_away = server_away || (f.kind == fault_kind::redis_down && f.end >= started && f.begin <= started + 3s);
    if (*status != 255 || !server_away)
        ++unexpected_ends_;
    return true;
}

void soak_station::sample(const std::unique_ptr<kit_program>& p, const char* name, int lifetime,
                          soak_clock::time_point started)
{
    // A program in its first second is still starting its threads.
    const auto now = soak_clock::now();
    if (now - started < 1s)
        return;
    vitals_sample s{seconds_since_start(now), name, lifetime, -1, -1, -1};
    read_status(p->pid(), s.rss_kb, s.threads);
    s.descriptors = count_descriptors(p->pid());
    vitals_.push_back(s);
}

void soak_station::sample_vitals()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended(orvanel_, orvanel_started_)) {
        const auto begin = soak_clock::now();
        start_orvanel();
        note(fault_kind::orvanel_down, begin);
    }
    if (ended(outputd_, outputd_started_)) {
        const auto begin = soak_clock::now();
        start_outputd();
        note(fault_kind::outputd_down, begin);
    }
    sample(orvanel_, "orvanel", orvanel_lifetime_, orvanel_started_);
    sample(outputd_, "outputd", outputd_lifetime_, outputd_started_);
}

std::vector<fault_event> soak_station::faults() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

std::vector<vitals_sample> soak_station::vitals() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return vitals_;
}

int soak_station::unexpected_ends() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unexpected_ends_;
}

bool soak_station::disturbed(soak_clock::time_point from, soak_clock::time_point to,
                             std::initializer_list<fault_kind> kinds, std::chrono::milliseconds grace) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const fault_event& f : faults_)
        for (fault_kind k : kinds)
            if (f.kind == k && f.begin <= to && f.end + grace >= from)
                return true;
    return false;
}

double soak_station::seconds_since_start(soak_clock::time_point t) const
{
    return std::chrono::duration<double>(t - started_).count();
}
