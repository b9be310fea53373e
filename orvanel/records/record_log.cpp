#include "orvanel/records/record_log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "common/local_time.h"
#include "common/record_text.h"
#include "orvanel/records/record_file.h"

namespace {

struct sink_slot {
    record_sink_fn fn = nullptr;
    void* target = nullptr;
    int min_level = 0;
};

std::array<sink_slot, 32> sinks;

constexpr const char* level_names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

// Each record keeps its own broken-down time, so one record has one time
// stamp everywhere and no other thread's conversion can change it.
void take_time(record_event& event, std::tm& storage)
{
    if (event.time)
        return;
    storage = local_time(std::time(nullptr));
    event.time = &storage;
}

// The record's text, formatted from a copy of its arguments. The format is
// the one that record_log was given, which its callers' compiler checks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string record_text(const record_event& event)
{
    std::string text;
    va_list copy;
    va_copy(copy, const_cast<record_event&>(event).ap);
    if (!format_text(text, event.fmt, copy))
        text.clear();
    va_end(copy);
    return text;
}
#pragma GCC diagnostic pop

void file_sink(record_event* event)
{
    auto* out = static_cast<record_file*>(event->target);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", event->time);
    out->append(std::string(stamp) + "," + record_text(*event) + "\n");
}

}  // namespace

const char* record_level_name(int level)
{
    return level >= 0 && level <= RECORD_FATAL ? level_names[level] : "";
}

void record_log(int level, const char* file, int line, const char* fmt, ...)
{
    std::tm storage{};
    record_event event{};
    event.fmt = fmt;
    event.file = file;
    event.line = line;
    event.level = level;
    va_start(event.ap, fmt);

    event.target = stderr;
    take_time(event, storage);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", event.time);
    // Standard error is unbuffered: the console line is put together first
    // so that it leaves in one write.
    std::string name = record_level_name(level);
    name.resize(std::max<std::size_t>(name.size(), 5), ' ');
    const std::string console = std::string(clock) + " " + name + " " + (file ? file : "(null)") + ":" +
                                std::to_string(line) + ": " + record_text(event) + "\n";
    std::fwrite(console.data(), 1, console.size(), stderr);
    std::fflush(stderr);

    for (const sink_slot& slot : sinks) {
        if (!slot.fn)
            break;
        if (level < slot.min_level)
            continue;
        event.target = slot.target;
        take_time(event, storage);
        slot.fn(&event);
    }
    va_end(event.ap);
}

int record_log_add_sink(record_sink_fn fn, void* target, int min_level)
{
    for (sink_slot& slot : sinks) {
        if (!slot.fn) {
            slot = {fn, target, min_level};
            return 0;
        }
    }
    return -1;
}

int record_log_add_file(record_file* file, int min_level)
{
    return record_log_add_sink(file_sink, file, min_level);
}

void record_log_clear_sinks()
{
    sinks.fill(sink_slot{});
}
