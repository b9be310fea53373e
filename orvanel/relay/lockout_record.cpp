#include "orvanel/relay/lockout_record.h"

#include <algorithm>
#include <cstdint>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A count of at most 18 decimal digits, nothing else (no sign, no blank):
// it fits an int64_t, and the file holds nothing longer.
std::optional<std::int64_t> count_of(const std::string& text)
{
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool is_boot_id(const std::string& text)
{
    if (text.empty() || text.size() > 64)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-'; });
}

bool is_field_name(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
}

seconds whole_seconds(milliseconds time)
{
    return std::chrono::ceil<seconds>(time);
}

}  // namespace

std::string lockout_record_text(const lockout_record& record)
{
    return "length " + std::to_string(record.length.count()) + "\n" +
           "end " + std::to_string(record.end.count()) + "\n" +
           "boot " + record.boot + "\n" +
           "boot-end-ms " + std::to_string(record.boot_end.count()) + "\n";
}

std::optional<lockout_record> parse_lockout_record(const std::string& text)
{
    // orvanel replaces the file whole, so its text always ends with a line
    // end; one that does not was cut short, and its last number may be too.
    if (text.size() > lockout_file_cap || text.empty() || text.back() != '\n')
        return std::nullopt;
    lockout_record record;
    bool has_length = false, has_end = false, has_boot = false, has_boot_end = false;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t stop = text.find('\n', start);
        const std::string line = text.substr(start, stop - start);
        start = stop + 1;
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos)
            return std::nullopt;
        const std::string name = line.substr(0, blank);
        const std::string value = line.substr(blank + 1);
        if (!is_field_name(name) || value.empty())
            return std::nullopt;
        bool* seen = nullptr;
        if (name == "length" || name == "end" || name == "boot-end-ms") {
            const std::optional<std::int64_t> n = count_of(value);
            if (!n || (name == "length" && *n == 0))
                return std::nullopt;
            if (name == "length") {
                record.length = seconds(*n);
                seen = &has_length;
            } else if (name == "end") {
                record.end = seconds(*n);
                seen = &has_end;
            } else {
                record.boot_end = milliseconds(*n);
                seen = &has_boot_end;
            }
        } else if (name == "boot") {
            if (value != unknown_boot && !is_boot_id(value))
                return std::nullopt;
            record.boot = value;
            seen = &has_boot;
        } else {
            continue;
        }
        if (*seen)
            return std::nullopt;  // a field twice: which one would count?
        *seen = true;
    }
    if (!has_length || !has_end || !has_boot || !has_boot_end)
        return std::nullopt;
    return record;
}

std::string boot_id_of_text(const std::string& text)
{
    std::string id = text;
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    return is_boot_id(id) ? id : unknown_boot;
}

lockout_restore lockout_to_restore(std::optional<milliseconds> redis_left, const lockout_file_found& file,
                                   const lockout_now& now, seconds longest)
{
    const milliseconds longest_time = longest;
    const milliseconds redis = std::clamp(redis_left.value_or(milliseconds{0}), milliseconds{0}, longest_time);
    lockout_restore restore;

    std::optional<lockout_record> record;
    if (file.found == lockout_file_found::state::read)
        record = parse_lockout_record(file.text);

    if (file.found == lockout_file_found::state::absent) {
        // Redis alone: a lockout kept before the file was, or one whose file
        // could not be written. Its whole length is not known here; the time
        // it has left stands for it.
        if (redis.count() > 0) {
            restore.why = lockout_restore::reason::restart;
            restore.remaining = redis;
            restore.length = whole_seconds(redis);
            restore.write_file = true;
        }
        return restore;
    }

    if (!record) {
        // The file is there but holds no lockout that orvanel wrote: it was
        // cut short, damaged, or put there by someone else, and cannot be
        // read. orvanel writes it only when a lockout begins and removes it
        // when the lockout ends, so a file at all means that a lockout was
        // running or was meant to. Taking it for none would let anyone who
        // can spoil the file (or storage that fails) end a lockout early;
        // taking it for the longest costs at most an hour of a door code that
        // the station's own staff can free (the file and the Redis key
        // removed, orvanel restarted). The door stays shut rather than open.
        restore.why = lockout_restore::reason::unreadable;
        restore.remaining = longest_time;
        restore.length = longest;
        restore.write_file = true;
        restore.set_redis = redis < restore.remaining;
        return restore;
    }

    restore.length = std::min(record->length, longest);
    const milliseconds whole = restore.length;
    const bool same_boot = now.boot != unknown_boot && record->boot == now.boot;
    if (same_boot) {
        // A restart of orvanel: the later end of the two clocks, never more
        // than the lockout's length (a wall clock set back would say more).
        const milliseconds by_wall = milliseconds(record->end) - now.wall;
        const milliseconds by_boot = record->boot_end - now.boot_clock;
        const milliseconds file_left = std::clamp(std::max(by_wall, by_boot), milliseconds{0}, whole);
        restore.remaining = std::max(file_left, redis);
        if (restore.remaining.count() == 0) {
            restore.remove_file = true;
            return restore;
        }
        restore.why = lockout_restore::reason::restart;
        restore.write_file = restore.remaining > file_left;
        restore.length = std::min(std::max(restore.length, whole_seconds(restore.remaining)), longest);
    } else {
        // Another boot came between (or this boot's id cannot be read, and
        // it may have). How long the station was off is not known: the wall
        // clock may be wrong after a cut, and Redis's expiry runs on it. The
        // lockout resumes whole; Redis cannot hold more than that unless the
        // clock was played with, and then the longer counts.
        restore.why = lockout_restore::reason::boot;
        restore.remaining = std::max(whole, redis);
        restore.length = std::min(std::max(restore.length, whole_seconds(restore.remaining)), longest);
        restore.write_file = true;
    }
    restore.set_redis = redis < restore.remaining;
    return restore;
}
