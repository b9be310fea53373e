// The figures of station-check for Prometheus. Each is read the way the
// check that judges it reads it (the registrations and the lockout are the
// very values the checks took), and the file is replaced whole, as every
// file of the station that a reader must find whole.
#include "check/metrics.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/accounts.h"
#include "common/c_holders.h"
#include "common/durable_file.h"
#include "common/file_text.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "orvanel/records/call_records.h"

namespace {

// The lists between the programs: what waits for a consumer, and what a
// consumer holds in hand.
constexpr const char* station_list_names[] = {writelog_list, writelog_processing, cdr_list,   cdr_processing,
                                              output_list,   output_processing,   control_list};

// The relay output (the door opener) and the tamper switch's input.
constexpr int relay_line = 66;
constexpr int tamper_line = 3;

// More than the longest line of cdr.csv (its fields are cut to fit).
constexpr std::size_t records_tail = 4096;

// The level of a GPIO line as the GPIO check reads it: the first word of
// its value file, 0 or 1; nothing when it reads otherwise or not at all.
std::optional<int> line_level(int line)
{
    std::string error;
    const std::optional<std::string> text =
        read_file_text(station_path("/sys/class/gpio/gpio" + std::to_string(line) + "/value"), 16, error);
    if (!text)
        return std::nullopt;
    const std::string word = text->substr(0, text->find_first_of(" \t\r\n"));
    if (word != "0" && word != "1")
        return std::nullopt;
    return word[0] - '0';
}

// The tail of cdr.csv from its first whole line; nothing at all when the
// file cannot be read, empty when it is not there (no call was recorded).
std::optional<std::string> call_records_tail()
{
    const unique_fd fd(open(station_path(call_records_file).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd)
        return errno == ENOENT ? std::optional<std::string>("") : std::nullopt;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const off_t tail = static_cast<off_t>(records_tail);
    const off_t from = st.st_size > tail ? st.st_size - tail : 0;
    std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
    const ssize_t got = pread(fd.get(), text.data(), text.size(), from);
    if (got < 0)
        return std::nullopt;
    text.resize(static_cast<std::size_t>(got));
    if (from > 0) {
        const std::size_t first_end = text.find('\n');
        text.erase(0, first_end == std::string::npos ? text.size() : first_end + 1);
    }
    return text;
}

// The digits of text[at, at + count) as a number; -1 when any is no digit.
int digits_at(const std::string& text, std::size_t at, std::size_t count)
{
    if (at + count > text.size())
        return -1;
    int n = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        n = n * 10 + (text[i] - '0');
    }
    return n;
}

// "YYYY-MM-DD,hh:mm:ss," at the start of a record line, in local time.
std::optional<std::time_t> record_start(const std::string& line)
{
    const std::string shape = "0000-00-00,00:00:00,";
    if (line.size() < shape.size())
        return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] != '0' && line[i] != shape[i])
            return std::nullopt;
    std::tm t{};
    t.tm_year = digits_at(line, 0, 4) - 1900;
    t.tm_mon = digits_at(line, 5, 2) - 1;
    t.tm_mday = digits_at(line, 8, 2);
    t.tm_hour = digits_at(line, 11, 2);
    t.tm_min = digits_at(line, 14, 2);
    t.tm_sec = digits_at(line, 17, 2);
    if (t.tm_year < -1900 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour < 0 ||
        t.tm_hour > 23 || t.tm_min < 0 || t.tm_min > 59 || t.tm_sec < 0 || t.tm_sec > 60)
        return std::nullopt;
    t.tm_isdst = -1;  // as the clock stood at that date
    const std::time_t start = std::mktime(&t);
    if (start == static_cast<std::time_t>(-1))
        return std::nullopt;
    return start;
}

metric_family family(const std::string& name, const std::string& help)
{
    return {metrics_prefix + name, help, "gauge", {}};
}

void add(metric_family& f, double value, std::vector<std::pair<std::string, std::string>> labels = {})
{
    f.samples.push_back({std::move(labels), value});
}

}  // namespace

station_figures read_station_figures(redisContext* c, const registration_states& registered,
                                     const std::optional<door_lockout>& lockout)
{
    station_figures figures;
    for (int n = 1; n <= 3; ++n) {
        if (!account_enabled(n))
            continue;
        const std::optional<bool>& state = registered[static_cast<std::size_t>(n)];
        if (!state) {
            figures.complete = false;
            continue;
        }
        figures.registrations.push_back({n, account_address_of_record(account_identity_of(n)), *state});
    }

    figures.relay_level = line_level(relay_line);
    figures.tamper_level = line_level(tamper_line);
    figures.lockout = lockout;
    if (!figures.relay_level || !figures.tamper_level || !lockout)
        figures.complete = false;

    for (const char* list : station_list_names) {
        // A key of another type answers LLEN with an error; a failed
        // connection answers nothing more.
        const reply_ptr length = c ? redis_command(c, "LLEN %s", list) : nullptr;
        if (!length || length->type != REDIS_REPLY_INTEGER) {
            figures.complete = false;
            if (!length)
                break;
            continue;
        }
        figures.list_lengths.emplace_back(list, length->integer);
    }

    const std::optional<std::string> records = call_records_tail();
    if (records)
        figures.last_call = last_call_start(*records);
    else
        figures.complete = false;
    return figures;
}

std::optional<std::time_t> last_call_start(const std::string& records_tail_text)
{
    // What follows the last line end is a line cut by a power cut, which
    // the station cuts off at its next write.
    std::size_t end = records_tail_text.rfind('\n');
    while (end != std::string::npos && end > 0) {
        const std::size_t previous = records_tail_text.rfind('\n', end - 1);
        const std::size_t begin = previous == std::string::npos ? 0 : previous + 1;
        if (const std::optional<std::time_t> start = record_start(records_tail_text.substr(begin, end - begin)))
            return start;
        if (previous == std::string::npos)
            break;
        end = previous;
    }
    return std::nullopt;
}

std::vector<metric_family> station_metrics(const station_figures& figures, const findings& all,
                                           std::time_t written_at)
{
    std::vector<metric_family> out;

    metric_family registered =
        family("account_registered", "Whether the enabled account is registered (1) or not (0), as its call-status "
                                     "key in Redis says; account is n of account_info_n");
    for (const account_registration& r : figures.registrations)
        add(registered, r.registered ? 1 : 0,
            {{"account", std::to_string(r.account)}, {"address_of_record", r.address_of_record}});
    out.push_back(std::move(registered));

    metric_family ready = family("ready", "1 when station-check finds no error and no warning, else 0");
    add(ready, worst_verdict(all) == verdict::ok ? 1 : 0);
    out.push_back(std::move(ready));

    metric_family relay =
        family("relay_level", "The level of the relay output line (GPIO " + std::to_string(relay_line) +
                                  ", the door opener), 0 or 1; relay_ctrl:relay_mode says which level is on");
    if (figures.relay_level)
        add(relay, *figures.relay_level);
    out.push_back(std::move(relay));

    metric_family tamper = family("tamper_open", "1 when the tamper switch reads open (GPIO " +
                                                     std::to_string(tamper_line) + " at 1), 0 when it is closed");
    if (figures.tamper_level)
        add(tamper, *figures.tamper_level);
    out.push_back(std::move(tamper));

    metric_family lockout = family("door_lockout", "1 while a lockout of the door code is in force (every code is "
                                                   "refused), else 0");
    metric_family left = family("door_lockout_remaining_seconds", "Seconds left of the door code's lockout; 0 when "
                                                                  "none is in force");
    if (figures.lockout) {
        const long long ms = figures.lockout->remaining.count();
        add(lockout, ms > 0 ? 1 : 0);
        add(left, ms > 0 ? static_cast<double>(ms) / 1000 : 0);
    }
    out.push_back(std::move(lockout));
    out.push_back(std::move(left));

    metric_family lists = family("list_length", "Elements waiting in a Redis list between the station's programs "
                                                "(a processing list holds at most the one in hand)");
    for (const auto& [name, length] : figures.list_lengths)
        add(lists, static_cast<double>(length), {{"list", name}});
    out.push_back(std::move(lists));

    metric_family by_verdict = family("findings", "station-check's findings by verdict");
    for (const verdict level : {verdict::ok, verdict::warning, verdict::error}) {
        int n = 0;
        for (const finding& f : all)
            n += f.level == level ? 1 : 0;
        add(by_verdict, n, {{"verdict", verdict_name(level)}});
    }
    out.push_back(std::move(by_verdict));

    metric_family last_call = family("last_call_timestamp_seconds", "Unix time of the start of the last call in "
                                                                    "cdr.csv; absent when none is recorded");
    if (figures.last_call)
        add(last_call, static_cast<double>(*figures.last_call));
    out.push_back(std::move(last_call));

    metric_family success = family("check_success", "1 when station-check read every figure of this file; 0 when "
                                                    "some could not be read (left out; the findings say why)");
    add(success, figures.complete ? 1 : 0);
    out.push_back(std::move(success));

    metric_family written = family("check_timestamp_seconds", "Unix time at which station-check wrote this file");
    add(written, static_cast<double>(written_at));
    out.push_back(std::move(written));
    return out;
}

std::string write_metrics_file(const std::string& path, const std::string& text)
{
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty() || name == "." || name == "..")
        return "cannot write " + path + ": no file name";
    const std::string folder = folder_of(path);
    const unique_fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return "cannot write " + path + ": " + folder + ": " + std::strerror(errno);
    // 0644 whatever the caller's umask: the collector's user must read it.
    const mode_t mask = umask(022);
    const replacement done = replace_file(dir.get(), name, text, 0644, std::nullopt);
    umask(mask);
    // The folder's sync keeps the rename across a power cut; the file is
    // in place and whole without it, and written anew within the minute.
    if (done || done.failed == replacement::step::sync_folder)
        return {};
    const char* step = done.failed == replacement::step::create ? "a new file beside it"
                       : done.failed == replacement::step::write ? "the new file"
                                                                 : "the rename over it";
    return "cannot write " + path + ": " + step + ": " + std::strerror(done.error);
}
