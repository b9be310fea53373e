#include "orvanel/records/call_records.h"

#include <cstdio>
#include <deque>

#include "common/local_time.h"
#include "common/record_text.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/record_file.h"

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

namespace {

// Lines that storage refused, oldest first, appended before the next line.
std::deque<std::string> unwritten;
bool unwritten_reported = false;

}  // namespace

void cdr_write()
{
    unwritten.push_back(cdr_line(cdr_record));
    cdr_record = cdr_fields{};
    if (unwritten.size() > cdr_backlog_max) {
        log_print(LEVEL_ERROR, "call records: %zu lines kept, dropping the oldest: %s", cdr_backlog_max,
                  unwritten.front().c_str());
        unwritten.pop_front();
    }
    // The file is opened for each call, as other software may move it away
    // between calls.
    record_file out(call_records_file);
    while (!unwritten.empty()) {
        if (!out.append(unwritten.front())) {
            if (!unwritten_reported)
                log_print(LEVEL_ERROR, "%s, keeping the call record for the next call\n", out.failure().c_str());
            unwritten_reported = true;
            return;
        }
        unwritten.pop_front();
    }
    if (unwritten_reported)
        log_print(LEVEL_NOTICE, "%s is written again\n", out.path().c_str());
    unwritten_reported = false;
}

bool cdr_begun()
{
    return !cdr_record.direction.empty();
}

std::size_t cdr_unwritten()
{
    return unwritten.size();
}
