#include "simulator/station_sim/station_view.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "common/c_holders.h"
#include "common/station_protocol.h"
#include "station_kit/station.h"

namespace {

constexpr auto sample_period = std::chrono::milliseconds(20);
// Half of the slowest blink is one second: a level that lasted longer is
// steady.
constexpr double steady_after = 1.3;
constexpr double relay_steady_after = 0.6;
constexpr double led_window = 2.2;
constexpr double relay_window = 3.2;
// Lines wait this long before they are printed, so a pattern that is only
// recognised later still appears in time order.
constexpr double print_delay_seconds = 2.5;

std::vector<double> recent(const line_history& line, double now, double window)
{
    std::vector<double> out;
    for (double t : line.changes)
        if (now - t <= window)
            out.push_back(t);
    return out;
}

// Changes that come at an even pace: every gap within 1.6 times the shortest.
bool even_pace(const std::vector<double>& times)
{
    if (times.size() < 3)
        return times.size() < 2;
    double shortest = 1e9, longest = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double gap = times[i] - times[i - 1];
        shortest = std::min(shortest, gap);
        longest = std::max(longest, gap);
    }
    return shortest > 0.05 && longest <= 1.6 * shortest;
}

double last_change(std::initializer_list<const line_history*> lines)
{
    double last = 0;
    for (const line_history* line : lines)
        if (!line->changes.empty())
            last = std::max(last, line->changes.back());
    return last;
}

}  // namespace

pattern_reading read_led_pair(const line_history& blue, const line_history& other, double now)
{
    const double last = last_change({&blue, &other});
    if (now - last >= steady_after) {
        const char* text = blue.level && !other.level   ? "blue steady (ready)"
                           : !blue.level && other.level ? "other steady (no account)"
                           : blue.level                 ? "both on"
                                                        : "dark";
        return {true, text, last};
    }
    const auto b = recent(blue, now, led_window);
    const auto o = recent(other, now, led_window);
    if (b.size() + o.size() < 3 || !even_pace(b) || !even_pace(o))
        return {};
    const double since = std::min(b.empty() ? now : b.front(), o.empty() ? now : o.front());
    if (b.size() >= 2 && o.size() >= 2)
        return {true, "alternating (self-test)", since};
    if (b.size() >= 2) {
        const double gap = (b.back() - b.front()) / static_cast<double>(b.size() - 1);
        return {true, gap < 0.75 ? "blue quick blink (HTTP sent)" : "blue slow blink (ringing)", since};
    }
    if (o.size() >= 2)
        return {true, "other blinking (call failed)", since};
    return {};
}

pattern_reading read_relay(const line_history& relay, double now)
{
    // The relay's blinks are told by their even pace first, so that a slow
    // blink's one-second phases are not taken for steady levels.
    const auto r = recent(relay, now, relay_window);
    if (r.size() >= 3 && even_pace(r))
        return {true, "blinking", r.front()};
    const double last = last_change({&relay});
    if (now - last >= relay_steady_after)
        return {true, relay.level ? "on (gpio66 high)" : "off (gpio66 low)", last};
    return {};
}

std::string call_status_words(const std::string& stored)
{
    if (stored == call_status_idle)
        return "idle";
    if (stored == call_status_ringing)
        return "ringing out";
    if (stored == call_status_ring)
        return "ringing in";
    if (stored == call_status_answer)
        return "in call";
    return stored.empty() ? "no user agent" : stored;
}

sim_view::sim_view(const kit_root& root, std::string status_key, std::ostream& out)
    : root_(root),
      status_key_(std::move(status_key)),
      out_(out),
      start_(std::chrono::steady_clock::now()),
      operation_log_(root.file("/userdata/system.csv"))
{
}

sim_view::~sim_view()
{
    stop();
}

void sim_view::start()
{
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void sim_view::stop()
{
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    print_due(true);
}

void sim_view::follow_user_agent_output(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    user_agent_output_ = file_follower(path);
}

void sim_view::follow_sip_trace(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sip_trace_ = file_follower(path);
}

sim_view::sip_counts sim_view::sip_messages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sip_counts_;
}

double sim_view::now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void sim_view::queue_line(double t, const std::string& what, const std::string& text)
{
    std::ostringstream line;
    line << "[" << std::fixed << std::setprecision(1) << std::setw(6) << t << "s] " << std::left << std::setw(8)
         << what << " " << text << "\n";
    pending_.push_back({t, lines_queued_++, line.str()});
}

void sim_view::print_due(bool all)
{
    std::sort(pending_.begin(), pending_.end(), [](const pending_line& a, const pending_line& b) {
        return a.t != b.t ? a.t < b.t : a.order < b.order;
    });
    const double limit = now() - print_delay_seconds;
    std::size_t printed = 0;
    while (printed < pending_.size() && (all || pending_[printed].t <= limit))
        out_ << pending_[printed++].text;
    if (printed > 0) {
        out_ << std::flush;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(printed));
    }
}

void sim_view::note(const std::string& what)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const double t = now();
    markers_.push_back({t, what});
    queue_line(t, "==>", what);
}

void sim_view::run()
{
    redis_client client(root_.socket());
    while (running_) {
        station_sample s{now(),
                         root_.gpio(131),
                         root_.gpio(130),
                         root_.gpio(65),
                         root_.gpio(64),
                         root_.gpio(66),
                         client.get(status_key_).value_or("")};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const int levels[5] = {s.key1_blue, s.key1_other, s.key2_blue, s.key2_other, s.relay};
            for (int i = 0; i < 5; ++i) {
                if (!samples_.empty() && levels[i] != lines_[i].level)
                    lines_[i].changes.push_back(s.t);
                lines_[i].level = levels[i];
            }
            samples_.push_back(s);
            follow_operation_log();
            follow_user_agent();
            sample_once();
            print_due(false);
        }
        changed_.notify_all();
        std::this_thread::sleep_for(sample_period);
    }
}

std::vector<std::string> file_follower::new_lines()
{
    std::vector<std::string> lines;
    if (path_.empty())
        return lines;
    {
        const file_ptr file(std::fopen(path_.c_str(), "re"));
        if (!file)
            return lines;
        std::fseek(file.get(), offset_, SEEK_SET);
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
            partial_.append(buffer, got);
            offset_ += static_cast<long>(got);
        }
    }
    for (std::size_t end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
        lines.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
    return lines;
}

// What the operation log gained, without the lines' time stamps.
void sim_view::follow_operation_log()
{
    for (const std::string& line : operation_log_.new_lines()) {
        const std::string entry = line.size() > 20 ? line.substr(20) : line;
        entries_.push_back(entry);
        queue_line(now(), "log", entry);
    }
}

// The user agent's console: what it was asked and what it answered.
void sim_view::follow_user_agent()
{
    const std::string prefix = "uasim: ";
    for (std::string line : user_agent_output_.new_lines()) {
        if (line.rfind(prefix, 0) == 0)
            line.erase(0, prefix.size());
        queue_line(now(), "sip ua", line);
    }
    for (const traced_message& message : sip_reader_.feed(sip_trace_.new_lines())) {
        // "INVITE sip:... SIP/2.0" counts as INVITE, "SIP/2.0 180 Ringing" as 180.
        const std::string& first = message.first_line;
        const bool status = first.rfind("SIP/2.0 ", 0) == 0;
        const std::string kind = status ? first.substr(8, 3) : first.substr(0, first.find(' '));
        ++(message.received ? sip_counts_.received : sip_counts_.sent)[kind];
        const std::string shown = status ? first.substr(8) : first.substr(0, first.rfind(" SIP/2.0"));
        queue_line(now(), "sip", std::string(message.received ? "far end got  " : "far end sent ") + shown);
    }
}

void sim_view::show(std::string& shown, const pattern_reading& reading, const char* what)
{
    if (!reading.decided || reading.text == shown)
        return;
    shown = reading.text;
    queue_line(reading.since, what, shown);
}

// Reads the patterns of the lines and queues what changed.
void sim_view::sample_once()
{
    const double t = now();
    show(shown_key1_, read_led_pair(lines_[0], lines_[1], t), "key 1");
    show(shown_key2_, read_led_pair(lines_[2], lines_[3], t), "key 2");
    show(shown_relay_, read_relay(lines_[4], t), "relay");
    const std::string status = call_status_words(samples_.back().call_status);
    if (status != shown_status_) {
        shown_status_ = status;
        queue_line(t, "call", status);
    }
}

bool sim_view::wait_entry(const std::string& prefix, std::chrono::milliseconds timeout)
{
    return wait_entries({prefix}, timeout);
}

bool sim_view::wait_entries(const std::vector<std::string>& prefixes, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t last = entries_seen_;
        bool all = true;
        for (const std::string& prefix : prefixes) {
            std::size_t i = entries_seen_;
            while (i < entries_.size() && entries_[i].rfind(prefix, 0) != 0)
                ++i;
            all = all && i < entries_.size();
            last = std::max(last, i + 1);
        }
        if (all) {
            entries_seen_ = last;
            return true;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return false;
    }
}

void sim_view::skip_seen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_seen_ = entries_.size();
}

bool sim_view::wait_relay(int level, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !samples_.empty() && samples_.back().relay == level; });
}

std::string sim_view::status_line()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return "key 1: " + shown_key1_ + " | key 2: " + shown_key2_ + " | relay: " + shown_relay_ + " | call: " +
           shown_status_;
}

std::vector<station_sample> sim_view::samples()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

std::vector<station_marker> sim_view::markers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return markers_;
}
