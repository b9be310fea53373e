#include "soak/tally.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <regex>
#include <string>

namespace {

constexpr auto grace = std::chrono::milliseconds(1500);

int count_of(const std::map<std::string, std::vector<size_t>>& at, const std::string& entry)
{
    const auto it = at.find(entry);
    return it == at.end() ? 0 : static_cast<int>(it->second.size());
}

// One row of the loss table.
struct row {
    const char* what;
    int handed_over = 0;  // in Redis, or delivered to orvanel
    int judged = 0;       // of those, the ones no outage touched
    int reached = 0;      // of the judged, the ones that arrived
    int touched_reached = 0, touched = 0;  // reached is -1 where it cannot be told
    int twice = 0;
};

void print_row(std::ostream& out, const row& r)
{
    const std::string touched_reached = r.touched_reached < 0 ? "-" : std::to_string(r.touched_reached);
    char line[200];
    std::snprintf(line, sizeof line, "  %-36s %6d %7d %8d %6d %8s/%-6d %5d\n", r.what, r.handed_over, r.judged,
                  r.reached, r.judged - r.reached, touched_reached.c_str(), r.touched, r.twice);
    out << line;
}

struct lifetime_span {
    const vitals_sample* first = nullptr;
    const vitals_sample* last = nullptr;
};

}  // namespace

bool tally(const kit_root& root, const soak_station& station, const std::vector<round_record>& rounds,
           const std::vector<std::string>& records_at_kills, std::ostream& out)
{
    bool passed = true;
    auto fail = [&](const std::string& why) {
        out << "FAILED: " << why << "\n";
        passed = false;
    };
    const std::vector<fault_event> faults = station.faults();
    int restarts = 0, orvanel_kills = 0, outputd_kills = 0;
    for (const fault_event& f : faults)
        (f.kind == fault_kind::redis_down ? restarts : f.kind == fault_kind::orvanel_down ? orvanel_kills
                                                                                          : outputd_kills)++;

    // The operation log, line by line.
    const std::string system_text = root.read("/userdata/system.csv");
    const std::vector<std::string> lines = split(system_text, '\n');
    const std::regex whole_line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,(BUTTON|FUNCTION|SIP STATE|Other Event),.*,.*)");
    int corrupted = 0;
    std::map<std::string, std::vector<size_t>> at;  // entry -> its line numbers
    for (size_t n = 0; n < lines.size(); ++n) {
        if (!std::regex_match(lines[n], whole_line)) {
            if (++corrupted <= 3)
                out << "corrupted line in system.csv: " << lines[n] << "\n";
            continue;
        }
        at[lines[n].substr(20)].push_back(n);
    }
    if (!system_text.empty() && system_text.back() != '\n')
        ++corrupted;

    // The call records.
    const std::string cdr_text = root.read("/userdata/cdr.csv");
    const std::regex cdr_line(
        R"((\d{4}-\d\d-\d\d|),(\d\d:\d\d:\d\d|),\d\d:\d\d:\d\d,[^,]*,[^,]*,\d+,(in|out|),(MISSED CALL|NO ANSWER|ANSWERED|),[^,]*)");
    int cdr_corrupted = 0;
    std::map<std::string, int> records;  // close reason -> lines
    for (const std::string& l : split(cdr_text, '\n')) {
        if (!std::regex_match(l, cdr_line)) {
            if (++cdr_corrupted <= 3)
                out << "corrupted line in cdr.csv: " << l << "\n";
            continue;
        }
        ++records[l.substr(l.rfind(',') + 1)];
    }
    if (!cdr_text.empty() && cdr_text.back() != '\n')
        ++cdr_corrupted;

    row entries{"operation-log entries (system.csv)"};
    row calls{"calls: CALL CLOSED entry"};
    row call_records{"calls: call record (cdr.csv)"};
    row relays{"relay requests: entry in system.csv"};
    relays.touched_reached = -1;
    row gpio{"relay requests: gpio66 on and off"};
    row presses{"key presses: Press entry"};  // counted, not attributable: all presses look alike
    int refused_entries = 0, refused_relays = 0, undelivered_calls = 0, door_codes = 0, relays_in_redis = 0;
    std::optional<size_t> previous_first;  // line of the last soak entry found, in round order
    bool in_order = true;
    for (size_t k = 0; k < rounds.size(); ++k) {
        const round_record& r = rounds[k];
        // Entries of another program: once in Redis they must arrive,
        // whatever happens to orvanel or the server afterwards.
        const int found = count_of(at, soak_entry(r.index));
        if (r.entry_acked) {
            ++entries.handed_over;
            ++entries.judged;
            entries.reached += found > 0;
            entries.twice += std::max(0, found - 1);
        } else {
            ++refused_entries;
        }
        if (found > 0) {
            const size_t first = at[soak_entry(r.index)].front();
            if (previous_first && first < *previous_first)
                in_order = false;
            previous_first = first;
        }

        const bool press_touched = station.disturbed(r.press_at - std::chrono::milliseconds(500), r.press_at + 2s,
                                                     {fault_kind::redis_down, fault_kind::orvanel_down}, grace);
        ++presses.handed_over;
        (press_touched ? presses.touched : presses.judged)++;

        if (r.command == round_record::answer::dial) {
            if (!r.call_delivered) {
                ++undelivered_calls;
            } else {
                const bool touched = station.disturbed(r.call_begin, r.call_end, {fault_kind::redis_down,
                                                                                  fault_kind::orvanel_down}, grace);
                const int closed = count_of(at, "SIP STATE,CALL CLOSED," + soak_close_reason(r.index));
                const auto rec = records.find(soak_close_reason(r.index));
                const int lines_of_call = rec == records.end() ? 0 : rec->second;
                for (row* x : {&calls, &call_records}) {
                    ++x->handed_over;
                    (touched ? x->touched : x->judged)++;
                }
                if (touched) {
                    calls.touched_reached += closed > 0;
                    call_records.touched_reached += lines_of_call > 0;
                } else {
                    calls.reached += closed > 0;
                    call_records.reached += lines_of_call > 0;
                }
                calls.twice += std::max(0, closed - 1);
                call_records.twice += std::max(0, lines_of_call - 1);
                // The door code's relay request travels through Redis and
                // outputd before its entry comes back.
                if (!touched && !station.disturbed(r.call_begin, r.relay_begin,
                                                   {fault_kind::redis_down, fault_kind::outputd_down}, grace))
                    ++door_codes;
            }
        }

        relays_in_redis += r.relay_on_acked;
        if (!r.relay_acked) {
            ++refused_relays;
            continue;
        }
        const bool touched = station.disturbed(r.relay_begin, r.relay_end,
                                               {fault_kind::redis_down, fault_kind::outputd_down}, grace);
        const bool seen = r.relay_on_seen && r.relay_off_seen;
        ++gpio.handed_over;
        ++relays.handed_over;
        if (touched) {
            ++gpio.touched;
            gpio.touched_reached += seen;
            ++relays.touched;  // which entry is whose cannot be told then
            continue;
        }
        ++gpio.judged;
        gpio.reached += seen;
        if (found == 0)
            continue;  // the round's own entry is not there to place the request's by
        // The request's entry lies between this round's entry and the next
        // round's: outputd pushed it before it took the Off, which the line
        // showed before the next round began.
        ++relays.judged;
        const size_t from = at[soak_entry(r.index)].front();
        size_t to = lines.size();
        if (k + 1 < rounds.size() && count_of(at, soak_entry(rounds[k + 1].index)) > 0)
            to = at[soak_entry(rounds[k + 1].index)].front();
        const std::vector<size_t>& relay_lines = at[std::string("FUNCTION,RELAY Control,") + soak_relay_type];
        relays.reached +=
            std::any_of(relay_lines.begin(), relay_lines.end(), [&](size_t n) { return n > from && n < to; });
    }
    // Call records that waited in Redis for the file when orvanel was
    // killed: each must be there once, written by the next orvanel.
    row waited{"call records waiting at a kill"};
    for (const std::string& line : records_at_kills) {
        const auto rec = records.find(line.substr(line.rfind(',') + 1));
        const int found = rec == records.end() ? 0 : rec->second;
        ++waited.handed_over;
        ++waited.judged;
        waited.reached += found > 0;
        waited.twice += std::max(0, found - 1);
    }

    const int relay_entries = count_of(at, std::string("FUNCTION,RELAY Control,") + soak_relay_type);
    relays.twice = std::max(0, relay_entries - relays_in_redis);
    const int press_entries = count_of(at, "BUTTON,KEY_GPIO140 Press,");
    const int door_entries = count_of(at, "FUNCTION,RELAY Control,On");

    out << "\nFaults: " << restarts << " Redis restarts, " << orvanel_kills << " kills of orvanel, " << outputd_kills
        << " kills of outputd; " << station.unexpected_ends() << " unexpected ends\n\n";
    out << "  what                                 handed  judged  reached   lost  touched by an    twice\n"
           "                                        over                          outage: reached/all\n";
    for (const row& r : {entries, calls, call_records, waited, relays, gpio})
        print_row(out, r);
    out << "  key presses: " << presses.handed_over << " made, " << presses.judged
        << " with orvanel and the server up; " << press_entries << " Press entries\n";
    out << "  door codes with everything up: " << door_codes << "; relay On entries: " << door_entries << "\n";
    out << "  while the server was down: " << refused_entries << " entries and " << refused_relays
        << " relay requests refused by it, " << undelivered_calls << " calls with an event no one heard\n";
    out << "  corrupted lines: system.csv " << corrupted << ", cdr.csv " << cdr_corrupted << "; "
        << lines.size() << " and " << split(cdr_text, '\n').size() << " lines in all\n";

    if (station.unexpected_ends() > 0)
        fail("a program ended that the soak did not end");
    for (const row& r : {entries, calls, call_records, waited, relays, gpio})
        if (r.reached < r.judged)
            fail(std::string(r.what) + ": lost while everything was up");
    if (press_entries < presses.judged)
        fail("key presses: fewer Press entries than presses made with everything up");
    if (door_entries < door_codes)
        fail("door codes: fewer relay On entries than codes given with everything up");
    if (entries.twice + calls.twice > orvanel_kills)
        fail("more operation-log entries twice than kills of orvanel");
    if (relays.twice > outputd_kills)
        fail("more relay entries twice than kills of outputd");
    if (call_records.twice + waited.twice > 0)
        fail("a call record twice");
    if (!in_order)
        fail("operation-log entries out of order");
    if (corrupted + cdr_corrupted > 0)
        fail("corrupted lines");

    // Resources: each lifetime from its first sample after a warm-up to its
    // last; growth within one lifetime is what a leak looks like.
    const std::vector<vitals_sample> vitals = station.vitals();
    out << "\n  program   samples  lifetimes   RSS kB min/max   threads min/max   fds min/max   "
           "longest life: s, RSS kB, threads, fds growth\n";
    for (const char* program : {"orvanel", "outputd"}) {
        std::map<int, lifetime_span> spans;
        long rss_min = -1, rss_max = -1;
        int thr_min = -1, thr_max = -1, fd_min = -1, fd_max = -1, samples = 0;
        for (const vitals_sample& s : vitals) {
            if (std::string(s.program) != program || s.rss_kb < 0)
                continue;
            ++samples;
            rss_min = rss_min < 0 ? s.rss_kb : std::min(rss_min, s.rss_kb);
            rss_max = std::max(rss_max, s.rss_kb);
            thr_min = thr_min < 0 ? s.threads : std::min(thr_min, s.threads);
            thr_max = std::max(thr_max, s.threads);
            fd_min = fd_min < 0 ? s.descriptors : std::min(fd_min, s.descriptors);
            fd_max = std::max(fd_max, s.descriptors);
            lifetime_span& span = spans[s.lifetime];
            if (!span.first)
                span.first = &s;  // the first sample of a life is taken a second or more after its start
            span.last = &s;
        }
        const lifetime_span* longest = nullptr;
        for (const auto& [life, span] : spans)
            if (!longest || span.last->at_seconds - span.first->at_seconds >
                                longest->last->at_seconds - longest->first->at_seconds)
                longest = &span;
        double secs = 0;
        long rss_growth = 0;
        int thr_growth = 0, fd_growth = 0;
        if (longest) {
            secs = longest->last->at_seconds - longest->first->at_seconds;
            rss_growth = longest->last->rss_kb - longest->first->rss_kb;
            thr_growth = longest->last->threads - longest->first->threads;
            fd_growth = longest->last->descriptors - longest->first->descriptors;
        }
        char line[240];
        std::snprintf(line, sizeof line, "  %-8s %8d %10zu   %6ld/%-6ld   %7d/%-7d   %5d/%-5d   %6.0f, %+ld, %+d, %+d\n",
                      program, samples, spans.size(), rss_min, rss_max, thr_min, thr_max, fd_min, fd_max, secs,
                      rss_growth, thr_growth, fd_growth);
        out << line;
        if (fd_growth > 2 || thr_growth > 2 || rss_growth > 512)
            fail(std::string(program) + ": resources grew within one lifetime");
    }
    // Eight samples of each program spread over the run: s, life, RSS kB,
    // threads, descriptors.
    for (const char* program : {"orvanel", "outputd"}) {
        std::vector<const vitals_sample*> mine;
        for (const vitals_sample& s : vitals)
            if (std::string(s.program) == program && s.rss_kb >= 0)
                mine.push_back(&s);
        out << "  " << program << " over time (s life: RSS kB, threads, fds):";
        for (size_t i = 0; i < 8 && !mine.empty(); ++i) {
            const vitals_sample& s = *mine[i * (mine.size() - 1) / 7];
            char cell[80];
            std::snprintf(cell, sizeof cell, "%s%.0f %d: %ld, %d, %d", i ? " | " : " ", s.at_seconds, s.lifetime,
                          s.rss_kb, s.threads, s.descriptors);
            out << cell;
        }
        out << "\n";
    }
    out << (passed ? "\nsoak passed\n" : "\nsoak FAILED\n");
    return passed;
}
