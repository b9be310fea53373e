#include "orvanel/records/call_records.h"

#include <cstdio>

#include "common/local_time.h"
#include "common/record_text.h"
#include "orvanel/records/call_record_writer.h"

cdr_fields cdr_record;

namespace {

std::string fit(const std::string& text, std::size_t capacity)
{
    return cut_text(text, capacity - 1);
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

namespace {

// A field of the line: one line, and a comma inside it becomes a blank, so
// every line has exactly nine fields for whoever splits it at its commas.
std::string field(const std::string& text)
{
    std::string out = one_line(text);
    for (char& c : out) {
        if (c == ',')
            c = ' ';
    }
    return out;
}

// A field from SIP data, which a caller chooses: a spreadsheet must not take
// it for a formula either.
std::string sip_field(const std::string& text)
{
    return unarmed_cell(field(text));
}

}  // namespace

std::string cdr_line(const cdr_fields& r)
{
    return field(r.date) + "," + field(r.start_time) + "," + field(r.end_time) + "," + sip_field(r.account) + "," +
           sip_field(r.peer) + "," + std::to_string(r.duration) + "," + field(r.direction) + "," +
           field(r.outcome) + "," + sip_field(r.reason);
}

void cdr_write()
{
    const std::string line = cdr_line(cdr_record);
    cdr_record = cdr_fields{};
    hand_over_call_record(line);
}

bool cdr_begun()
{
    return !cdr_record.direction.empty();
}
