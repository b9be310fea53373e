#include "orvanel/records/call_records.h"

#include <cstdio>

#include "common/c_holders.h"
#include "common/local_time.h"
#include "common/record_text.h"
#include "common/station_root.h"

cdr_fields cdr_record;

namespace {

std::string fit(const std::string& text, std::size_t capacity)
{
    return text.substr(0, capacity - 1);
}

std::string clock_text(const std::tm& t)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

}  // namespace

void cdr_begin_at(std::time_t now, bool incoming, const std::string& account, const std::string& peer)
{
    // A call that was begun, or even answered, but never finished leaves
    // nothing behind: its answer time would give the next call a talk time.
    cdr_record = cdr_fields{};
    const std::tm t = local_time(now);
    cdr_record.direction = incoming ? "in" : "out";
    char date[48];
    std::snprintf(date, sizeof date, "%d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    cdr_record.date = date;
    cdr_record.start_time = clock_text(t);
    cdr_record.account = fit(account, 32);
    cdr_record.peer = fit(peer, 32);
    cdr_record.outcome = incoming ? "MISSED CALL" : "NO ANSWER";
}

void cdr_answered_at(std::time_t now)
{
    cdr_record.answer_time = now;
    cdr_record.outcome = "ANSWERED";
}

void cdr_finish_at(std::time_t now, const std::string& reason)
{
    cdr_record.end_time = clock_text(local_time(now));
    cdr_record.reason = fit(reason, 64);
    if (cdr_record.answer_time != 0)
        cdr_record.duration = static_cast<int>(now - cdr_record.answer_time);
    cdr_write();
}

void cdr_begin_incoming(const std::string& account, const std::string& peer)
{
    cdr_begin_at(std::time(nullptr), true, account, peer);
}

void cdr_begin_outgoing(const std::string& account, const std::string& peer)
{
    cdr_begin_at(std::time(nullptr), false, account, peer);
}

void cdr_answered()
{
    cdr_answered_at(std::time(nullptr));
}

void cdr_finish(const std::string& reason)
{
    cdr_finish_at(std::time(nullptr), reason);
}

std::string cdr_line(const cdr_fields& r)
{
    // The fields come from SIP data; a line end inside one must not split
    // the record into two lines.
    return one_line(r.date + "," + r.start_time + "," + r.end_time + "," + r.account + "," + r.peer + "," +
                    std::to_string(r.duration) + "," + r.direction + "," + r.outcome + "," + r.reason) +
           "\n";
}

void cdr_write()
{
    // A file that cannot be opened loses the line; the record is cleared all
    // the same so the next call starts clean.
    if (const file_ptr out{std::fopen(station_path(call_records_file).c_str(), "ae")}) {
        const std::string line = cdr_line(cdr_record);
        std::fwrite(line.data(), 1, line.size(), out.get());
    }
    cdr_record = cdr_fields{};
}
