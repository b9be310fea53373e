// The record logger: a small leveled logger with up to 32 sinks. Every record
// goes to standard error; each sink whose minimum level the record reaches
// gets it too. orvanel uses it for the operation log only, on the
// write_opnlog thread, which is also the only thread that registers sinks.
#pragma once

#include <cstdarg>
#include <ctime>

class record_file;

enum record_level : int { RECORD_TRACE, RECORD_DEBUG, RECORD_INFO, RECORD_WARN, RECORD_ERROR, RECORD_FATAL };

struct record_event {
    va_list ap;  // the text's arguments; a sink formats from a copy of them
    const char* fmt;
    const char* file;
    std::tm* time;  // local time of the record, set when first needed
    void* target;   // the target of the sink being called
    int line;
    int level;
};

using record_sink_fn = void (*)(record_event* event);

void record_log(int level, const char* file, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
// 0 when stored, -1 when all 32 slots are taken.
int record_log_add_sink(record_sink_fn fn, void* target, int min_level);
// The file sink: "YYYY-MM-DD hh:mm:ss,text\n", appended whole and synced to
// storage. Whether the line got there, the file tells (record_file::failure).
int record_log_add_file(record_file* file, int min_level);
void record_log_clear_sinks();

const char* record_level_name(int level);
